#include "patch/InstallFileOps.h"
#include "patch/DatabaseUpdateMark.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "lumo/files/UniqueFd.h"
#include "lumo/text/SafePath.h"
#include "platform/NativePath.h"

namespace {

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

std::wstring TrimmedFolder(std::wstring folder)
{
    while (folder.size() > 1 && IsSeparator(folder.back()))
        folder.pop_back();
    return folder;
}

// The parts of a relative name, "/" and "\\" alike separating them.
std::vector<std::string> SplitOnSeparators(const std::wstring& relative)
{
    std::vector<std::string> parts;
    const std::string native = ToNativePath(relative);
    for (size_t start = 0; start <= native.size();) {
        const size_t end = std::min(native.find('/', start), native.size());
        if (end > start && native.compare(start, end - start, ".") != 0)
            parts.push_back(native.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool Exists(const std::wstring& path)
{
    struct stat st;
    return lstat(ToNativePath(path).c_str(), &st) == 0;
}

std::wstring Quoted(const std::string& native) { return L"\"" + FromNativePath(native) + L"\""; }

std::wstring Failure(const wchar_t* what, const std::string& native, int error)
{
    return std::wstring(what) + L" " + Quoted(native) + L": " + ErrnoText(error);
}

// How much a copy moves between two questions whether to keep going.
constexpr size_t kCopyCheckBytes = size_t(64) << 20;

// Copies the rest of in to out, in the kernel where the file systems allow it. keepGoing (when
// set) is asked after every kCopyCheckBytes, so a stop ends a long copy (error ECANCELED); a file
// below that size is never asked about.
bool CopyContent(int in, int out, int& error, const std::function<bool()>& keepGoing)
{
    bool kernelCopy = true;
    size_t sinceCheck = 0;
    for (;;) {
        if (keepGoing && sinceCheck >= kCopyCheckBytes) {
            sinceCheck = 0;
            if (!keepGoing()) {
                error = ECANCELED;
                return false;
            }
        }
        if (kernelCopy) {
            const ssize_t n = copy_file_range(in, nullptr, out, nullptr, kCopyCheckBytes, 0);
            if (n > 0) {
                sinceCheck += size_t(n);
                continue;
            }
            if (n == 0)
                return true;
            if (errno == EINTR)
                continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
                kernelCopy = false;
                continue;
            }
            error = errno;
            return false;
        }
        static thread_local std::vector<char> buffer(1 << 20);
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(out, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                error = w < 0 ? errno : EIO;
                return false;
            }
            done += w;
        }
        sinceCheck += size_t(n);
    }
}


using LumoUtil::InstallDoor;
using LumoUtil::InstallFileKind;

using LumoUtil::UniqueFd;

// A full path of the stage's installation as its door's link-free name below the root.
struct InDoor
{
    std::shared_ptr<InstallDoor> door;
    std::wstring relative;
    std::wstring path;
};

bool Locate(const PatchStageContext& context, const std::wstring& path, InDoor& at, std::wstring& error)
{
    at.door = StageDoor(context, error);
    if (!at.door)
        return false;
    const std::wstring& root = at.door->Root();
    const std::wstring prefix = root == L"/" ? root : root + L"/";
    std::wstring own = TrimmedFolder(FromNativePath(ToNativePath(path)));  // one separator style
    if (own == root) {  // the installation folder itself: the folder of a file at its top
        at.path = own;
        return true;
    }
    if (own.size() <= prefix.size() || own.compare(0, prefix.size(), prefix) != 0) {
        error = L"the file \"" + path + L"\" is not inside the installation \"" + root + L"\"";
        return false;
    }
    at.relative = own.substr(prefix.size());
    at.path = own;
    return true;
}

} // namespace

int OpenStageFileForReading(const PatchStageContext& context, const std::wstring& path, struct stat& st,
                            std::wstring& error)
{
    InDoor at;
    if (!Locate(context, path, at, error))
        return -1;
    return at.door->OpenForReading(at.relative, error, &st);
}

std::shared_ptr<InstallDoor> StageDoor(const PatchStageContext& context, std::wstring& error)
{
    // A stage works only in the folder its run has taken; opening the name again could reach
    // another folder than the one the run's journal and lock hold.
    if (!context.door)
        error = L"No patch is being applied to \"" + context.installDir +
                L"\": a stage of a patch runs only inside one";
    return context.door;
}

InstallFileKind KindInStage(const PatchStageContext& context, const std::wstring& path)
{
    InDoor at;
    std::wstring ignored;
    if (!Locate(context, path, at, ignored))
        return InstallFileKind::Missing;
    return at.relative.empty() ? InstallFileKind::Folder : at.door->Look(at.relative).kind;
}

bool ResolvePatchTarget(const InstallDoor& door, const std::wstring& relative, LumoUtil::InstallFile& file,
                        std::wstring& error)
{
    if (!door.Reach(relative, file, error))
        return false;
    if (file.kind == InstallFileKind::Folder) {
        error = L"path \"" + relative + L"\" names the folder \"" + file.path + L"\", not a file";
        return false;
    }
    // A FIFO, socket or device: reading one to check it could wait for ever, and no patch makes one.
    if (file.kind == InstallFileKind::Other) {
        error = L"path \"" + relative + L"\" names \"" + file.path + L"\", which is not a regular file (a FIFO, "
                L"socket or device)";
        return false;
    }
    return true;
}

bool FindFixedName(const InstallDoor& door, const std::wstring& relative, std::wstring& path, std::wstring& error,
                   std::wstring* reached)
{
    // Part by part through the take's door: each folder is the one the door reaches (a link inside
    // followed, never one leading out), each name spelled by the door's one case rule.
    path = door.Root();
    std::wstring folder;  // the folder reached so far, link-free, below the root
    std::wstring spelled;
    bool present = true;
    const std::vector<std::string> parts = SplitOnSeparators(relative);
    for (size_t i = 0; i < parts.size(); ++i) {
        std::wstring part = FromNativePath(parts[i]);
        if (present && !door.MatchEntry(folder, part, part, error))
            return false;
        spelled = folder.empty() ? part : folder + L"/" + part;
        path += (path == L"/" ? L"" : L"/") + part;
        if (!present || i + 1 == parts.size())
            continue;
        // A folder part the door cannot reach (a link leading out) is looked for no further: the
        // rest keeps its given spelling, and whoever opens path through the door says why not.
        LumoUtil::InstallFile next;
        std::wstring unreached;
        if (!door.ReachAny(spelled, next, unreached, LumoUtil::NameText::EightBit, true) ||
            next.kind == InstallFileKind::Missing || next.kind == InstallFileKind::Unreachable) {
            present = false;
        } else if (next.kind != InstallFileKind::Folder) {
            error = L"cannot look for \"" + relative + L"\" in \"" + door.Root() + L"\": \"" + next.path +
                    L"\" is not a folder";
            return false;
        }
        folder = next.relative;
    }
    if (reached)
        *reached = spelled;
    return true;
}

bool FindFixedName(const std::wstring& folder, const std::wstring& relative, std::wstring& path, std::wstring& error)
{
    // Part by part, each in the folder the parts before it name (a link there followed, as the
    // system follows it when the tool is started), by the door's one case rule.
    path = TrimmedFolder(folder);
    bool present = true;
    for (const std::string& native : SplitOnSeparators(relative)) {
        std::wstring part = FromNativePath(native);
        std::shared_ptr<InstallDoor> door;
        if (present && !(door = InstallDoor::Open(path, error)) && Exists(path))
            return false;
        present = door && door->MatchEntry(L"", part, part, error);
        if (door && !present && !error.empty())
            return false;
        path += (path == L"/" ? L"" : L"/") + part;
        present = present && Exists(path);
    }
    return true;
}

bool ResolveStageTarget(const PatchStageContext& context, const std::wstring& relative, std::wstring& target,
                        std::wstring& error)
{
    if (context.resolvedTargets) {
        const auto it = context.resolvedTargets->find(relative);
        InDoor at;
        if (it != context.resolvedTargets->end() && Locate(context, it->second, at, error)) {
            const size_t slash = at.relative.rfind(L'/');
            if (slash == std::wstring::npos || at.door->Look(at.relative.substr(0, slash)).kind == InstallFileKind::Folder) {
                if (at.door->Look(at.relative).kind == InstallFileKind::Folder) {
                    error = L"path \"" + relative + L"\" names the folder \"" + it->second + L"\", not a file";
                    return false;
                }
                target = it->second;
                return true;
            }
        }
    }
    const std::shared_ptr<InstallDoor> door = StageDoor(context, error);
    LumoUtil::InstallFile file;
    if (!door || !ResolvePatchTarget(*door, relative, file, error))
        return false;
    target = file.path;
    return true;
}

bool CreateFolderChain(const PatchStageContext& context, const std::wstring& folder, std::wstring& error)
{
    InDoor at;
    if (!Locate(context, TrimmedFolder(folder), at, error))
        return false;
    const InstallDoor& door = *at.door;
    for (size_t end = 0; !at.relative.empty() && end != std::wstring::npos;) {
        end = at.relative.find(L'/', end + 1);
        const std::wstring level = at.relative.substr(0, end);
        const std::wstring where = door.Root() + L"/" + level;
        const LumoUtil::InstallFile standing = door.Look(level);
        if (standing.kind == InstallFileKind::Folder)
            continue;
        if (standing.kind != InstallFileKind::Missing) {
            error = L"cannot create the folder \"" + where + L"\": " +
                    (standing.kind == InstallFileKind::Unreachable ? standing.reason
                                                                   : InstallDoor::KindText(standing.mode) + L" stands there");
            return false;
        }
        if (context.journal && !context.journal->IsAnnounced(JournalEntry::kFolder, where) &&
            !context.journal->Record(JournalEntry::kFolder, where, error))
            return false;
        if (!door.MakeFolders(level, error))
            return false;
        CountInstallAction();
        // A folder made by a privileged patcher belongs to whoever owns the folder above it.
        std::string leaf;
        std::wstring ignored;
        const UniqueFd parent(door.OpenParent(level, leaf, ignored));
        struct stat above, made;
        if (parent.Get() >= 0 && fstat(parent.Get(), &above) == 0 &&
            fstatat(parent.Get(), leaf.c_str(), &made, AT_SYMLINK_NOFOLLOW) == 0 &&
            (above.st_uid != made.st_uid || above.st_gid != made.st_gid))
            (void)!fchownat(parent.Get(), leaf.c_str(), above.st_uid, above.st_gid, AT_SYMLINK_NOFOLLOW);
    }
    return true;
}

namespace {

// Removes a stale backup (or whatever stands under a backup's name: a link is removed, never
// followed). True when nothing stands there afterwards.
bool RemoveStaleBackup(const InstallDoor& door, const std::wstring& backup, std::wstring& error)
{
    const LumoUtil::InstallFile standing = door.Look(backup);
    if (standing.kind == InstallFileKind::Unreachable) {
        error = L"cannot remove the stale backup: " + standing.reason;
        return false;
    }
    if (standing.kind == InstallFileKind::Missing)
        return true;
    if (standing.kind == InstallFileKind::Folder) {
        error = L"cannot remove the stale backup \"" + door.Root() + L"/" + backup + L"\": " + ErrnoText(EISDIR);
        return false;
    }
    std::wstring why;
    if (!door.RemoveFile(backup, why)) {
        error = L"cannot remove the stale backup: " + why;
        return false;
    }
    CountInstallAction();
    door.SyncFolderOf(backup);
    return true;
}

} // namespace

bool MoveToBackup(const PatchStageContext& context, JournalEntry kind, const std::wstring& target,
                  const std::wstring& backup, std::wstring& error)
{
    InDoor t, b;
    if (!Locate(context, target, t, error) || !Locate(context, backup, b, error))
        return false;
    if (!RemoveStaleBackup(*b.door, b.relative, error))
        return false;
    if (context.journal && !context.journal->IsAnnounced(kind, target) && !context.journal->Record(kind, target, error))
        return false;
    // No folder flush here: journalling file systems commit metadata changes in order, so the
    // rename that later puts the new content under target never outlives this one.
    if (!t.door->Rename(t.relative, b.relative, error))
        return false;
    CountInstallAction();
    if (!context.journal)
        t.door->SyncFolderOf(t.relative);
    return true;
}

bool RecordNewFile(const PatchStageContext& context, const std::wstring& target, std::wstring& error)
{
    return !context.journal || context.journal->IsAnnounced(JournalEntry::kNewFile, target) ||
           context.journal->Record(JournalEntry::kNewFile, target, error);
}

bool AnnounceChanges(const PatchStageContext& context, JournalEntry existingKind, bool announceNew,
                     const std::vector<std::wstring>& targets, std::wstring& error)
{
    if (!context.journal)
        return true;
    std::vector<std::pair<JournalEntry, std::wstring>> entries;
    std::vector<std::wstring> newFolders;
    for (const std::wstring& target : targets) {
        InDoor at;
        if (!Locate(context, target, at, error))
            return false;
        const InstallDoor& door = *at.door;
        const InstallFileKind kind = door.Look(at.relative).kind;
        if (kind != InstallFileKind::Missing && kind != InstallFileKind::Folder) {
            std::wstring ignored;  // left for the stage itself, which reports the backup it cannot make
            if (RemoveStaleBackup(door, at.relative + kBackupExt, ignored))
                entries.emplace_back(existingKind, target);
            continue;
        }
        if (!announceNew)
            continue;
        // The folders the file will need, outermost first, each once.
        for (size_t slash = at.relative.find(L'/'); slash != std::wstring::npos;
             slash = at.relative.find(L'/', slash + 1)) {
            const std::wstring level = door.Root() + L"/" + at.relative.substr(0, slash);
            if (std::find(newFolders.begin(), newFolders.end(), level) != newFolders.end() ||
                door.Look(at.relative.substr(0, slash)).kind != InstallFileKind::Missing)
                continue;
            newFolders.push_back(level);
            entries.emplace_back(JournalEntry::kFolder, level);
        }
        entries.emplace_back(JournalEntry::kNewFile, target);
    }
    return context.journal->RecordAll(entries, error);
}

namespace {

// The last step of a replacement written beside its target: renamed over it when everything
// before went well (ok), removed otherwise.
bool RenameReplacementIn(const PatchStageContext& context, const InDoor& tmp, const InDoor& dst, bool ok,
                         std::wstring& error)
{
    if (ok && !tmp.door->Rename(tmp.relative, dst.relative, error))
        ok = false;
    if (!ok) {
        std::wstring ignored;
        tmp.door->RemoveFile(tmp.relative, ignored);
        return false;
    }
    CountInstallAction();
    if (!context.journal)
        dst.door->SyncFolderOf(dst.relative);
    return true;
}

// The owner, group and mode a new file of the installation gets: those of model when it is a
// regular file, else the owner and group of the folder it goes into and the given mode.
void OwnerOf(const InstallDoor& door, const std::wstring& model, const std::wstring& target, mode_t fallbackMode,
             uid_t& uid, gid_t& gid, mode_t& mode)
{
    uid = 0;
    gid = 0;
    mode = fallbackMode;
    const LumoUtil::InstallFile standing = model.empty() ? LumoUtil::InstallFile() : door.Look(model);
    if (standing.kind == InstallFileKind::Regular) {
        uid = standing.owner;
        gid = standing.group;
        mode = standing.mode & 07777;
        return;
    }
    const size_t slash = target.rfind(L'/');
    const LumoUtil::InstallFile folder =
        slash == std::wstring::npos ? LumoUtil::InstallFile() : door.Look(target.substr(0, slash));
    if (slash == std::wstring::npos) {
        struct stat st;
        if (fstat(door.Fd(), &st) == 0) {
            uid = st.st_uid;
            gid = st.st_gid;
        }
    } else if (folder.kind == InstallFileKind::Folder) {
        uid = folder.owner;
        gid = folder.group;
    }
}

} // namespace

bool WriteReplacement(const PatchStageContext& context, const std::wstring& source, const std::wstring& target,
                      const std::wstring& ownerModel, std::wstring& error, const std::function<bool()>& keepGoing)
{
    InDoor dst, tmp, model;
    if (!Locate(context, target, dst, error) || !Locate(context, target + kReplacementExt, tmp, error))
        return false;
    if (!ownerModel.empty() && !Locate(context, ownerModel, model, error))
        return false;
    const std::string src = ToNativePath(source);
    const UniqueFd in(open(src.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.Get() < 0) {
        error = Failure(L"cannot open", src, errno);
        return false;
    }
    struct stat srcStat;
    if (fstat(in.Get(), &srcStat) != 0) {
        error = Failure(L"cannot examine", src, errno);
        return false;
    }
    if (!S_ISREG(srcStat.st_mode)) {
        error = Failure(L"cannot copy", src, S_ISDIR(srcStat.st_mode) ? EISDIR : EINVAL);
        return false;
    }
    // Whatever stands under the replacement's name (a stale one, a planted link) goes first.
    UniqueFd out(tmp.door->CreateOwnFile(tmp.relative, O_WRONLY, 0600, error));
    if (out.Get() < 0)
        return false;
    CountInstallAction();

    int e = 0;
    bool ok = CopyContent(in.Get(), out.Get(), e, keepGoing);
    if (!ok && e == ECANCELED)
        error = L"the copy of " + Quoted(src) + L" to \"" + tmp.path + L"\" was stopped";
    else if (!ok)
        error = L"cannot copy " + Quoted(src) + L" to \"" + tmp.path + L"\": " + ErrnoText(e);

    if (ok) {
        uid_t uid;
        gid_t gid;
        mode_t mode;
        OwnerOf(*dst.door, model.relative, dst.relative, 0644 | ((srcStat.st_mode & 0111) ? 0111 : 0), uid, gid, mode);
        struct stat mine;
        // Only a privileged patcher can give a file away; otherwise the file stays ours.
        if (fstat(out.Get(), &mine) == 0 && (mine.st_uid != uid || mine.st_gid != gid))
            (void)!fchown(out.Get(), uid, gid);
        if (fchmod(out.Get(), mode) != 0) {
            error = L"cannot set the mode of \"" + tmp.path + L"\": " + ErrnoText(errno);
            ok = false;
        }
    }
    if (ok && !context.journal && fsync(out.Get()) != 0) {
        error = L"cannot flush \"" + tmp.path + L"\": " + ErrnoText(errno);
        ok = false;
    }
    const int closed = close(out.Release());
    if (closed != 0 && ok) {
        error = L"cannot write \"" + tmp.path + L"\": " + ErrnoText(errno);
        ok = false;
    }
    return RenameReplacementIn(context, tmp, dst, ok, error);
}

int PrepareReplacement(const PatchStageContext& context, const std::wstring& target, std::wstring& error)
{
    InDoor tmp;
    if (!Locate(context, target + kReplacementExt, tmp, error))
        return -1;
    const int out = tmp.door->CreateOwnFile(tmp.relative, O_RDWR, 0600, error);
    if (out < 0)
        return -1;
    CountInstallAction();
    return out;
}

bool KeepOwnershipOf(int modelFd, int targetFd, const std::wstring& target, std::wstring& error)
{
    struct stat modelStat, targetStat;
    if (fstat(modelFd, &modelStat) != 0 || fstat(targetFd, &targetStat) != 0) {
        error = L"cannot look at \"" + target + L"\" or its backup: " + ErrnoText(errno);
        return false;
    }
    if (modelStat.st_uid != targetStat.st_uid || modelStat.st_gid != targetStat.st_gid)
        (void)!fchown(targetFd, modelStat.st_uid, modelStat.st_gid);
    if (fchmod(targetFd, modelStat.st_mode & 07777) != 0) {
        error = L"cannot set the mode of \"" + target + L"\": " + ErrnoText(errno);
        return false;
    }
    return true;
}

bool KeepOwnership(const PatchStageContext& context, const std::wstring& model, const std::wstring& target,
                   std::wstring& error)
{
    InDoor from, to;
    if (!Locate(context, model, from, error) || !Locate(context, target, to, error))
        return false;
    struct stat targetStat;
    const LumoUtil::InstallFile modelFile = from.door->Look(from.relative);
    if (modelFile.kind == InstallFileKind::Missing || modelFile.kind == InstallFileKind::Unreachable) {
        error = modelFile.kind == InstallFileKind::Unreachable ? modelFile.reason
                                                               : L"cannot look at \"" + from.path + L"\": " + ErrnoText(ENOENT);
        return false;
    }
    const UniqueFd fd(to.door->OpenForReading(to.relative, error, &targetStat));
    if (fd.Get() < 0)
        return false;
    if (modelFile.owner != targetStat.st_uid || modelFile.group != targetStat.st_gid)
        (void)!fchown(fd.Get(), modelFile.owner, modelFile.group);
    if (fchmod(fd.Get(), modelFile.mode & 07777) != 0) {
        error = L"cannot set the mode of \"" + to.path + L"\": " + ErrnoText(errno);
        return false;
    }
    return true;
}

bool MoveReplacementIn(const PatchStageContext& context, const std::wstring& target, std::wstring& error,
                       const LumoUtil::FileIdentity* expected)
{
    InDoor dst, tmp;
    if (!Locate(context, target, dst, error) || !Locate(context, target + kReplacementExt, tmp, error))
        return false;
    bool ok = true;
    struct stat st;
    {
        const UniqueFd fd(tmp.door->OpenForReading(tmp.relative, error, &st));
        if (fd.Get() < 0) {
            ok = false;
        } else if (st.st_nlink > 1) {
            // A second name of another file: moved in, the game file would change with it.
            error = L"\"" + tmp.path + L"\" has more than one name (a hard link), not a file of the patcher's own";
            ok = false;
        } else if (expected && !(LumoUtil::IdentityOf(fd.Get()) == *expected)) {
            // Another file put under the name: its content is not what was checked.
            error = L"\"" + tmp.path + L"\" was replaced by another file while the patch tool wrote it";
            ok = false;
        } else if (!context.journal && fsync(fd.Get()) != 0) {
            error = L"cannot flush \"" + tmp.path + L"\": " + ErrnoText(errno);
            ok = false;
        }
    }
    return RenameReplacementIn(context, tmp, dst, ok, error);
}

bool RestoreBackup(const PatchStageContext& context, const std::wstring& backup, const std::wstring& file,
                   std::wstring& error)
{
    InDoor b, f;
    if (!Locate(context, backup, b, error) || !Locate(context, file, f, error))
        return false;
    const LumoUtil::InstallFile standing = b.door->Look(b.relative);
    if (standing.kind == InstallFileKind::Missing || standing.kind == InstallFileKind::Unreachable) {
        error = standing.kind == InstallFileKind::Unreachable ? standing.reason
                                                              : L"the backup \"" + b.path + L"\" is missing";
        return false;
    }
    if (S_ISLNK(standing.mode) || S_ISDIR(standing.mode)) {
        // Not what the patcher moved there: never put in the file's place.
        error = L"the backup \"" + b.path + L"\" is " + InstallDoor::KindText(standing.mode) +
                L", not the file the patch moved there";
        std::wstring why;
        if (S_ISLNK(standing.mode)) {
            if (b.door->RemoveFile(b.relative, why))
                error += L"; it was removed";
            else
                error += L"; " + why;
        }
        return false;
    }
    if (!b.door->Rename(b.relative, f.relative, error))
        return false;
    CountInstallAction();
    f.door->SyncFolderOf(f.relative);
    return true;
}

bool RemoveInstallFile(const PatchStageContext& context, const std::wstring& path, std::wstring& error)
{
    InDoor at;
    if (!Locate(context, path, at, error))
        return false;
    const LumoUtil::InstallFile standing = at.door->Look(at.relative);
    if (standing.kind == InstallFileKind::Unreachable) {
        error = standing.reason;  // never taken for gone
        return false;
    }
    if (standing.kind == InstallFileKind::Missing)
        return true;
    if (!at.door->RemoveFile(at.relative, error))
        return false;
    CountInstallAction();
    return true;
}

std::vector<RemovalFailure> RemoveInstallFiles(const PatchStageContext& context, const std::vector<std::wstring>& paths)
{
    constexpr size_t kWorkers = 8;
    std::vector<std::wstring> errors(paths.size());
    std::vector<char> failed(paths.size(), 0);
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next++) < paths.size();)
            failed[i] = !RemoveInstallFile(context, paths[i], errors[i]);
    };
    std::vector<std::thread> workers;
    try {
        for (size_t i = 1; i < kWorkers && i * 16 < paths.size(); ++i)
            workers.emplace_back(work);
    } catch (const std::system_error&) {
        // No more threads to be had: the ones running (and this one) do the rest.
    }
    work();
    for (std::thread& worker : workers)
        worker.join();
    std::vector<RemovalFailure> failures;
    for (size_t i = 0; i < paths.size(); ++i)
        if (failed[i])
            failures.push_back({paths[i], errors[i]});
    return failures;
}

namespace {
std::atomic<const std::function<void()>*> g_actionHook{nullptr};
}

void SetInstallActionHook(const std::function<void()>* hook)
{
    g_actionHook = hook;
}

void CountInstallAction()
{
    if (const std::function<void()>* hook = g_actionHook.load())
        (*hook)();
    // Read on every call (a few hundred per patch), so a test's forked child sees its own setting.
    const char* mode = getenv("LUMO_TEST_MODE");
    const char* after = getenv("LUMO_PATCH_KILL_AFTER");
    if (!mode || strcmp(mode, "1") != 0 || !after)
        return;
    const long limit = strtol(after, nullptr, 10);
    static std::atomic<long> count{0};
    if (limit > 0 && ++count >= limit)
        raise(SIGKILL);
}
