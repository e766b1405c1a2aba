#include "patch/PatchFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "lumo/files/FreeSpace.h"
#include "lumo/files/InstallDoor.h"
#include "lumo/files/UniqueFd.h"
#include "lumo/text/SafePath.h"
#include "lumo/text/StringUtil.h"
#include "patch/AddedFiles.h"
#include "patch/FileMd5.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchFileNames.h"
#include "patch/PatchMessages.h"
#include "patch/PatchTool.h"
#include "platform/NativePath.h"
#include "platform/Processors.h"

namespace
{

constexpr wchar_t kDiffExt[] = L".diff";
constexpr wchar_t kArchiveDiffInfix[] = L"-diff";
// How often a stage waiting for helper threads asks whether to keep going.
constexpr auto kPollInterval = std::chrono::milliseconds(100);

using LumoUtil::UniqueFd;

LumoUtil::FileIdentity IdentityOfStat(const struct stat& st)
{
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// A listed file's digest, taken through a descriptor walked from the stage's door, and which file
// it was (so that the file the tool later reads is known to be the one checked).
struct CheckedDigest
{
    std::wstring digest;           // empty when error is set or the hash was stopped
    LumoUtil::FileIdentity identity;
    std::wstring error;            // why the file could not be hashed
    bool stopped = false;          // the keep-going check said stop
};

CheckedDigest DigestOf(const PatchStageContext& context, const std::wstring& target,
                       const std::function<bool()>& keepGoing)
{
    CheckedDigest checked;
    struct stat st;
    const UniqueFd fd(OpenStageFileForReading(context, target, st, checked.error));
    if (fd.Get() < 0)
        return checked;
    checked.identity = IdentityOfStat(st);
    const int error = ComputeFileMD5(fd.Get(), checked.digest, keepGoing);
    if (error == ECANCELED)
        checked.stopped = true;
    else if (error != 0)
        checked.error = L"cannot read \"" + target + L"\": " + ErrnoText(error);
    return checked;
}

size_t NameStart(const std::wstring& path)
{
    const size_t separator = path.find_last_of(L"/\\");
    return separator == std::wstring::npos ? 0 : separator + 1;
}

// The package's difference file for a listed path, relative to the package folder:
// data\<folders>\<name>.diff, or data\<folders>\<stem>-diff.ka for an archive.
std::wstring DiffRelativePath(const std::wstring& listed, bool archive)
{
    const size_t nameStart = NameStart(listed);
    const std::wstring folders = listed.substr(0, nameStart);
    const std::wstring name = listed.substr(nameStart);
    std::wstring diffName = name + kDiffExt;
    if (archive)
    {
        const size_t extLength = std::char_traits<wchar_t>::length(kArchiveExt);
        diffName = name.substr(0, name.size() - extLength) + kArchiveDiffInfix + kArchiveExt;
    }
    return std::wstring(kPackageDataFolder) + L"\\" + folders + diffName;
}

void SendError(const std::wstring& text)
{
    PatchSendMessage(PATCH_LEVEL_ERROR, text);
}

// The tool's answer, as the user reads it. False for every exit code but 0.
bool ReportExitCode(int code, bool archive, const std::wstring& listed)
{
    using namespace PatchMessages;
    switch (code)
    {
    case 0:
        return true;
    case 1:
        SendError(archive ? LumoUtil::FormatWString(kContentsDoNotMatch, listed.c_str()) : kNotEnoughArguments);
        return false;
    case 2:
        SendError(LumoUtil::FormatWString(kCannotOpenDataFile, listed.c_str()));
        return false;
    case 3:
        SendError(LumoUtil::FormatWString(kCannotOpenPatchFile, listed.c_str()));
        return false;
    case 4:
        SendError(kCannotOpenOutputFile);
        return false;
    default:
        SendError(LumoUtil::FormatWString(kUnknownPatchError, code, listed.c_str()));
        return false;
    }
}

// A tool that failed while the disk it writes to has no room left: its exit code cannot say so
// (code 1 would read "Not enough Argument Specified", which the patcher's own command line rules
// out), so the full disk is named instead. Codes 2 and 3 are failures to read, which a full disk
// does not cause.
bool ReportFullDisk(int code, const std::wstring& target)
{
    if (code == 0 || code == 2 || code == 3)
        return false;
    const size_t nameStart = NameStart(target);
    const std::wstring folder = target.substr(0, nameStart > 1 ? nameStart - 1 : nameStart);
    uint64_t freeBytes = 0;
    if (!LumoUtil::IsDiskFull(folder, &freeBytes))
        return false;
    SendError(L"Failed to patch " + target + L": " + LumoUtil::NoSpaceText(folder, freeBytes) + L".");
    return true;
}

// The tool's run and what it wrote: false (reported) unless it exited 0 and its output has the
// new digest (for an archive a different digest is only a warning: the converter may rebuild it
// in its own way).
bool CheckToolOutput(const PatchToolRun& run, const PatchToolCommand& command, bool archive,
                     const PatchFileRecord& record, const std::wstring& target, const std::wstring& output,
                     int outputFd)
{
    using namespace PatchMessages;
    if (run.outcome == PatchToolRun::kNotStarted)
    {
        // The command, then why it did not start (missing, not executable, not a Linux program).
        PatchSendMessage(PATCH_LEVEL_STATUS, kFailedPatchCommand + command.commandLine);
        SendError(FromNativePath(run.error));
        return false;
    }
    if (run.outcome == PatchToolRun::kCancelled || ReportFullDisk(run.exitCode, target) ||
        !ReportExitCode(run.exitCode, archive, record.path))
        return false;
    // Exit code 0 is only the tool's word; the content is what counts, read through the
    // patcher's own descriptor: whatever stands under the name now is not what the tool wrote.
    std::wstring written;
    const int hashError = ComputeFileMD5(outputFd, written, PatchKeepGoing);
    if (hashError == ECANCELED)
        return false;
    if (hashError != 0)
    {
        SendError(kChecksumFailed + output);
        SendError(L"cannot read \"" + output + L"\": " + ErrnoText(hashError));
        return false;
    }
    if (written != record.newChecksum)
    {
        const std::wstring text = LumoUtil::FormatWString(kContentsDoNotMatch, record.path.c_str());
        if (!archive)
        {
            SendError(text);
            return false;
        }
        PatchSendMessage(PATCH_LEVEL_WARNING, text);
    }
    return true;
}

// The digests of the files about to be patched, computed on every core at once (the patch tool
// runs one file at a time); where a file could not be read, its error, which its own step then
// reports. A stop ends every hash: the helpers ask a shared flag, which only this thread sets
// from the keep-going check (asked while it hashes, and while it waits for the helpers).
std::vector<CheckedDigest> DigestsOf(const PatchStageContext& context, const std::vector<std::wstring>& paths,
                                     bool& stopped)
{
    std::vector<CheckedDigest> digests(paths.size());
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::condition_variable done;
    size_t helpersDone = 0;
    auto work = [&](const std::function<bool()>& keepGoing) {
        for (size_t i; !stop && (i = next.fetch_add(1)) < paths.size();)
            digests[i] = DigestOf(context, paths[i], keepGoing);
    };
    const std::function<bool()> helperKeepGoing = [&] { return !stop.load(); };
    const std::function<bool()> ownKeepGoing = [&] {
        if (!stop && !PatchKeepGoing())
            stop = true;
        return !stop.load();
    };
    const size_t helpers = std::min<size_t>(platform::UsableProcessorCount(), paths.size()) - (paths.empty() ? 0 : 1);
    std::vector<std::thread> threads;
    try
    {
        for (size_t i = 0; i < helpers; ++i)
            threads.emplace_back([&] {
                work(helperKeepGoing);
                std::lock_guard<std::mutex> guard(lock);
                ++helpersDone;
                done.notify_one();
            });
    }
    catch (const std::system_error&)  // no more threads: fewer helpers
    {
    }
    work(ownKeepGoing);
    {
        std::unique_lock<std::mutex> guard(lock);
        while (!done.wait_for(guard, kPollInterval, [&] { return helpersDone == threads.size(); }))
            ownKeepGoing();
    }
    for (std::thread& thread : threads)
        thread.join();
    stopped = stop;
    return digests;
}

bool PatchOneFile(const PatchStageContext& context, const LumoUtil::InstallDoor& package,
                  const InstalledPatchTools& tools, const PatchFileRecord& record, const CheckedDigest* known,
                  BackupPairArray& backups)
{
    using namespace PatchMessages;
    if (!PatchKeepGoing())
        return false;

    std::wstring target;
    std::wstring error;
    if (!ResolveStageTarget(context, record.path, target, error))
    {
        SendError(error);
        return false;
    }
    const bool archiveName = IsArchiveFileName(record.path.substr(NameStart(record.path)));
    const bool archive = archiveName && tools.converterInstalled;
    LumoUtil::InstallFile diffFile;
    if (!package.ReachAny(DiffRelativePath(record.path, archive), diffFile, error))
    {
        SendError(error);
        return false;
    }
    const std::wstring diff = diffFile.path;
    const std::wstring backup = target + kBackupExt;

    const CheckedDigest checked = known ? *known : DigestOf(context, target, PatchKeepGoing);
    if (checked.stopped)
        return false;
    if (!checked.error.empty())
    {
        SendError(kChecksumFailed + target);
        SendError(checked.error);
        return false;
    }
    if (checked.digest == record.newChecksum)
    {
        PatchSendMessage(PATCH_LEVEL_WARNING, kAlreadyPatched + target);
        return true;
    }
    if (checked.digest != record.oldChecksum)
    {
        SendError(kFileDamaged + target);
        return false;
    }

    // A tool whose name cannot be told (two entries match it ignoring case) stops the file before
    // it is touched.
    const std::wstring toolError = archiveName && !tools.converterError.empty() ? tools.converterError
                                    : archive                                     ? std::wstring()
                                                                                  : tools.patchToolError;
    if (!toolError.empty())
    {
        SendError(toolError);
        return false;
    }

    if (!MoveToBackup(context, JournalEntry::kPatched, target, backup, error))
    {
        SendError(LumoUtil::FormatWString(kBackupFailed, backup.c_str()));
        SendError(error);
        return false;
    }
    backups.push_back({target, backup});

    // The tool reads the backup through the patcher's descriptor, and only the file that was
    // checked: a file swapped in after the check is not patched.
    struct stat backupStat;
    const UniqueFd backupFd(OpenStageFileForReading(context, backup, backupStat, error));
    if (backupFd.Get() < 0)
    {
        SendError(LumoUtil::FormatWString(kCannotOpenDataFile, record.path.c_str()));
        SendError(error);
        return false;
    }
    if (!(IdentityOfStat(backupStat) == checked.identity))
    {
        SendError(L"Failed to patch " + target + L": it was replaced by another file after it was checked.");
        return false;
    }

    const std::wstring outputFolder = ParentFolderOf(target);
    if (KindInStage(context, outputFolder) != LumoUtil::InstallFileKind::Folder &&
        !CreateFolderChain(context, outputFolder, error))
    {
        SendError(kCannotCreateDirectory + outputFolder);
        SendError(error);
        return false;
    }

    // The tool writes beside the target, under the name the journal's recovery removes: the live
    // file changes only by the rename below, after the check, so even a tool that outlived its
    // patcher could never touch a restored file. The file is the patcher's own, created afresh,
    // and the tool gets its descriptor, not its name: a link swapped in under the name cannot
    // lead the tool's writes outside.
    const std::wstring output = target + kReplacementExt;
    const UniqueFd outputFd(PrepareReplacement(context, target, error));
    if (outputFd.Get() < 0)
    {
        SendError(kCannotOpenOutputFile);
        SendError(error);
        return false;
    }
    const PatchToolCommand command = MakePatchToolCommand(tools, archive, backup, backupFd.Get(), diff, output,
                                                          outputFd.Get());
    const PatchToolRun run = RunPatchTool(command);
    CountInstallAction();  // the tool has written (or begun to write) its output
    error.clear();
    const LumoUtil::FileIdentity written = LumoUtil::IdentityOf(outputFd.Get());
    const bool ok = CheckToolOutput(run, command, archive, record, target, output, outputFd.Get()) &&
                    KeepOwnershipOf(backupFd.Get(), outputFd.Get(), output, error);
    if (!ok)
    {
        if (!error.empty())
            SendError(error);
        std::wstring removeError;
        if (!RemoveInstallFile(context, output, removeError))
            PatchSendMessage(PATCH_LEVEL_WARNING, removeError);
        return false;
    }
    if (!MoveReplacementIn(context, target, error, &written))
    {
        SendError(error);
        return false;
    }
    return true;
}

}  // namespace

bool IsArchiveFileName(const std::wstring& name)
{
    const size_t extLength = std::char_traits<wchar_t>::length(kArchiveExt);
    const size_t first = name.find(kArchiveExt);
    return first != std::wstring::npos && first + extLength == name.size();
}

bool PatchFilesIn(const PatchStageContext& context, const PatchFileRecordArray& records, BackupPairArray& backups)
{
    if (!StageCanStart(context))
        return false;
    std::vector<std::wstring> targets;
    for (const PatchFileRecord& record : records)
    {
        std::wstring target, error;
        if (!ResolveStageTarget(context, record.path, target, error))
            break;  // reported when its turn comes
        targets.push_back(target);
    }
    bool stopped = false;
    const std::vector<CheckedDigest> digests = DigestsOf(context, targets, stopped);
    if (stopped)
        return false;
    // The package does not change during a run: its folders are listed once.
    std::wstring packageError;
    const std::shared_ptr<LumoUtil::InstallDoor> package = LumoUtil::InstallDoor::Open(context.packageDir, packageError);
    if (!package)
    {
        SendError(packageError);
        return false;
    }
    // Nor do the installation's tools: found once, through the run's door, by its case rule.
    const InstalledPatchTools tools = records.empty() ? InstalledPatchTools() : FindPatchTools(*context.door);
    for (size_t i = 0; i < records.size(); ++i)
    {
        if (!PatchOneFile(context, *package, tools, records[i], i < digests.size() ? &digests[i] : nullptr, backups))
            return false;
    }
    return true;
}

bool PatchFiles(const PatchFileRecordArray& records, BackupPairArray& backups)
{
    return PatchFilesIn(CurrentPatchStageContext(), records, backups);
}
