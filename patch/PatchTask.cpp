#include "patch/PatchTask.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/buffers/LumoDataBufferReader.h"
#include "lumo/files/FreeSpace.h"
#include "lumo/text/PathUtil.h"
#include "lumo/text/TextConversion.h"
#include "lumo/net/DownloadURL.h"
#include "lumo/net/TransferStall.h"
#include "patch/BuildName.h"
#include "patch/PatchMessages.h"
#include "platform/NativePath.h"

namespace
{

// A growable memory buffer that refuses to grow beyond a limit: a server's list is untrusted.
class CappedMemoryBuffer : public LumoDataBuffer
{
public:
    explicit CappedMemoryBuffer(uint32_t limit) : m_limit(limit) {}
    uint64_t GetSize() const override { return m_data.GetSize(); }
    LUMORESULT SetSize(uint64_t size) override
    {
        return size > m_limit ? LUMORESULT_OUT_OF_SPACE : m_data.SetSize(size);
    }
    uint64_t GetPosition() const override { return m_data.GetPosition(); }
    LUMORESULT SetPosition(uint64_t position) override { return m_data.SetPosition(position); }
    LUMORESULT WriteData(const void* data, uint32_t length) override
    {
        if (m_data.GetPosition() + length > m_limit)
            return LUMORESULT_OUT_OF_SPACE;
        return m_data.WriteData(data, length);
    }
    LUMORESULT ReadData(void* data, uint32_t length) override { return m_data.ReadData(data, length); }

private:
    LumoDataBufferMemoryDynamic m_data;
    uint64_t m_limit;
};

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// Whether a downloaded list (at most kMaxPatchListBytes) holds anything but blanks and line ends.
bool ListHasText(LumoDataBuffer& list)
{
    std::string bytes(static_cast<size_t>(list.GetSize()), '\0');
    list.SetPosition(0);
    if (bytes.empty() || list.ReadData(bytes.data(), static_cast<uint32_t>(bytes.size())) != LUMORESULT_OK)
        return false;
    return bytes.find_first_not_of(" \t\r\n") != std::string::npos;
}

// The reason a download of url was not even tried, to follow "Unable to download patch file:
// <url>": the run gave up on its server earlier (it stalled too long in all), so every file of that
// server fails at once. Empty while the server is still asked. Read before the download.
std::wstring ServerGivenUpEarlier(const std::wstring& url)
{
    const std::string server = GetURLServerKey(ToNarrow(url));
    if (server.empty() || !LumoNet::ServerStallLedger::ForRun().IsGivenUp(server))
        return {};
    return L": its server " + ToWide(server) + L" was given up earlier in this run.";
}

} // namespace

LUMORESULT PatchDownloader::Download(const std::string& url, LumoDataBuffer* destination, uint32_t flags,
                                     DownloadURLCallback* callback)
{
    return DownloadURL(url, destination, flags, callback);
}

LUMORESULT PatchDownloader::GetSize(const std::string& url, uint64_t* size, DownloadURLCallback* callback)
{
    return GetURLFileSize(url, size, callback);
}

KestinPatchTask::KestinPatchTask() : m_downloader(&m_defaultDownloader)
{
}

KestinPatchTask::~KestinPatchTask() = default;

void KestinPatchTask::Log(int, const std::string&)
{
}

void KestinPatchTask::Log(int, const std::wstring&)
{
}

void KestinPatchTask::SetDownloader(PatchDownloader* downloader)
{
    m_downloader = downloader ? downloader : &m_defaultDownloader;
}

bool KestinPatchTask::FetchPatchList(const std::vector<std::wstring>& servers, DownloadURLCallback* callback)
{
    bool answered = false;
    for (const std::wstring& server : servers)
    {
        const std::wstring url = LumoUtil::JoinPath(server, L"patches.txt");
        CappedMemoryBuffer buffer(kMaxPatchListBytes);
        const std::wstring givenUp = ServerGivenUpEarlier(url);
        const LUMORESULT result = m_downloader->Download(ToNarrow(url), &buffer, DOWNLOAD_URL_RELOAD, callback);
        if (result != LUMORESULT_OK)
        {
            // A stop asked for is no server's failure: no further server is asked, and nothing is
            // said of connecting.
            if (callback && callback->IsCancelled())
            {
                Log(1, L"Fetching the patch list from " + server + L" was cancelled.");
                m_serverUrl.clear();
                return false;
            }
            if (result == LUMORESULT_OUT_OF_SPACE)
            {
                // The server answered, with more than any list holds.
                answered = true;
                Log(2, L"The patch list " + url + L" is larger than " + std::to_wstring(kMaxPatchListBytes >> 20) +
                           L" MiB, more than a patch list holds; it is not used.");
                continue;
            }
            Log(1, std::wstring(PatchMessages::kCannotDownloadPatchFile) + url + givenUp);
            continue;
        }
        buffer.SetPosition(0);
        if (ParsePatchList(buffer, server))
        {
            m_serverUrl = server;
            return true;
        }
        // The server answered: what was wrong is the list, not the connection.
        answered = true;
        Log(2, L"The patch list " + url +
                   (ListHasText(buffer) ? std::wstring(PatchMessages::kUnusablePatchList) : std::wstring(L" is empty.")));
    }
    if (answered)
        Log(3, std::wstring(PatchMessages::kNoUsablePatchList));
    else
        Log(1, std::wstring(PatchMessages::kCannotConnectToPatchServers));
    m_serverUrl.clear();
    return false;
}

bool KestinPatchTask::ParsePatchList(LumoDataBuffer& data, const std::wstring& serverUrl)
{
    bool accepted = false;
    LumoDataBufferReader reader(data);
    std::string line;
    for (;;)
    {
        reader.ReadLine(line);
        if (reader.firstError != LUMORESULT_OK)
            return accepted; // the end while skipping: a lone unterminated last line is not used
        if (line.empty())
            continue;
        LumoDataBufferMemoryDynamic block;
        std::string text = line + "\n";
        bool atEnd = false;
        for (;;)
        {
            reader.ReadLine(line);
            if (reader.firstError != LUMORESULT_OK)
            {
                text += line + "\n";
                atEnd = true;
                break;
            }
            if (line.empty())
                break;
            text += line + "\n";
        }
        if (block.WriteData(text.data(), static_cast<uint32_t>(text.size())) == LUMORESULT_OK)
        {
            block.SetPosition(0);
            if (ParsePatchEntry(block, serverUrl))
                accepted = true;
        }
        if (atEnd)
            return accepted;
    }
}

bool KestinPatchTask::ParsePatchEntry(LumoDataBuffer& block, const std::wstring& serverUrl)
{
    std::map<std::string, std::string> values;
    if (!ParseKeyValueBlock(block, values))
        return false;
    const std::string source = values["source-version"];
    const std::string target = values["target-version"];
    const std::string exeUrl = values["patch-exe-url"];
    std::string dataUrl = values["patch-data-url"];
    if (source.empty() || target.empty() || exeUrl.empty() || dataUrl.empty())
        return false;
    // Builds become parts of file names; a patch onto its own build would never end a chain.
    if (!IsSafeBuildName(source) || !IsSafeBuildName(target) || source == target)
        return false;
    PatchEntry entry;
    entry.targetVersion = target;
    entry.exeUrl = ToWide(exeUrl);
    const bool absolute = StartsWith(dataUrl, "ftp://") || StartsWith(dataUrl, "http://") ||
                          StartsWith(dataUrl, "https://");
    if (absolute)
        entry.dataUrl = ToWide(dataUrl);
    else
    {
        if (serverUrl.empty())
            return false;
        entry.dataUrl = LumoUtil::JoinPath(serverUrl, ToWide(dataUrl));
    }
    m_patches[source] = entry;
    return true;
}

const PatchEntry* KestinPatchTask::FindPatch(const std::string& sourceVersion) const
{
    const auto found = m_patches.find(sourceVersion);
    return found == m_patches.end() ? nullptr : &found->second;
}

bool KestinPatchTask::QueryRemoteSize(const std::wstring& url, DownloadURLCallback* callback)
{
    uint64_t size = 0;
    const bool ok = m_downloader->GetSize(ToNarrow(url), &size, callback) == LUMORESULT_OK;
    m_done = 0;
    m_total = ok ? size : 0;
    return ok;
}

bool KestinPatchTask::Download(const std::wstring& url, const std::wstring& path, DownloadURLCallback* callback)
{
    m_state = STATE_DOWNLOADING;
    m_done = 0;
    LumoDataBufferFile file(path, LumoDataBufferFile::MODE_WRITE_KEEP);
    if (!file.IsOpen())
    {
        Log(3, std::wstring(PatchMessages::kCannotOpenPatchFileForWriting) + path);
        return false;
    }
    // A package larger than the room on its disk is refused before a byte moves: it would only
    // fill the disk. (Before the gauge reads the file: it must never see one that is gone.)
    const uint64_t announced = m_total;
    uint64_t freeBytes = 0;
    const uint64_t kept = std::min(file.GetSize(), announced);
    if (announced > 0 && LumoUtil::GetFreeDiskSpace(path, freeBytes) && announced - kept > freeBytes)
    {
        Log(3, std::wstring(PatchMessages::kCannotDownloadPatchFile) + url + L": it is " + std::to_wstring(announced) +
                   L" bytes, and the disk of " + path + L" has " + std::to_wstring(freeBytes) + L" bytes free.");
        return false;
    }
    {
        OS::MutexLock lock(m_lock);
        m_target = &file;
    }
    const std::wstring givenUp = ServerGivenUpEarlier(url);
    LUMORESULT result = m_downloader->Download(ToNarrow(url), &file, 0, callback);
    if (result == LUMORESULT_OK)
    {
        // Whatever an earlier, longer file left beyond the download is not part of it.
        result = file.SetSize(file.GetPosition());
        const uint64_t total = m_total;
        if (result == LUMORESULT_OK && total > 0 && file.GetSize() > total)
            result = LUMORESULT_BAD_FORMAT;
        if (result == LUMORESULT_OK)
            file.Flush();
    }
    {
        OS::MutexLock lock(m_lock);
        m_done = file.GetPosition();
        m_target = nullptr;
    }
    errno = 0;
    const LUMORESULT closed = file.Close();
    if (result == LUMORESULT_OK)
        result = closed != LUMORESULT_OK && (errno == ENOSPC || errno == EDQUOT) ? LUMORESULT_OUT_OF_SPACE : closed;
    if (result == LUMORESULT_OUT_OF_SPACE)
    {
        // The network layer names a full disk as no room: the real cause, not the download's.
        Log(3, std::wstring(PatchMessages::kCannotDownloadPatchFile) + url + L": " + ToWide(std::strerror(ENOSPC)) +
                   L" (" + path + L").");
        return false;
    }
    if (result != LUMORESULT_OK)
    {
        // A stop asked for is no failure of the server's or the download's: the caller says it.
        if (!callback || !callback->IsCancelled())
            Log(3, std::wstring(PatchMessages::kCannotDownloadPatchFile) + url + givenUp);
        return false;
    }
    return true;
}

uint32_t KestinPatchTask::GetPercent()
{
    if (m_state == STATE_DOWNLOADING)
    {
        OS::MutexLock lock(m_lock);
        if (m_target)
            m_done = m_target->GetPosition();
    }
    const uint64_t total = m_total;
    if (total == 0)
        return 0;
    const uint64_t done = m_done;
    // A server that under-reports the size must not push the gauge past its end.
    return done >= total ? 100u : static_cast<uint32_t>(done * 100 / total);
}

PatchProgress KestinPatchTask::GetProgress()
{
    const uint32_t percent = GetPercent();
    m_percent = percent;
    return PatchProgress{m_done, m_total, percent};
}
