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

std::string ParentOf(const std::string& native)
{
    const size_t slash = native.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : native.substr(0, slash);
}

std::wstring Quoted(const std::string& native) { return L"\"" + FromNativePath(native) + L"\""; }

std::wstring Failure(const wchar_t* what, const std::string& native, int error)
{
    return std::wstring(what) + L" " + Quoted(native) + L": " + ErrnoText(error);
}

void SyncFolder(const std::string& folder)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Copies the rest of in to out, in the kernel where the file systems allow it.
bool CopyContent(int in, int out, int& error)
{
    bool kernelCopy = true;
    for (;;) {
        if (kernelCopy) {
            const ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
            if (n > 0)
                continue;
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
    }
}

} // namespace

bool IsFilePresent(const std::wstring& path)
{
    struct stat st;
    return lstat(ToNativePath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool IsFolderPresent(const std::wstring& path)
{
    struct stat st;
    return lstat(ToNativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ResolvePatchTarget(const std::wstring& installDir, const std::wstring& relative, std::wstring& target,
                        std::wstring& error)
{
    LumoUtil::InstallPathResolver resolver(installDir);
    return ResolvePatchTarget(resolver, relative, target, error);
}

bool ResolvePatchTarget(LumoUtil::InstallPathResolver& resolver, const std::wstring& relative, std::wstring& target,
                        std::wstring& error)
{
    std::wstring reached;
    if (!resolver.Resolve(relative, target, error, &reached))
        return false;
    if (LumoUtil::IsReservedInstallName(relative, &error) || LumoUtil::IsReservedInstallName(reached, &error))
        return false;
    if (IsFolderPresent(target)) {
        error = L"path \"" + relative + L"\" names the folder \"" + target + L"\", not a file";
        return false;
    }
    return true;
}

bool FindFixedName(const std::wstring& folder, const std::wstring& relative, std::wstring& path, std::wstring& error)
{
    const std::string exact = ToNativePath(TrimmedFolder(folder) + (folder == L"/" ? L"" : L"/") + relative);
    struct stat st;
    if (lstat(exact.c_str(), &st) == 0) {
        path = FromNativePath(exact);
        return true;
    }
    return LumoUtil::ResolveInstallPath(folder, relative, path, error);
}

bool ResolveStageTarget(const PatchStageContext& context, const std::wstring& relative, std::wstring& target,
                        std::wstring& error)
{
    if (context.resolvedTargets) {
        const auto it = context.resolvedTargets->find(relative);
        if (it != context.resolvedTargets->end()) {
            const std::string native = ToNativePath(it->second);
            struct stat st;
            if (lstat(ParentOf(native).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                if (IsFolderPresent(it->second)) {
                    error = L"path \"" + relative + L"\" names the folder \"" + it->second + L"\", not a file";
                    return false;
                }
                target = it->second;
                return true;
            }
        }
    }
    return ResolvePatchTarget(context.installDir, relative, target, error);
}

bool CreateFolderChain(const PatchStageContext& context, const std::wstring& folder, std::wstring& error)
{
    const std::string root = ToNativePath(TrimmedFolder(context.installDir));
    const std::string full = ToNativePath(TrimmedFolder(folder));
    const std::string prefix = root == "/" ? root : root + "/";
    if (full.compare(0, prefix.size(), prefix) != 0 && full != root) {
        error = L"the folder " + Quoted(full) + L" is not inside the installation " + Quoted(root);
        return false;
    }
    size_t next = prefix.size();
    while (next <= full.size()) {
        size_t end = full.find('/', next);
        if (end == std::string::npos)
            end = full.size();
        const std::string level = full.substr(0, end);
        next = end + 1;
        if (level.size() <= root.size())
            continue;
        struct stat st;
        if (lstat(level.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode))
                continue;
            error = Failure(L"cannot create the folder", level, ENOTDIR);
            return false;
        }
        const std::wstring wideLevel = FromNativePath(level);
        if (context.journal && !context.journal->IsAnnounced(JournalEntry::kFolder, wideLevel) &&
            !context.journal->Record(JournalEntry::kFolder, wideLevel, error))
            return false;
        if (mkdir(level.c_str(), 0777) != 0) {
            const int e = errno;
            if (!(e == EEXIST && lstat(level.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
                error = Failure(L"cannot create the folder", level, e);
                return false;
            }
            continue;
        }
        CountInstallAction();
        // A folder made by a privileged patcher belongs to whoever owns the folder above it.
        struct stat parent;
        if (stat(ParentOf(level).c_str(), &parent) == 0 && lstat(level.c_str(), &st) == 0 &&
            (parent.st_uid != st.st_uid || parent.st_gid != st.st_gid))
            (void)!lchown(level.c_str(), parent.st_uid, parent.st_gid);
    }
    return true;
}

bool MoveToBackup(const PatchStageContext& context, JournalEntry kind, const std::wstring& target,
                  const std::wstring& backup, std::wstring& error)
{
    const std::string t = ToNativePath(target);
    const std::string b = ToNativePath(backup);
    struct stat st;
    if (lstat(b.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode) || unlink(b.c_str()) != 0) {
            error = Failure(L"cannot remove the stale backup", b, S_ISDIR(st.st_mode) ? EISDIR : errno);
            return false;
        }
        CountInstallAction();
        SyncFolder(ParentOf(b));
    } else if (errno != ENOENT) {
        error = Failure(L"cannot examine the backup", b, errno);
        return false;
    }
    if (context.journal && !context.journal->IsAnnounced(kind, target) && !context.journal->Record(kind, target, error))
        return false;
    // No folder flush here: journalling file systems commit metadata changes in order, so the
    // rename that later puts the new content under target never outlives this one.
    if (rename(t.c_str(), b.c_str()) != 0) {
        error = Failure(L"cannot move the file", t, errno) + L" to " + Quoted(b);
        return false;
    }
    CountInstallAction();
    if (!context.journal)
        SyncFolder(ParentOf(t));
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
    const std::string root = ToNativePath(TrimmedFolder(context.installDir));
    std::vector<std::pair<JournalEntry, std::wstring>> entries;
    std::vector<std::string> newFolders;
    for (const std::wstring& target : targets) {
        if (IsFilePresent(target)) {
            const std::string backup = ToNativePath(target + kBackupExt);
            struct stat st;
            if (lstat(backup.c_str(), &st) == 0) {
                // Left for the stage itself, which reports the backup it cannot make.
                if (S_ISDIR(st.st_mode) || unlink(backup.c_str()) != 0)
                    continue;
                CountInstallAction();
            }
            entries.emplace_back(existingKind, target);
            continue;
        }
        if (!announceNew)
            continue;
        // The folders the file will need, outermost first, each once.
        const std::string native = ToNativePath(target);
        for (size_t slash = native.find('/', root.size() + 1); slash != std::string::npos;
             slash = native.find('/', slash + 1)) {
            const std::string level = native.substr(0, slash);
            struct stat st;
            if (lstat(level.c_str(), &st) == 0 ||
                std::find(newFolders.begin(), newFolders.end(), level) != newFolders.end())
                continue;
            newFolders.push_back(level);
            entries.emplace_back(JournalEntry::kFolder, FromNativePath(level));
        }
        entries.emplace_back(JournalEntry::kNewFile, target);
    }
    return context.journal->RecordAll(entries, error);
}

namespace {

// The last step of a replacement written beside its target: renamed over it when everything
// before went well (ok), removed otherwise.
bool RenameReplacementIn(const PatchStageContext& context, const std::string& tmp, const std::string& dst, bool ok,
                         std::wstring& error)
{
    if (ok && rename(tmp.c_str(), dst.c_str()) != 0) {
        error = Failure(L"cannot move", tmp, errno) + L" to " + Quoted(dst);
        ok = false;
    }
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }
    CountInstallAction();
    if (!context.journal)
        SyncFolder(ParentOf(dst));
    return true;
}

} // namespace

bool WriteReplacement(const PatchStageContext& context, const std::wstring& source, const std::wstring& target,
                      const std::wstring& ownerModel, std::wstring& error)
{
    const std::string src = ToNativePath(source);
    const std::string dst = ToNativePath(target);
    const std::string tmp = ToNativePath(target + kReplacementExt);
    const int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        error = Failure(L"cannot open", src, errno);
        return false;
    }
    struct stat srcStat;
    if (fstat(in, &srcStat) != 0) {
        error = Failure(L"cannot examine", src, errno);
        close(in);
        return false;
    }
    if (!S_ISREG(srcStat.st_mode)) {
        error = Failure(L"cannot copy", src, S_ISDIR(srcStat.st_mode) ? EISDIR : EINVAL);
        close(in);
        return false;
    }
    if (unlink(tmp.c_str()) == 0)
        CountInstallAction();
    const int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        error = Failure(L"cannot create", tmp, errno);
        close(in);
        return false;
    }
    CountInstallAction();

    int e = 0;
    bool ok = CopyContent(in, out, e);
    close(in);
    if (!ok)
        error = L"cannot copy " + Quoted(src) + L" to " + Quoted(tmp) + L": " + ErrnoText(e);

    if (ok) {
        uid_t uid = 0;
        gid_t gid = 0;
        mode_t mode = 0644 | ((srcStat.st_mode & 0111) ? 0111 : 0);
        struct stat model, mine;
        if (!ownerModel.empty() && lstat(ToNativePath(ownerModel).c_str(), &model) == 0 && S_ISREG(model.st_mode)) {
            uid = model.st_uid;
            gid = model.st_gid;
            mode = model.st_mode & 07777;
        } else if (stat(ParentOf(dst).c_str(), &model) == 0) {
            uid = model.st_uid;
            gid = model.st_gid;
        }
        // Only a privileged patcher can give a file away; otherwise the file stays ours.
        if (fstat(out, &mine) == 0 && (mine.st_uid != uid || mine.st_gid != gid))
            (void)!fchown(out, uid, gid);
        if (fchmod(out, mode) != 0) {
            error = Failure(L"cannot set the mode of", tmp, errno);
            ok = false;
        }
    }
    if (ok && !context.journal && fsync(out) != 0) {
        error = Failure(L"cannot flush", tmp, errno);
        ok = false;
    }
    if (close(out) != 0 && ok) {
        error = Failure(L"cannot write", tmp, errno);
        ok = false;
    }
    return RenameReplacementIn(context, tmp, dst, ok, error);
}

bool KeepOwnership(const std::wstring& model, const std::wstring& target)
{
    struct stat from, to;
    const std::string t = ToNativePath(target);
    if (lstat(ToNativePath(model).c_str(), &from) != 0 || lstat(t.c_str(), &to) != 0 || !S_ISREG(to.st_mode))
        return false;
    if (from.st_uid != to.st_uid || from.st_gid != to.st_gid)
        (void)!chown(t.c_str(), from.st_uid, from.st_gid);
    return chmod(t.c_str(), from.st_mode & 07777) == 0;
}

bool MoveReplacementIn(const PatchStageContext& context, const std::wstring& target, std::wstring& error)
{
    const std::string dst = ToNativePath(target);
    const std::string tmp = ToNativePath(target + kReplacementExt);
    bool ok = true;
    if (!context.journal) {
        const int fd = open(tmp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 || fsync(fd) != 0) {
            error = Failure(L"cannot flush", tmp, errno);
            ok = false;
        }
        if (fd >= 0)
            close(fd);
    }
    return RenameReplacementIn(context, tmp, dst, ok, error);
}

bool RestoreBackup(const std::wstring& backup, const std::wstring& file)
{
    const std::string f = ToNativePath(file);
    if (rename(ToNativePath(backup).c_str(), f.c_str()) != 0)
        return false;
    CountInstallAction();
    SyncFolder(ParentOf(f));
    return true;
}

bool RemoveInstallFile(const std::wstring& path)
{
    const std::string p = ToNativePath(path);
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode) || unlink(p.c_str()) != 0)
        return false;
    CountInstallAction();
    return true;
}

void RemoveInstallFiles(const std::vector<std::wstring>& paths)
{
    constexpr size_t kWorkers = 8;
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next++) < paths.size();)
            RemoveInstallFile(paths[i]);
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
}

void CountInstallAction()
{
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
