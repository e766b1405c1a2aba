#include "patch/UninstallLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <set>

#include "lumo/text/PathUtil.h"
#include "lumo/text/SafePath.h"
#include "lumo/text/StringUtil.h"
#include "lumo/text/TextConversion.h"
#include "lumo/text/Windows1252.h"
#include "patch/FileLists.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchMessages.h"
#include "platform/NativePath.h"

// What an UnrecordedFilesReport gathers.
struct UnrecordedFilesRun
{
    std::wstring installDir;
    // The door of the take the patches worked through: the report looks through it, not by name.
    std::shared_ptr<LumoUtil::InstallDoor> door;
    std::vector<std::wstring> kept;     // of the patches that were applied
    std::vector<std::wstring> pending;  // of the patch being applied
};

namespace
{

// Logs hold a few records per installed file: kilobytes to a few megabytes. Anything near this
// is not a log we know how to extend, and is not read into memory.
constexpr uint64_t kMaxLogSize = 256u * 1024 * 1024;

constexpr wchar_t kLogLeftUnchanged[] = L"The uninstall log was left unchanged because it cannot be extended safely: ";

uint32_t GetU32(const std::string& bytes, size_t offset)
{
    return uint32_t(uint8_t(bytes[offset])) | uint32_t(uint8_t(bytes[offset + 1])) << 8 |
           uint32_t(uint8_t(bytes[offset + 2])) << 16 | uint32_t(uint8_t(bytes[offset + 3])) << 24;
}

void PutU32(std::string& bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = char(value >> (8 * i));
}

void AppendU16(std::string& bytes, uint16_t value)
{
    bytes += char(value);
    bytes += char(value >> 8);
}

void AppendU32(std::string& bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes += char(value >> (8 * i));
}

uint32_t Crc32(const char* data, size_t size)
{
    return uint32_t(crc32(0L, reinterpret_cast<const Bytef*>(data), uInt(size)));
}

void AppendBlock(std::string& out, const char* data, size_t size)
{
    AppendU32(out, uint32_t(size));
    AppendU32(out, ~uint32_t(size));
    AppendU32(out, Crc32(data, size));
    out.append(data, size);
}

std::string At(size_t offset)
{
    return " at offset " + std::to_string(offset);
}

// Writes bytes as the patcher's own file temporary (created exclusively after removing whatever
// stood there, a link included), flushed, given the mode and owner of model, then renamed over
// log. False with error naming what failed; nothing of temporary stays behind.
bool WriteLogThrough(const PatchStageContext& context, const LumoUtil::InstallDoor& door, const std::wstring& log,
                     const std::wstring& temporary, const std::wstring& model, const std::string& bytes,
                     std::wstring& error)
{
    const std::wstring where = door.Root() + L"/" + temporary;
    const int fd = door.CreateOwnFile(temporary, O_WRONLY, 0644, error);
    if (fd < 0)
        return false;
    int failure = 0;
    for (size_t done = 0; failure == 0 && done < bytes.size();)
    {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            failure = put < 0 ? errno : EIO;
        else
            done += size_t(put);
    }
    if (failure == 0 && fsync(fd) != 0)
        failure = errno;
    if (close(fd) != 0 && failure == 0)
        failure = errno;
    std::wstring ignored;
    if (failure != 0)
    {
        error = L"cannot write \"" + where + L"\": " + ErrnoText(failure);
        door.RemoveFile(temporary, ignored);
        return false;
    }
    CountInstallAction();
    if (!KeepOwnership(context, door.Root() + L"/" + model, where, error) || !door.Rename(temporary, log, error))
    {
        door.RemoveFile(temporary, ignored);
        return false;
    }
    CountInstallAction();
    return door.Sync(error);
}

void ReportWriteFailure(const std::wstring& path, const std::wstring& error)
{
    PatchSendMessage(PATCH_LEVEL_ERROR, PatchMessages::kCannotWriteFile + path + L" (" + error + L")");
}

// The log's own record for an added file: its full path in the installer's code page. False when
// that code page cannot hold the path.
bool RecordPath(const std::wstring& installDir, const std::wstring& listed, std::string& bytes)
{
    return ToWindows1252(LumoUtil::JoinPath(installDir, listed), bytes);
}

// One warning for the added files the log cannot name: how many, and where they are.
void ReportUnrecordedFiles(const std::wstring& installDir, const std::vector<std::wstring>& unrecorded,
                           const wchar_t* addedBy)
{
    constexpr size_t kNamesShown = 10;
    std::wstring names;
    for (size_t i = 0; i < unrecorded.size() && i < kNamesShown; ++i)
        names += (i == 0 ? L"" : L", ") + unrecorded[i];
    if (unrecorded.size() > kNamesShown)
        names += L" and " + std::to_wstring(unrecorded.size() - kNamesShown) + L" more";
    const bool one = unrecorded.size() == 1;
    PatchSendMessage(PATCH_LEVEL_WARNING,
                     L"The uninstaller will not know about " + std::to_wstring(unrecorded.size()) +
                         (one ? L" file" : L" files") + L" " + addedBy + L" added, because the uninstall log's code page "
                         L"(Windows-1252) cannot hold " + (one ? L"its path" : L"their paths") +
                         L"; uninstalling leaves " + (one ? L"it" : L"them") + L" behind in " + installDir + L": " +
                         names);
}

// The run that gathers the unrecorded files of its patches (UnrecordedFilesReport), if any.
std::mutex g_unrecordedLock;
UnrecordedFilesRun* g_unrecordedRun = nullptr;

// A listed path as a key that does not tell case or separators apart.
std::wstring LowerAsciiKey(std::wstring path)
{
    for (wchar_t& c : path)
        c = c == L'/' ? L'\\' : (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    return path;
}

// The files a patch adds that the log cannot name: warned about now, or kept for the run's one
// warning when a run gathers them.
void NoteUnrecordedFiles(const std::shared_ptr<LumoUtil::InstallDoor>& door, const std::wstring& installDir,
                         const std::vector<std::wstring>& unrecorded)
{
    if (unrecorded.empty())
        return;
    {
        std::lock_guard<std::mutex> hold(g_unrecordedLock);
        if (g_unrecordedRun != nullptr)
        {
            g_unrecordedRun->installDir = installDir;
            g_unrecordedRun->door = door;
            g_unrecordedRun->pending.insert(g_unrecordedRun->pending.end(), unrecorded.begin(), unrecorded.end());
            return;
        }
    }
    ReportUnrecordedFiles(installDir, unrecorded, L"this patch");
}

// The data of every delete-file record in the stream (the chain was checked by the parser), so a
// file the log already names is not named twice.
std::set<std::string> DeleteRecordData(const std::string& stream)
{
    std::set<std::string> data;
    for (size_t record = 0; stream.size() - record >= 10;)
    {
        const uint16_t type = uint16_t(uint8_t(stream[record]) | uint8_t(stream[record + 1]) << 8);
        const uint32_t size = GetU32(stream, record + 6);
        if (stream.size() - record - 10 < size)
            break;
        if (type == kUninstallDeleteFileRecord)
            data.insert(stream.substr(record + 10, size));
        record += 10 + size_t(size);
    }
    return data;
}

// The log to extend, reached through the door by the case rule: log.kind is Missing when there is
// none. False with a level-2 warning sent when it cannot be used safely. The log is the patcher's
// to rewrite, like its other files: it is replaced by a rename, whatever its write bit, and keeps
// its mode (a read-only log stays read-only, and holds the new records).
bool FindLog(const LumoUtil::InstallDoor& door, LumoUtil::InstallFile& log)
{
    std::wstring error;
    if (!door.Reach(kUninstallLogName, log, error))
    {
        PatchSendMessage(PATCH_LEVEL_WARNING, kLogLeftUnchanged + error);
        return false;
    }
    if (log.kind == LumoUtil::InstallFileKind::Missing || log.kind == LumoUtil::InstallFileKind::Regular)
        return true;
    PatchSendMessage(PATCH_LEVEL_WARNING, kLogLeftUnchanged + log.path + L" (it is not a regular file)");
    return false;
}

}  // namespace

bool ParseUninstallLog(const std::string& bytes, UninstallLogImage& image, std::string& reason)
{
    image = UninstallLogImage();
    if (bytes.size() < kUninstallHeaderSize + kUninstallBlockHeaderSize)
    {
        reason = "the file is shorter than a header and one block";
        return false;
    }
    if (bytes.size() > kMaxLogSize)
    {
        reason = "the file is larger than any uninstall log";
        return false;
    }
    if (GetU32(bytes, kUninstallHeaderCrcOffset) != Crc32(bytes.data(), kUninstallHeaderCrcOffset))
    {
        reason = "the header checksum does not match";
        return false;
    }

    std::string stream;
    stream.reserve(bytes.size());
    size_t pos = kUninstallHeaderSize;
    while (pos < bytes.size())
    {
        if (bytes.size() - pos < kUninstallBlockHeaderSize)
        {
            reason = "a block header is cut off" + At(pos);
            return false;
        }
        const uint32_t size = GetU32(bytes, pos);
        if (GetU32(bytes, pos + 4) != ~size)
        {
            reason = "the block" + At(pos) + " has inconsistent size fields";
            return false;
        }
        if (size > kUninstallBlockDataSize)
        {
            reason = "the block" + At(pos) + " holds more than 4096 bytes";
            return false;
        }
        const size_t data = pos + kUninstallBlockHeaderSize;
        if (bytes.size() - data < size)
        {
            reason = "the block" + At(pos) + " runs past the end of the file";
            return false;
        }
        if (GetU32(bytes, pos + 8) != Crc32(bytes.data() + data, size))
        {
            reason = "the block" + At(pos) + " fails its checksum";
            return false;
        }
        if (size < kUninstallBlockDataSize && data + size != bytes.size())
        {
            reason = "the block" + At(pos) + " is not full but is not the last one";
            return false;
        }
        stream.append(bytes, data, size);
        pos = data + size;
    }

    // Walk the record chain to be sure the closing record really is the last 28 bytes.
    if (stream.size() < kUninstallClosingRecordSize)
    {
        reason = "the record data is shorter than the closing record";
        return false;
    }
    size_t record = 0;
    size_t last = 0;
    while (record < stream.size())
    {
        if (stream.size() - record < 10)
        {
            reason = "a record header is cut off at record offset " + std::to_string(record);
            return false;
        }
        const uint32_t dataSize = GetU32(stream, record + 6);
        if (stream.size() - record - 10 < dataSize)
        {
            reason = "the record at record offset " + std::to_string(record) + " runs past the end";
            return false;
        }
        last = record;
        record += 10 + size_t(dataSize);
    }
    if (stream.size() - last != kUninstallClosingRecordSize)
    {
        reason = "the last record is " + std::to_string(stream.size() - last) + " bytes long, not 28";
        return false;
    }

    image.header = bytes.substr(0, kUninstallHeaderSize);
    image.stream = std::move(stream);
    image.numRecs = GetU32(bytes, kUninstallNumRecsOffset);
    image.endOffset = GetU32(bytes, kUninstallEndOffsetOffset);
    image.fileSize = bytes.size();
    return true;
}

std::string MakeUninstallDeleteRecord(const std::string& path)
{
    std::string data;
    const size_t length = path.size();
    if (length < 0xFD)
    {
        data += char(length);
    }
    else if (length <= 0xFFFF)
    {
        data += char(0xFD);
        AppendU16(data, uint16_t(length));
    }
    else
    {
        data += char(0xFE);
        AppendU32(data, uint32_t(length));
    }
    data += path;
    data += char(0xFF);

    std::string record;
    AppendU16(record, kUninstallDeleteFileRecord);
    AppendU32(record, 0);
    AppendU32(record, uint32_t(data.size()));
    return record + data;
}

std::string BuildExtendedUninstallLog(const UninstallLogImage& image, const std::vector<std::string>& records)
{
    const size_t splice = image.stream.size() - kUninstallClosingRecordSize;
    size_t recordBytes = 0;
    for (const std::string& record : records)
        recordBytes += record.size();

    std::string stream;
    stream.reserve(image.stream.size() + recordBytes);
    stream.append(image.stream, 0, splice);
    for (const std::string& record : records)
        stream += record;
    stream.append(image.stream, splice, kUninstallClosingRecordSize);

    // Every block but the last is full, so cutting the whole stream again gives the blocks before
    // the splice back unchanged. The last block may be empty; it is written all the same.
    std::string out = image.header;
    out.reserve(out.size() + stream.size() + (stream.size() / kUninstallBlockDataSize + 1) * kUninstallBlockHeaderSize);
    size_t blocks = 0;
    for (size_t pos = 0;; pos += kUninstallBlockDataSize)
    {
        const size_t size = std::min(kUninstallBlockDataSize, stream.size() - pos);
        AppendBlock(out, stream.data() + pos, size);
        ++blocks;
        if (size < kUninstallBlockDataSize)
            break;
    }

    const size_t unchangedBlocks = splice / kUninstallBlockDataSize;
    uint32_t endOffset;
    if (uint64_t(image.endOffset) == image.fileSize)
        endOffset = uint32_t(out.size());
    else
        endOffset = image.endOffset + uint32_t(recordBytes + kUninstallBlockHeaderSize * (blocks - unchangedBlocks));
    PutU32(out, kUninstallNumRecsOffset, image.numRecs + uint32_t(records.size()));
    PutU32(out, kUninstallEndOffsetOffset, endOffset);
    PutU32(out, kUninstallHeaderCrcOffset, Crc32(out.data(), kUninstallHeaderCrcOffset));
    return out;
}

bool UpdateUninstallLogWith(const PatchStageContext& context, const std::vector<std::wstring>& addedPaths,
                            BackupPairArray* backups)
{
    if (addedPaths.empty())
        return true;

    std::wstring error;
    const std::shared_ptr<LumoUtil::InstallDoor> door = StageDoor(context, error);
    if (!door)
    {
        PatchSendMessage(PATCH_LEVEL_ERROR, error);
        return false;
    }
    LumoUtil::InstallFile found;
    if (!FindLog(*door, found) || found.kind == LumoUtil::InstallFileKind::Missing)
        return true;
    const std::wstring& log = found.path;
    if (found.size > kMaxLogSize)
    {
        PatchSendMessage(PATCH_LEVEL_WARNING, kLogLeftUnchanged + log + L" (the file is larger than any uninstall log)");
        return true;
    }

    std::string bytes;
    bool present = false;
    if (!door->ReadOwnFile(found.relative, bytes, present, error) || !present)
    {
        PatchSendMessage(PATCH_LEVEL_WARNING, kLogLeftUnchanged + (present ? error : log + L" (it is gone)"));
        return true;
    }
    UninstallLogImage image;
    std::string reason;
    if (!ParseUninstallLog(bytes, image, reason))
    {
        PatchSendMessage(PATCH_LEVEL_WARNING, kLogLeftUnchanged + log + L" (" + ToWide(reason) + L")");
        return true;
    }

    if (uint64_t(image.numRecs) + addedPaths.size() > UINT32_MAX)
    {
        PatchSendMessage(PATCH_LEVEL_WARNING, kLogLeftUnchanged + log + L" (its record count would overflow)");
        return true;
    }
    std::vector<std::string> records;
    std::vector<std::wstring> unrecorded;
    std::set<std::string> named = DeleteRecordData(image.stream);
    for (const std::wstring& path : addedPaths)
    {
        // The uninstaller deletes what the log names: only files inside the installation.
        if (!LumoUtil::IsSafeRelativePath(path, &error, LumoUtil::NameText::Utf16))
        {
            PatchSendMessage(PATCH_LEVEL_ERROR, kLogLeftUnchanged + error);
            return false;
        }
        std::string bytes;
        if (!RecordPath(context.installDir, path, bytes))
        {
            unrecorded.push_back(path);
            continue;
        }
        std::string record = MakeUninstallDeleteRecord(bytes);
        // A run repeated after its commit (or a package applied twice) names nothing twice.
        if (named.insert(record.substr(10)).second)
            records.push_back(std::move(record));
    }
    if (records.empty())
    {
        NoteUnrecordedFiles(door, context.installDir, unrecorded);
        return true;
    }
    const std::string newLog = BuildExtendedUninstallLog(image, records);

    // With backups the old log moves to its backup first (announced in the journal), and the new
    // one is written beside it under the name recovery cleans up; without, it is written under the
    // installer's temporary name. Either way one rename puts it in place.
    std::wstring model = found.relative;
    std::wstring temp;
    if (backups != nullptr)
    {
        const std::wstring backup = log + kBackupExt;
        if (!MoveToBackup(context, JournalEntry::kUninstallLog, log, backup, error))
        {
            PatchSendMessage(PATCH_LEVEL_ERROR, LumoUtil::FormatWString(PatchMessages::kBackupFailed, backup.c_str()));
            PatchSendMessage(PATCH_LEVEL_ERROR, error);
            return false;
        }
        backups->push_back({log, backup});
        model = found.relative + kBackupExt;
        temp = found.relative + kReplacementExt;
    }
    else
    {
        const size_t slash = found.relative.rfind(L'/');
        temp = found.relative.substr(0, slash == std::wstring::npos ? 0 : slash + 1) + kUninstallLogTempName;
    }
    if (!WriteLogThrough(context, *door, found.relative, temp, model, newLog, error))
    {
        ReportWriteFailure(log, error);
        return false;
    }
    NoteUnrecordedFiles(door, context.installDir, unrecorded);
    return true;
}

void SettleUnrecordedFiles(bool applied)
{
    std::lock_guard<std::mutex> hold(g_unrecordedLock);
    if (g_unrecordedRun == nullptr)
        return;
    // A patch that was rolled back took its files away again.
    if (applied)
        g_unrecordedRun->kept.insert(g_unrecordedRun->kept.end(), g_unrecordedRun->pending.begin(),
                                     g_unrecordedRun->pending.end());
    g_unrecordedRun->pending.clear();
}

UnrecordedFilesReport::UnrecordedFilesReport()
{
    std::lock_guard<std::mutex> hold(g_unrecordedLock);
    if (g_unrecordedRun == nullptr)
    {
        m_run = new UnrecordedFilesRun;
        g_unrecordedRun = m_run;
    }
}

UnrecordedFilesReport::~UnrecordedFilesReport()
{
    Report();
    std::lock_guard<std::mutex> hold(g_unrecordedLock);
    if (m_run != nullptr && g_unrecordedRun == m_run)
        g_unrecordedRun = nullptr;
    delete m_run;
}

void UnrecordedFilesReport::Report()
{
    if (m_run == nullptr)
        return;
    std::wstring installDir;
    std::shared_ptr<LumoUtil::InstallDoor> door;
    std::vector<std::wstring> kept;
    {
        std::lock_guard<std::mutex> hold(g_unrecordedLock);
        installDir = m_run->installDir;
        door = m_run->door;
        kept.swap(m_run->kept);
    }
    // A file two patches added is one file; one a later patch deleted is not left behind.
    std::vector<std::wstring> files;
    std::set<std::wstring> seen;
    for (const std::wstring& path : kept)
    {
        std::wstring key = LowerAsciiKey(path);
        LumoUtil::InstallFile found;
        std::wstring error;
        if (!seen.insert(key).second ||
            (door && door->ReachAny(path, found, error, LumoUtil::NameText::Utf16) &&
             found.kind == LumoUtil::InstallFileKind::Missing))
            continue;
        files.push_back(path);
    }
    if (!files.empty())
        ReportUnrecordedFiles(installDir, files, L"the patches of this run");
}

bool UpdateUninstallLog(const std::wstring& installDir, const std::wstring& packageDir, BackupPairArray* backups)
{
    std::vector<std::wstring> paths;
    for (const PatchFileRecord& record : ReadAddedFileList(packageDir))
        paths.push_back(record.path);
    PatchStageContext context = CurrentPatchStageContext();
    context.installDir = installDir;
    context.packageDir = packageDir;
    return UpdateUninstallLogWith(context, paths, backups);
}
