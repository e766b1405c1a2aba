#include "patch/PatchFiles.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

#include "lumo/files/FreeSpace.h"
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
                     const PatchFileRecord& record, const std::wstring& target, const std::wstring& output)
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
    // Exit code 0 is only the tool's word; the content is what counts.
    std::wstring written;
    if (!ComputeFileMD5(output, written))
    {
        SendError(kChecksumFailed + output);
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
// runs one file at a time); an empty digest where a file could not be read, which its own step
// then reports.
std::vector<std::wstring> DigestsOf(const std::vector<std::wstring>& paths)
{
    std::vector<std::wstring> digests(paths.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < paths.size();)
            if (!ComputeFileMD5(paths[i], digests[i]))
                digests[i].clear();
    };
    const size_t helpers = std::min<size_t>(platform::UsableProcessorCount(), paths.size()) - (paths.empty() ? 0 : 1);
    std::vector<std::thread> threads;
    try
    {
        for (size_t i = 0; i < helpers; ++i)
            threads.emplace_back(work);
    }
    catch (const std::system_error&)  // no more threads: fewer helpers
    {
    }
    work();
    for (std::thread& thread : threads)
        thread.join();
    return digests;
}

bool PatchOneFile(const PatchStageContext& context, LumoUtil::InstallPathResolver& package,
                  const InstalledPatchTools& tools, const PatchFileRecord& record, const std::wstring& knownDigest,
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
    std::wstring diff;
    if (!package.Resolve(DiffRelativePath(record.path, archive), diff, error))
    {
        SendError(error);
        return false;
    }
    const std::wstring backup = target + kBackupExt;

    std::wstring digest = knownDigest;
    if (digest.empty() && !ComputeFileMD5(target, digest))
    {
        SendError(kChecksumFailed + target);
        return false;
    }
    if (digest == record.newChecksum)
    {
        PatchSendMessage(PATCH_LEVEL_WARNING, kAlreadyPatched + target);
        return true;
    }
    if (digest != record.oldChecksum)
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
    // patcher could never touch a restored file. The name is made a fresh file of the patcher's
    // own first, so the tool never writes through a link planted there.
    const std::wstring output = target + kReplacementExt;
    if (!PrepareReplacement(context, target, error))
    {
        SendError(kCannotOpenOutputFile);
        SendError(error);
        return false;
    }
    const PatchToolCommand command = MakePatchToolCommand(tools, archive, backup, diff, output);
    const PatchToolRun run = RunPatchTool(command);
    CountInstallAction();  // the tool has written (or begun to write) its output
    error.clear();
    const bool written = CheckToolOutput(run, command, archive, record, target, output) &&
                         KeepOwnership(context, backup, output, error);
    if (!written)
    {
        if (!error.empty())
            SendError(error);
        std::wstring removeError;
        if (!RemoveInstallFile(context, output, removeError))
            PatchSendMessage(PATCH_LEVEL_WARNING, removeError);
        return false;
    }
    if (!MoveReplacementIn(context, target, error))
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
    std::vector<std::wstring> targets;
    for (const PatchFileRecord& record : records)
    {
        std::wstring target, error;
        if (!ResolveStageTarget(context, record.path, target, error))
            break;  // reported when its turn comes
        targets.push_back(target);
    }
    const std::vector<std::wstring> digests = DigestsOf(targets);
    // The package does not change during a run: its folders are listed once.
    LumoUtil::InstallPathResolver package(context.packageDir);
    // Nor do the installation's tools: found once, by the installation's case rule.
    const InstalledPatchTools tools = records.empty() ? InstalledPatchTools() : FindPatchTools(context.installDir);
    for (size_t i = 0; i < records.size(); ++i)
    {
        if (!PatchOneFile(context, package, tools, records[i], i < digests.size() ? digests[i] : std::wstring(),
                          backups))
            return false;
    }
    return true;
}

bool PatchFiles(const PatchFileRecordArray& records, BackupPairArray& backups)
{
    return PatchFilesIn(CurrentPatchStageContext(), records, backups);
}
