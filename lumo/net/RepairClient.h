#pragma once
// The repair client: on a thread of its own it rescans the installation into its file-tree summary,
// connects to the repair server, and receives the segments that differ (lumo/net/SegmentPipeline.h).
// The repair run polls its state, progress and counters; destroying the client cancels a run.
//
// Protocol (TCP, integers unsigned little-endian):
//   1  client -> server  u32 protocol version 6
//   2  server -> client  u32 protocol version; anything but 6 ends the run with LUMORESULT_BAD_FORMAT
//   3  client -> server  the summary in the "0stf" layout (lumo/net/FileTreeSummary.h)
//   4  server -> client  u32 N, the number of segment records that follow
//   5  server -> client  N segment records (lumo/net/LumoAgentClientTask.h)
// Each run has its own connection, closed when the run ends.
//
// States: 0 idle, 1 started, 2 scanning, 3 connecting, 4 sending the summary, 5 receiving,
// 6 done. A failed run stays in the state of its failing stage with a non-zero error: 5 in state 1
// (no root or summary file), 9 in state 1 (a thread of the run could not be started), the connect
// error or 10 in state 3, the send or read error in
// state 4, 3 in state 5 (fewer records than announced, or a record refused or not written), 10 in
// state 5 (every record came, but they left a file longer than what it held and what was sent:
// lumo/net/FileGrowthCheck.h). Each failure also gives its reason in words, naming the file where
// there is one, to the caller (TakeFailureReasons), whose run shows it to the user; the reasons
// of a cancelled run (a connection closed under it) are not kept.
//
// The run's own threads (the worker, the slots' threads, the stall watch, the checksum helpers)
// run under the crash guard (lumo/os/GuardedThread.h).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "lumo/net/FileGrowthCheck.h"
#include "lumo/net/FileTreeSummary.h"
#include "lumo/net/LumoAgentClientTask.h"
#include "lumo/net/RepairJournal.h"
#include "lumo/net/StallWatchedStream.h"
#include "lumo/os/GuardedThread.h"

class RepairClient : private SegmentTransferOwner
{
public:
    static constexpr uint32_t kProtocolVersion = 6;
    // How long a read or write may go without a byte moving before the run gives up on the server
    // (lumo/net/StallWatchedStream.h).
    static constexpr std::chrono::seconds kDefaultStallLimit{60};

    RepairClient();
    // Cancels a running repair (its connection is closed under it) and waits for the thread.
    ~RepairClient() override;

    // Each returns LUMORESULT_INVALID_STATE while running. The root folder is given as its door
    // (lumo/files/InstallDoor.h): the door of the take of the installation, which the run works
    // through and holds; the folder's name (door->Root()) may hold any characters (it is ours to
    // name, not the server's). A null door is refused. A summary file named below the root is
    // read and written through that door too.
    LUMORESULT SetRootFolder(std::shared_ptr<LumoUtil::InstallDoor> door);
    LUMORESULT SetSummaryFile(const std::wstring& path);
    LUMORESULT SetServerAddress(const SocketAddress& address);
    LUMORESULT SetExcludedPaths(const std::set<std::wstring>& paths);
    LUMORESULT SetStallLimit(std::chrono::milliseconds limit);

    // Starts a run unless one is running. When no thread can be had, the run ends at once in state 1
    // with LUMORESULT_OUT_OF_SPACE and a line saying why.
    void Start();
    // Stops a running repair (its connection is closed under it) and waits for its thread, which
    // ends the writes under way: the counters then tell what the run left on disk.
    void Cancel();

    // Acquires what the run wrote: a caller that sees it ended may configure the client again.
    bool IsRunning() const { return m_running.load(std::memory_order_acquire); }
    // Returns once the run has ended, or after limit at most (a caller polling the client sees the
    // end of a run when it comes, not at its next poll).
    void WaitWhileRunning(std::chrono::milliseconds limit);
    bool Succeeded() const;
    LUMORESULT GetError() const { return m_error.load(std::memory_order_relaxed); }
    int GetState() const { return m_state.load(std::memory_order_relaxed); }
    float GetProgress() const;
    // Records received and written to disk: a record refused, one whose write failed, and one that
    // a file cut back at the end of the run took away again are not counted.
    uint32_t GetSegmentsReceived() const { return m_received.load(std::memory_order_relaxed); }
    uint32_t GetSegmentsTotal() const { return m_total.load(std::memory_order_relaxed); }
    // The reasons given since the last call, oldest first (any thread; also after the run).
    std::vector<std::string> TakeFailureReasons();

private:
    void Run();
    // The run has ended: wakes WaitWhileRunning.
    void MarkEnded();
    void Scan();
    // flushWrites: the files written since the last save reach the disk first (the summary then
    // never vouches for bytes a power loss could take back); false when that flush fails.
    bool SaveSummary(bool flushWrites = false);
    LUMORESULT Connect();
    LUMORESULT SendSummary();
    // Closes the run's connection (also from the destructor's thread).
    void CloseConnection();

    const LumoUtil::InstallDoor* GetDoor() const override { return m_door.get(); }
    LumoDataBuffer& GetStream() override;
    FileTreeSummary& GetSummary() override { return m_summary; }
    void CountWrittenSegment() override { m_received.fetch_add(1, std::memory_order_relaxed); }
    // The segments the summary sent gave the file, plus every record announced.
    uint64_t GetSegmentLimit(const std::wstring& path) const override;
    // Records the change in the run's repair journal first (lumo/net/RepairJournal.h).
    bool BeforeFileChange(const std::wstring& path, bool exists, uint64_t size, uint64_t end) override;
    void ReportFailure(const std::string& reason) override;
    // Ends the run's repair journal once its end-of-run check has run.
    void EndJournal(const std::vector<FileGrowthCheck::CutBack>& cuts);

    std::atomic<int> m_state{0};
    OS::GuardedThread m_thread;
    std::atomic<bool> m_running{false};
    // Signalled when m_running becomes false.
    std::mutex m_endLock;
    std::condition_variable m_ended;
    std::atomic<bool> m_success{false};
    std::atomic<LUMORESULT> m_error{LUMORESULT_OK};
    std::atomic<bool> m_cancel{false};
    std::wstring m_rootFolder;
    std::wstring m_summaryFile;
    SocketAddress m_server;
    std::set<std::wstring> m_excludedPaths;
    std::chrono::milliseconds m_stallLimit{kDefaultStallLimit};
    FileTreeSummary m_summary;
    // The installation (the take's door, as given) and the summary's folder, held open for the run.
    std::shared_ptr<LumoUtil::InstallDoor> m_door;
    std::shared_ptr<LumoUtil::InstallDoor> m_summaryDoor;
    // The summary's name in that folder, as it is spelled there; empty when that is not clear.
    std::wstring m_summaryName;
    // A save of the summary failed in this run (worker thread only).
    bool m_summaryUnsaved = false;
    // Flushing the written files failed in this run: the run cannot succeed (worker thread only).
    bool m_flushFailed = false;
    std::atomic<uint32_t> m_total{0};
    std::atomic<uint32_t> m_received{0};

    // Install-relative path -> segments the sent summary holds for it (worker thread only).
    std::unordered_map<std::wstring, uint64_t> m_segmentsSent;

    // What the run is changing, for the next start when it is killed (receiving stage only).
    std::unique_ptr<RepairJournal> m_journal;

    std::mutex m_reasonsLock;
    std::vector<std::string> m_reasons;

    // The run's connection, closed by its watch when the server stalls.
    std::mutex m_connectionLock;
    std::unique_ptr<StallWatchedStream> m_connection;
};
