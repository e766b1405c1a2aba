#include "lumo/net/RepairClient.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/net/ConsoleLine.h"
#include "lumo/net/SocketError.h"
#include "lumo/net/SavedSummary.h"
#include "lumo/net/SegmentPipeline.h"
#include "lumo/net/WireIntegers.h"
#include "lumo/text/PathUtil.h"
#include "platform/NativePath.h"

using LumoNet::ReadU32;
using LumoNet::WriteU32;

namespace
{
// The folder that holds the summary file, and its name there.
std::wstring FolderOf(const std::wstring& file, std::wstring& leaf)
{
    const size_t slash = file.find_last_of(L"/\\");
    leaf = slash == std::wstring::npos ? file : file.substr(slash + 1);
    return slash == std::wstring::npos ? L"." : slash == 0 ? L"/" : file.substr(0, slash);
}

// The name of file below root, "/" between parts, when file is named below it; empty when it is
// not (or its name steps through "." or ".." and so cannot be told to be inside).
std::wstring NameBelow(const std::wstring& file, const std::wstring& root)
{
    std::wstring prefix = root;
    while (prefix.size() > 1 && (prefix.back() == L'/' || prefix.back() == L'\\'))
        prefix.pop_back();
    const bool rootIsSlash = prefix == L"/";
    if (file.size() <= prefix.size() || file.compare(0, prefix.size(), prefix) != 0 ||
        (!rootIsSlash && file[prefix.size()] != L'/' && file[prefix.size()] != L'\\'))
        return {};
    std::wstring relative, part;
    for (size_t at = rootIsSlash ? prefix.size() : prefix.size() + 1; at <= file.size(); ++at)
    {
        if (at < file.size() && file[at] != L'/' && file[at] != L'\\')
        {
            part += file[at];
            continue;
        }
        if (part.empty() || part == L"." || part == L"..")
            return {};
        relative += (relative.empty() ? L"" : L"/") + part;
        part.clear();
    }
    return relative;
}
} // namespace

RepairClient::RepairClient()
{
    // What the server cannot see behind a checksum it must send again (lumo/net/FileTreeSummary.h).
    m_summary.SetZeroLedLastSegmentsUnreadable(true);
}

RepairClient::~RepairClient()
{
    Cancel();
}

void RepairClient::Cancel()
{
    m_cancel = true;
    {
        std::lock_guard<std::mutex> hold(m_connectionLock);
        if (m_connection)
            m_connection->tcp.Disconnect(true);
    }
    m_thread.Join();
}

LUMORESULT RepairClient::SetRootFolder(std::shared_ptr<LumoUtil::InstallDoor> door)
{
    if (IsRunning())
        return LUMORESULT_INVALID_STATE;
    if (!door)
        return LUMORESULT_INVALID_ARGUMENT;
    m_rootFolder = door->Root();
    m_door = std::move(door);
    m_state = 0;
    m_success = false;
    m_error = LUMORESULT_OK;
    return LUMORESULT_OK;
}

LUMORESULT RepairClient::SetSummaryFile(const std::wstring& path)
{
    if (IsRunning())
        return LUMORESULT_INVALID_STATE;
    if (path.empty())
        return LUMORESULT_INVALID_ARGUMENT;
    m_summaryFile = path;
    m_state = 0;
    m_success = false;
    m_error = LUMORESULT_OK;
    return LUMORESULT_OK;
}

LUMORESULT RepairClient::SetServerAddress(const SocketAddress& address)
{
    if (IsRunning())
        return LUMORESULT_INVALID_STATE;
    m_server = address;
    m_state = 0;
    m_success = false;
    m_error = LUMORESULT_OK;
    return LUMORESULT_OK;
}

LUMORESULT RepairClient::SetExcludedPaths(const std::set<std::wstring>& paths)
{
    if (IsRunning())
        return LUMORESULT_INVALID_STATE;
    m_excludedPaths = paths;
    return LUMORESULT_OK;
}

LUMORESULT RepairClient::SetStallLimit(std::chrono::milliseconds limit)
{
    if (IsRunning())
        return LUMORESULT_INVALID_STATE;
    m_stallLimit = limit;
    return LUMORESULT_OK;
}

void RepairClient::Start()
{
    if (IsRunning())
        return;
    // The previous run's thread may still be returning.
    m_thread.Join();
    m_state = 1;
    m_running = true;
    m_success = false;
    m_error = LUMORESULT_OK;
    m_cancel = false;
    TakeFailureReasons(); // an earlier run's, nobody asked for them
    m_total = 0;
    m_received = 0;
    std::string threadError;
    if (!m_thread.Start(
            [this] {
                Run();
                MarkEnded();
            },
            &threadError))
    {
        ReportFailure("The repair cannot start: " + threadError);
        m_error = LUMORESULT_OUT_OF_SPACE;
        MarkEnded();
    }
}

void RepairClient::MarkEnded()
{
    std::lock_guard<std::mutex> hold(m_endLock);
    m_running = false;
    m_ended.notify_all();
}

void RepairClient::WaitWhileRunning(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> hold(m_endLock);
    m_ended.wait_for(hold, limit, [this] { return !IsRunning(); });
}

bool RepairClient::Succeeded() const
{
    return !IsRunning() && GetState() == 6 && GetError() == LUMORESULT_OK;
}

float RepairClient::GetProgress() const
{
    const int state = GetState();
    if (state == 6)
        return 1.0f;
    const uint32_t total = GetSegmentsTotal();
    const uint32_t received = GetSegmentsReceived();
    if (state < 5 || total == 0 || received == 0)
        return 0.0f;
    return received >= total ? 1.0f : float(received) / float(total);
}

LumoDataBuffer& RepairClient::GetStream()
{
    return *m_connection;
}

void RepairClient::Run()
{
    if (!m_door || m_summaryFile.empty())
    {
        m_error = LUMORESULT_INVALID_ARGUMENT;
        return;
    }
    // The connection's stall watch is a thread of its own: a run that cannot have it ends here,
    // before anything is scanned or sent.
    {
        std::lock_guard<std::mutex> hold(m_connectionLock);
        m_connection = std::make_unique<StallWatchedStream>(m_stallLimit);
    }
    if (!m_connection->GetWatchError().empty())
    {
        ReportFailure("The repair cannot watch its connection: " + m_connection->GetWatchError());
        m_error = LUMORESULT_OUT_OF_SPACE;
        CloseConnection();
        return;
    }
    m_state = 2;
    Scan();
    if (m_cancel)
    {
        m_error = LUMORESULT_ABORTED;
        CloseConnection();
        return;
    }

    m_state = 3;
    LUMORESULT result = Connect();
    if (result == LUMORESULT_OK)
    {
        m_state = 4;
        result = SendSummary();
    }
    if (result != LUMORESULT_OK)
    {
        if (const std::string stall = m_connection->GetStallReason(); !stall.empty())
            ReportFailure("The repair gave up on the server: " + stall + ".");
        m_error = result;
        CloseConnection();
        return;
    }

    m_state = 5;
    m_journal = std::make_unique<RepairJournal>(m_door);
    FileGrowthCheck growth;
    // The summary is saved at a bounded rate while records arrive (lumo/net/SaveSchedule.h).
    SaveSchedule schedule;
    const SegmentPipelineResult pipeline = ReceiveSegments(
        *this, GetSegmentsTotal(), [this] { return !m_cancel && m_connection->tcp.IsConnected(); },
        [this] { SaveSummary(true); }, &growth, &schedule);
    if (const std::string stall = m_connection->GetStallReason(); !stall.empty())
        ReportFailure("The repair gave up on the server: " + stall + ".");
    CloseConnection();
    // However the run ended, no file keeps zeros the server never sent (the pipeline has cut back
    // those that would).
    const std::vector<FileGrowthCheck::CutBack>& cuts = pipeline.cuts;
    for (const FileGrowthCheck::CutBack& cut : cuts)
    {
        ReportFailure(cut.Describe() + ".");
        m_received.fetch_sub(std::min(cut.segmentsUndone, m_received.load()));
    }
    EndJournal(cuts);
    if (pipeline.failed || pipeline.received < GetSegmentsTotal())
    {
        m_error = LUMORESULT_NETWORK_ERROR;
        return;
    }
    if (!cuts.empty())
    {
        m_error = LUMORESULT_BAD_FORMAT;
        return;
    }
    if (m_flushFailed)
    {
        m_error = LUMORESULT_IO_ERROR;
        return;
    }
    m_error = LUMORESULT_OK;
    m_state = 6;
    m_success = true;
}

void RepairClient::Scan()
{
    // A damaged or missing summary only means more checksums to compute. Only a regular file is
    // read (never through a link, never a FIFO that would block): the summary is sent to the server.
    // A summary kept in the installation is reached through the installation's own door; one kept
    // elsewhere (a folder no run has taken) through a door of its folder.
    std::wstring givenName = NameBelow(m_summaryFile, m_rootFolder), error;
    if (!givenName.empty())
        m_summaryDoor = m_door;
    else
        m_summaryDoor = LumoUtil::InstallDoor::Open(FolderOf(m_summaryFile, givenName), error);
    m_summaryUnsaved = false;
    // Read, saved and pruned under one spelling, the one it has on disk (lumo/net/SavedSummary.h).
    m_summaryName.clear();
    if (m_summaryDoor && !FindSummaryName(*m_summaryDoor, givenName, m_summaryName, error))
        m_summaryName.clear();
    bool present = false;
    const int summaryFd =
        m_summaryName.empty() ? -1 : m_summaryDoor->OpenOwnFileForReading(m_summaryName, present, error);
    uint64_t savedAt = 0;
    if (summaryFd >= 0)
    {
        // The moment of the last save: a file changed in that second may still hold its old time.
        struct stat status{};
        if (::fstat(summaryFd, &status) == 0)
            savedAt = static_cast<uint64_t>(status.st_mtime);
        LumoDataBufferFile file(summaryFd, LumoDataBufferFile::MODE_READ);
        m_summary.Read(file);
    }
    else if (!error.empty())
        LumoNet::PrintConsoleLine("The saved summary is not read, every segment is read afresh: %s\n",
                                  LumoNet::ShownPath(error).c_str());
    m_summary.SetSavedAt(savedAt);
    // The summary file (and its temporary twin) never describes itself, nor the run's journal.
    FileTreeSummary::ExclusionSet excluded;
    const std::wstring journal = LumoUtil::JoinPath(m_rootFolder, kRepairJournalName);
    for (const std::wstring& path : {m_summaryFile, m_summaryFile + L".tmp", journal})
        excluded.insert(LumoUtil::MakeRelativePath(path, m_rootFolder));
    for (const std::wstring& path : m_excludedPaths)
        excluded.insert(LumoUtil::MakeRelativePath(path, m_rootFolder));
    excluded.erase(L"");
    // Through the installation's descriptor: nothing the walk meets is looked up by name again.
    if (m_summary.Scan(m_door->Fd(), m_rootFolder, excluded, &m_cancel))
        SaveSummary();
}

bool RepairClient::SaveSummary(bool flushWrites)
{
    // Written beside the summary and renamed over it: a crash leaves the old summary or the new one.
    // Both are created afresh, never through a link or into something else standing there.
    std::wstring error;
    // Taken before the flush: an entry a write registers meanwhile waits for the next save, whose
    // flush covers its bytes. One flush of the file system costs about what one file's flush does,
    // so the segments are not flushed one by one.
    const std::vector<uint8_t> bytes = m_summary.Serialise();
    if (flushWrites && !m_door->Sync(error))
    {
        if (!m_flushFailed)
            ReportFailure("The repaired files may not have reached the disk: " + LumoNet::ShownPath(error) + ".");
        m_flushFailed = true;
        return false;
    }
    if (!m_summaryDoor)
        error = L"the folder of " + m_summaryFile + L" cannot be opened";
    else if (m_summaryName.empty())
        error = L"its name is not clear in the folder of " + m_summaryFile;
    else if (m_summaryDoor->ReplaceOwnFile(m_summaryName, m_summaryName + L".tmp",
                                           std::string(bytes.begin(), bytes.end()), error))
        return true;
    // Said once a run; the later saves are tried all the same.
    if (!m_summaryUnsaved)
        LumoNet::PrintConsoleLine("The summary cannot be saved, the next run reads every segment "
                                  "afresh: %s\n",
                                  LumoNet::ShownPath(error).c_str());
    m_summaryUnsaved = true;
    return false;
}

LUMORESULT RepairClient::Connect()
{
    if (m_cancel)
        return LUMORESULT_ABORTED;
    // Each failure names the server and the system's reason: the run's own lines say only which
    // stage failed.
    const std::string server = AddressText(m_server);
    if (const LUMORESULT result = m_connection->tcp.Connect(m_server))
    {
        ReportFailure("The repair server at " + server + " cannot be reached: " +
                      DescribeSocketError(m_connection->tcp.GetConnectError()) + ".");
        return result;
    }
    uint32_t version = 0xFFFFFFFF;
    WriteU32(*m_connection, kProtocolVersion);
    if (ReadU32(*m_connection, version) != LUMORESULT_OK)
        ReportFailure("The repair server at " + server + " closed the connection without answering.");
    else if (version != kProtocolVersion)
        ReportFailure("The server at " + server + " answers repair protocol version " + std::to_string(version) +
                      "; this client speaks version " + std::to_string(kProtocolVersion) + ".");
    return version == kProtocolVersion ? LUMORESULT_OK : LUMORESULT_BAD_FORMAT;
}

uint64_t RepairClient::GetSegmentLimit(const std::wstring& path) const
{
    const auto sent = m_segmentsSent.find(path);
    return (sent == m_segmentsSent.end() ? 0 : sent->second) + GetSegmentsTotal();
}

LUMORESULT RepairClient::SendSummary()
{
    // One write of the whole summary, the same bytes as the saved file. Nothing changes the table
    // between the two looks at it: the segment writers start after the count has arrived.
    const std::vector<uint8_t> bytes = m_summary.Serialise();
    m_segmentsSent = m_summary.SegmentCounts();
    m_total = 0;
    m_received = 0;
    LUMORESULT result = bytes.size() > UINT32_MAX ? LUMORESULT_OUT_OF_SPACE
                                                  : m_connection->WriteData(bytes.data(), uint32_t(bytes.size()));
    uint32_t total = 0;
    if (result == LUMORESULT_OK)
        result = ReadU32(*m_connection, total);
    if (result == LUMORESULT_OK)
        m_total = total;
    return result;
}

void RepairClient::CloseConnection()
{
    std::lock_guard<std::mutex> hold(m_connectionLock);
    if (m_connection)
        m_connection->tcp.Disconnect(true);
    m_connection.reset();
}

bool RepairClient::BeforeFileChange(const std::wstring& path, bool exists, uint64_t size, uint64_t end)
{
    std::string error;
    if (m_journal && !m_journal->BeforeChange(path, exists, size, end, error))
    {
        ReportFailure(LumoNet::ShownPath(path) + " is left as it is: " + error + ".");
        return false;
    }
    return true;
}

void RepairClient::EndJournal(const std::vector<FileGrowthCheck::CutBack>& cuts)
{
    const bool settled =
        std::all_of(cuts.begin(), cuts.end(), [](const FileGrowthCheck::CutBack& cut) { return cut.failure.empty(); });
    std::string error;
    if (!m_journal->End(m_cancel, settled, error))
        ReportFailure("The repair's record of its changes could not be finished: " + error + ".");
    m_journal.reset();
}

void RepairClient::ReportFailure(const std::string& reason)
{
    // A run the user stopped failed on nothing but the stop: its broken connection is no reason.
    if (m_cancel)
        return;
    std::lock_guard<std::mutex> hold(m_reasonsLock);
    m_reasons.push_back(reason);
}

std::vector<std::string> RepairClient::TakeFailureReasons()
{
    std::lock_guard<std::mutex> hold(m_reasonsLock);
    return std::exchange(m_reasons, {});
}
