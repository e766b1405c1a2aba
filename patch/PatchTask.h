#pragma once
// The patch task: fetches "patches.txt" from the first patch server that serves a usable list,
// keeps the parsed PatchList, and downloads the packages the remote chain picks, with a progress
// record that the window reads from its own thread.
//
// Every operation runs on the patch thread except GetPercent and GetProgress, which the GUI thread
// may call at any time: the lock guards target, the file being downloaded, and the counters are
// atomics.
//
// Messages go through the two Log slots at levels 1 (a server that failed, none usable) and 3 (a
// package download that failed); here they do nothing, the patch thread forwards them.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoResult.h"
#include "lumo/os/OSMutex.h"
#include "lumo/net/DownloadURLCallback.h"
#include "patch/PatchList.h"

// How the task reaches the network; the default goes through DownloadURL and GetURLFileSize.
class PatchDownloader
{
public:
    virtual ~PatchDownloader() = default;
    virtual LUMORESULT Download(const std::string& url, LumoDataBuffer* destination, uint32_t flags,
                                DownloadURLCallback* callback);
    virtual LUMORESULT GetSize(const std::string& url, uint64_t* size, DownloadURLCallback* callback);
};

struct PatchProgress
{
    uint64_t done;
    uint64_t total;
    uint32_t percent;
};

class KestinPatchTask
{
public:
    enum : uint32_t
    {
        STATE_IDLE = 0,
        STATE_DOWNLOADING = 1,
        STATE_INSTALLING = 3, // set by the application while a patch is installed or a repair runs
    };

    // The largest "patches.txt" accepted: a list is a few kilobytes.
    static constexpr uint32_t kMaxPatchListBytes = 16u << 20;

    KestinPatchTask();
    virtual ~KestinPatchTask();
    KestinPatchTask(const KestinPatchTask&) = delete;
    KestinPatchTask& operator=(const KestinPatchTask&) = delete;

    virtual void Log(int level, const std::string& text);
    virtual void Log(int level, const std::wstring& text);

    // Tries the servers in order; true once one served a list with an accepted block. Accepted
    // blocks are added to what the list holds. A cancel (callback may be null) tries no further
    // server.
    bool FetchPatchList(const std::vector<std::wstring>& servers, DownloadURLCallback* callback = nullptr);
    // True when at least one block was accepted.
    bool ParsePatchList(LumoDataBuffer& data, const std::wstring& serverUrl);
    bool ParsePatchEntry(LumoDataBuffer& block, const std::wstring& serverUrl);
    const PatchEntry* FindPatch(const std::string& sourceVersion) const;

    // Sets the expected size of the next download (0 when the server cannot tell it).
    bool QueryRemoteSize(const std::wstring& url, DownloadURLCallback* callback = nullptr);
    // Downloads url into the file at path (kept and continued when it exists; anything beyond the
    // downloaded bytes is cut away). A file larger than the expected size is refused. The partly
    // written file of a failure stays for the caller to delete.
    bool Download(const std::wstring& url, const std::wstring& path, DownloadURLCallback* callback);

    // 0 to 100; GUI thread.
    uint32_t GetPercent();
    PatchProgress GetProgress();

    void SetState(uint32_t state) { m_state = state; }
    uint32_t GetState() const { return m_state; }
    const std::wstring& GetServerUrl() const { return m_serverUrl; }
    const PatchList& GetPatches() const { return m_patches; }
    // Test seam: the downloader used from now on (not owned; null restores the default).
    void SetDownloader(PatchDownloader* downloader);

private:
    OS::Mutex m_lock;
    LumoDataBuffer* m_target = nullptr; // guarded by m_lock
    std::atomic<uint32_t> m_state{STATE_IDLE};
    std::atomic<uint64_t> m_done{0};
    std::atomic<uint64_t> m_total{0};
    std::atomic<uint32_t> m_percent{0};
    std::wstring m_serverUrl;
    PatchList m_patches;
    PatchDownloader m_defaultDownloader;
    PatchDownloader* m_downloader;
};
