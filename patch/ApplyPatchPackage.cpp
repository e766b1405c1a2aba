#include "patch/ApplyPatchPackage.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <unordered_map>

#include "lumo/files/InstallDoor.h"
#include "lumo/net/SavedSummary.h"
#include "patch/AddedFiles.h"
#include "patch/BackupJournal.h"
#include "patch/DeletedFiles.h"
#include "patch/FileLists.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchFileNames.h"
#include "patch/PatchFiles.h"
#include "patch/UninstallLog.h"
#include "platform/NativePath.h"

namespace {

std::wstring LowerAscii(std::wstring s)
{
    for (wchar_t& c : s)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
}

std::wstring TrimmedFolder(std::wstring folder)
{
    while (folder.size() > 1 && (folder.back() == L'/' || folder.back() == L'\\'))
        folder.pop_back();
    return folder;
}

struct FileList
{
    const wchar_t* name;
    std::wstring path;
    PatchFileRecordArray records;
};

// The directory entry a reached file is: the identity (device and inode) of the deepest folder
// above it that exists, and the rest of the name ignoring ASCII case. Two list names whose
// stages would move, back up and restore the same entry (through a link, a bind mount or another
// spelling) get the same key; two names of one file (a hard link) are two entries, each moved and
// restored on its own, and keep theirs.
std::wstring EntryKey(const LumoUtil::InstallDoor& door, const LumoUtil::InstallFile& file)
{
    std::wstring folder = file.relative;
    std::wstring rest;
    for (;;) {
        const size_t slash = folder.rfind(L'/');
        rest = L"/" + folder.substr(slash == std::wstring::npos ? 0 : slash + 1) + rest;
        folder = slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash);
        const LumoUtil::InstallFile above = folder.empty() ? LumoUtil::InstallFile() : door.Look(folder);
        if (folder.empty() || above.kind == LumoUtil::InstallFileKind::Folder) {
            const LumoUtil::FileIdentity id = folder.empty() ? door.Identity() : above.identity;
            return std::to_wstring(id.device) + L":" + std::to_wstring(id.inode) + LowerAscii(rest);
        }
    }
}

constexpr size_t kCheckProgressEvery = 5000;

// Every path valid and inside the installation, and no file reached twice: a second backup of the
// same file would replace the first, and with it the only copy of the original. Every check is
// made on the file a name reaches, links inside followed, not on the name as listed.
bool CheckLists(const LumoUtil::InstallDoor& door, const FileList (&lists)[3],
                std::unordered_map<std::wstring, std::wstring>& resolved)
{
    LumoUtil::InstallFile log;
    std::wstring logError;
    const bool logReached = door.Reach(kUninstallLogName, log, logError);
    const std::wstring logKey = logReached ? EntryKey(door, log) : std::wstring();
    struct Listed
    {
        const wchar_t* list;
        std::wstring path;
    };
    std::map<std::wstring, Listed> seen;
    // A big patch is checked for a while before its first file changes: say so, and how far it got.
    const size_t total = lists[0].records.size() + lists[1].records.size() + lists[2].records.size();
    size_t checked = 0;
    if (total >= kCheckProgressEvery)
        PatchSendMessage(PATCH_LEVEL_STATUS, L"Checking the " + std::to_wstring(total) + L" files the patch lists");
    for (const FileList& list : lists) {
        for (const PatchFileRecord& record : list.records) {
            if (!PatchKeepGoing()) {
                PatchSendMessage(PATCH_LEVEL_ERROR, L"The patch was stopped while its file lists were checked; "
                                                    L"nothing was changed");
                return false;
            }
            if (++checked % kCheckProgressEvery == 0)
                PatchSendMessage(PATCH_LEVEL_STATUS, L"Checked " + std::to_wstring(checked) + L" of " +
                                                         std::to_wstring(total) + L" listed files");
            LumoUtil::InstallFile file;
            std::wstring error;
            if (!ResolvePatchTarget(door, record.path, file, error)) {
                PatchSendMessage(PATCH_LEVEL_ERROR, L"Refused an entry of " + list.path + L": " + error);
                return false;
            }
            const std::wstring key = EntryKey(door, file);
            if (logReached && key == logKey) {
                PatchSendMessage(PATCH_LEVEL_ERROR, L"Refused an entry of " + list.path + L": path \"" + record.path +
                                                        L"\" names the uninstall log " + log.path +
                                                        L", which the patch updates itself");
                return false;
            }
            resolved.emplace(record.path, file.path);
            const auto [it, inserted] = seen.emplace(key, Listed{list.name, record.path});
            if (!inserted) {
                PatchSendMessage(PATCH_LEVEL_ERROR, L"Refused an entry of " + list.path + L": the file " + file.path +
                                                        L" is listed more than once (as \"" + record.path +
                                                        L"\", and as \"" + it->second.path + L"\" in " +
                                                        it->second.list + L")");
                return false;
            }
        }
    }
    return true;
}

// Clears the run's journal and targets from the stage context on every way out.
struct CurrentJournal
{
    CurrentJournal(BackupJournal* journal, const std::unordered_map<std::wstring, std::wstring>* targets)
    {
        SetCurrentPatchJournal(journal);
        SetCurrentResolvedTargets(targets);
    }
    ~CurrentJournal()
    {
        SetCurrentPatchJournal(nullptr);
        SetCurrentResolvedTargets(nullptr);
    }
    CurrentJournal(const CurrentJournal&) = delete;
    CurrentJournal& operator=(const CurrentJournal&) = delete;
};

// The patch tool runs in the installation's "bin" folder, so a folder given relative to ours
// would point elsewhere for it: every stage works with absolute folders.
std::wstring AbsoluteFolder(const std::wstring& folder)
{
    if (folder.empty() || folder[0] == L'/')
        return folder;
    char* current = getcwd(nullptr, 0);
    if (!current)
        return folder;
    std::wstring absolute = FromNativePath(current);
    free(current);
    if (absolute.back() != L'/')
        absolute += L'/';
    std::wstring rest = folder;
    while (rest.rfind(L"./", 0) == 0)
        rest.erase(0, 2);
    return rest.empty() || rest == L"." ? TrimmedFolder(absolute) : absolute + rest;
}

} // namespace

void MoveLauncherLast(PatchFileRecordArray& records, const std::wstring& launcherName)
{
    if (launcherName.empty())
        return;
    const auto it = std::find_if(records.begin(), records.end(), [&](const PatchFileRecord& record) {
        return record.path.find(launcherName) != std::wstring::npos;
    });
    if (it != records.end())
        std::rotate(it, it + 1, records.end());
}

namespace {

// The repair's summary must not vouch for what the patch changed: a file patched within the second
// of the summary's last look keeps the time the summary holds for it.
void ForgetPatchedFilesInRepairSummary(const LumoUtil::InstallDoor& door, const FileList (&lists)[3])
{
    std::vector<std::wstring> paths;
    for (const FileList& list : lists)
        for (const PatchFileRecord& record : list.records)
            paths.push_back(record.path);
    std::string error;
    if (!ForgetFilesInSummary(door, paths, error))
        PatchSendMessage(PATCH_LEVEL_WARNING, L"The repair's summary still describes the files before this patch: " +
                                                  FromNativePath(error) + L". Remove repair.cks before the next repair.");
}

}  // namespace

bool ApplyPatchPackage(const std::wstring& givenInstallDir, const std::wstring& givenPackageDir,
                       const std::wstring& launcherName, bool* putBack,
                       const std::function<void()>& beforeCommit)
{
    bool unused = true;
    bool& asItWas = putBack ? *putBack : unused;
    asItWas = true;  // until a stage has changed something
    const std::wstring installDir = AbsoluteFolder(givenInstallDir);
    const std::wstring packageDir = AbsoluteFolder(givenPackageDir);
    g_patchInstallDir = installDir;
    g_patchPackageDir = packageDir;

    FileList lists[3] = {{kAddedFilesList, {}, {}}, {kDeletedFilesList, {}, {}}, {kPatchedFilesList, {}, {}}};
    for (FileList& list : lists) {
        std::wstring error;
        if (!FindFileList(packageDir, list.name, list.path, error)) {
            PatchSendMessage(PATCH_LEVEL_ERROR, error);
            return false;
        }
        int padded = 0;
        if (!ReadFileList(list.path, list.records, padded)) {
            ReportUnreadableList(list.path);
            return false;
        }
        if (padded > 0)
            PatchSendMessage(PATCH_LEVEL_WARNING, L"The last group of " + list.path + L" lacks " +
                                                      std::to_wstring(padded) + L" of its three lines; they are taken as empty");
    }
    MoveLauncherLast(lists[2].records, launcherName);

    std::wstring error;
    std::unique_ptr<BackupJournal> journal = BackupJournal::Begin(installDir, error);
    if (!journal) {
        PatchSendMessage(PATCH_LEVEL_ERROR, error);
        return false;
    }
    // The door of the installation the journal has locked: every stage works through it.
    const std::shared_ptr<LumoUtil::InstallDoor> door = journal->Door();
    std::unordered_map<std::wstring, std::wstring> resolved;
    CurrentJournal current(journal.get(), &resolved);
    if (!CheckLists(*door, lists, resolved)) {
        journal->Finish(error);
        return false;
    }

    PatchSetTotal(static_cast<int>(lists[0].records.size() + lists[1].records.size() + lists[2].records.size()));

    BackupPairArray added, deleted, patched;
    const bool ok1 = AddFiles(lists[0].records, added);
    const bool ok2 = ok1 && DeleteFiles(lists[1].records, deleted);
    bool ok3 = ok2 && PatchFiles(lists[2].records, patched);
    if (ok3)
        ok3 = UpdateUninstallLog(installDir, packageDir, &patched);
    bool all = ok1 && ok2 && ok3;

    if (all && beforeCommit) {
        beforeCommit();
        CountInstallAction();
    }
    // Everything new (what beforeCommit wrote too) reaches the disk before the first backup goes.
    if (all && !journal->Commit(error)) {
        PatchSendMessage(PATCH_LEVEL_ERROR, error);
        all = false;
    }
    if (all)
        ForgetPatchedFilesInRepairSummary(*door, lists);

    SettleUnrecordedFiles(all);
    FinishAddedFiles(all, added);
    FinishDeletedFiles(all, deleted);
    FinishPatchedFiles(all, patched);
    if (!all)
        journal->RemoveCreatedFolders();
    const bool finished = journal->Finish(error);
    if (!finished)
        PatchSendMessage(PATCH_LEVEL_WARNING, error);
    asItWas = !all && finished;
    return all;
}
