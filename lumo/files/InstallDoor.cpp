#include "lumo/files/InstallDoor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <utility>
#include <vector>

#include "lumo/files/InstallFolder.h"
#include "lumo/text/ReservedNames.h"
#include "platform/NativePath.h"

namespace LumoUtil {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows in one lookup

// Closes a descriptor when it goes out of scope.
class OwnedFd
{
public:
    explicit OwnedFd(int fd = -1) : m_fd(fd) {}
    ~OwnedFd() { Reset(); }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    void Reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    int Release() { return std::exchange(m_fd, -1); }
    int Get() const { return m_fd; }

private:
    int m_fd;
};

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

std::vector<std::string> NativeParts(const std::wstring& relative)
{
    std::vector<std::string> parts;
    std::wstring part;
    for (size_t i = 0; i <= relative.size(); ++i) {
        if (i == relative.size() || IsSeparator(relative[i])) {
            if (!part.empty() && part != L".")
                parts.push_back(ToNativePath(part));
            part.clear();
        } else {
            part += relative[i];
        }
    }
    return parts;
}

std::vector<std::string> SplitNative(const std::string& text)
{
    std::vector<std::string> parts;
    std::string part;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '/') {
            if (!part.empty() && part != ".")
                parts.push_back(part);
            part.clear();
        } else {
            part += text[i];
        }
    }
    return parts;
}

std::string JoinNative(const std::vector<std::string>& parts)
{
    std::string joined;
    for (const std::string& part : parts)
        joined += (joined.empty() ? "" : "/") + part;
    return joined;
}

std::wstring LowerAscii(std::wstring text)
{
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z')
            c = c - L'A' + L'a';
    return text;
}

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

// What stands at a name, in the words a user reads.
std::wstring KindText(mode_t mode)
{
    if (S_ISREG(mode))
        return L"a file";
    if (S_ISLNK(mode))
        return L"a symbolic link";
    if (S_ISDIR(mode))
        return L"a folder";
    if (S_ISFIFO(mode))
        return L"a FIFO (named pipe)";
    if (S_ISSOCK(mode))
        return L"a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return L"a device";
    return L"not a regular file";
}

InstallFileKind KindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return InstallFileKind::Regular;
    if (S_ISDIR(mode))
        return InstallFileKind::Folder;
    return InstallFileKind::Other;
}

// The names in folder (a descriptor of any kind) that equal wanted ignoring ASCII case.
bool CaseMatches(int folder, const std::string& wanted, std::vector<std::string>& matches, int& error)
{
    const int listable = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = listable < 0 ? nullptr : ::fdopendir(listable);
    if (listing == nullptr) {
        error = errno;
        if (listable >= 0)
            ::close(listable);
        return false;
    }
    const std::wstring key = LowerAscii(FromNativePath(wanted));
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && LowerAscii(FromNativePath(name)) == key)
            matches.push_back(name);
    }
    ::closedir(listing);
    std::sort(matches.begin(), matches.end());
    return true;
}

// The real path of an open folder, as the kernel names it.
std::string RealPathOf(int fd)
{
    char buffer[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

std::string ReadLinkAt(int folder, const std::string& name)
{
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = ::readlinkat(folder, name.c_str(), target.data(), target.size());
        if (length < 0)
            return std::string();
        if (static_cast<size_t>(length) < target.size()) {
            target.resize(static_cast<size_t>(length));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// fsync of a folder given by an O_PATH descriptor (which cannot be synced itself).
void SyncFolder(int folder)
{
    const int readable = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (readable >= 0) {
        ::fsync(readable);
        ::close(readable);
    }
}

}  // namespace

FileIdentity IdentityOf(int fd)
{
    struct stat info{};
    if (::fstat(fd, &info) != 0)
        return FileIdentity{};
    return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

std::shared_ptr<InstallDoor> InstallDoor::Open(const std::wstring& root, std::wstring& error)
{
    std::wstring folder = root;
    while (folder.size() > 1 && IsSeparator(folder.back()))
        folder.pop_back();
    if (folder.empty()) {
        error = L"no installation folder given";
        return nullptr;
    }
    int fd = InstallLock::ShareHeld(folder);
    if (fd < 0)
        fd = ::open(ToNativePath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = L"The installation folder " + Quoted(folder) + L" cannot be opened: " + ErrnoText(errno);
        return nullptr;
    }
    return std::shared_ptr<InstallDoor>(new InstallDoor(folder, fd));
}

InstallDoor::InstallDoor(std::wstring root, int fd) : m_root(std::move(root)), m_fd(fd) {}

InstallDoor::~InstallDoor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool InstallDoor::Reach(const std::wstring& relative, InstallFile& file, std::wstring& error, NameText text,
                        bool exactSpelling) const
{
    return ReachWith(relative, file, error, text, exactSpelling, true);
}

bool InstallDoor::ReachAny(const std::wstring& relative, InstallFile& file, std::wstring& error, NameText text,
                           bool exactSpelling) const
{
    return ReachWith(relative, file, error, text, exactSpelling, false);
}

bool InstallDoor::ReachWith(const std::wstring& relative, InstallFile& file, std::wstring& error, NameText text,
                            bool exactSpelling, bool refuseReserved) const
{
    if (!IsSafeRelativePath(relative, &error, text))
        return false;
    if (refuseReserved && IsReservedInstallName(relative, &error))
        return false;
    const std::wstring shown = Quoted(relative);

    struct Step
    {
        std::string name;
        bool given;  // from the name asked for (the case rule applies), not from a link's target
    };
    std::deque<Step> todo;
    for (std::string& part : NativeParts(relative))
        todo.push_back(Step{std::move(part), true});

    std::vector<std::string> at;  // the folders and file reached so far, below the root, no link among them
    OwnedFd folder(::fcntl(m_fd, F_DUPFD_CLOEXEC, 0));
    if (folder.Get() < 0) {
        error = L"cannot use the installation folder " + Quoted(m_root) + L": " + ErrnoText(errno);
        return false;
    }
    // Opens the folder that at names, walking from the root without following a link.
    auto reopen = [&]() -> bool {
        std::wstring walkError;
        std::string leaf;
        if (at.empty()) {
            folder.Reset(::fcntl(m_fd, F_DUPFD_CLOEXEC, 0));
            return folder.Get() >= 0;
        }
        const int parent = OpenParent(FromNativePath(JoinNative(at) + "/x"), leaf, walkError);
        if (parent < 0) {
            error = L"path " + shown + L" cannot be resolved: " + walkError;
            return false;
        }
        folder.Reset(parent);
        return true;
    };

    bool existing = true;
    int links = 0;
    struct stat last{};
    bool haveLast = false;  // last holds what the final part of at is
    while (!todo.empty()) {
        Step step = std::move(todo.front());
        todo.pop_front();
        if (step.name == "..") {  // only a link's target holds one: names from outside are checked
            if (at.empty()) {
                error = L"path " + shown + L" leads out of the installation " + Quoted(m_root) +
                        L" through a symbolic link";
                return false;
            }
            at.pop_back();
            haveLast = false;
            if (existing && !reopen())
                return false;
            continue;
        }
        if (!existing) {
            at.push_back(step.name);
            continue;
        }
        struct stat info{};
        if (::fstatat(folder.Get(), step.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                error = L"cannot look at " + Quoted(FromNativePath(JoinNative(at) + "/" + step.name)) + L" in " +
                        Quoted(m_root) + L" while resolving " + shown + L": " + ErrnoText(errno);
                return false;
            }
            std::vector<std::string> matches;
            int listError = 0;
            if (step.given && !exactSpelling && !CaseMatches(folder.Get(), step.name, matches, listError)) {
                error = L"cannot list the folder " + Quoted(m_root + L"/" + FromNativePath(JoinNative(at))) +
                        L" while resolving " + shown + L": " + ErrnoText(listError);
                return false;
            }
            if (matches.size() > 1) {
                error = L"ambiguous path " + shown + L": " + Quoted(FromNativePath(matches[0])) + L" and " +
                        Quoted(FromNativePath(matches[1])) + L" in " +
                        Quoted(m_root + (at.empty() ? L"" : L"/" + FromNativePath(JoinNative(at)))) +
                        L" both match " + Quoted(FromNativePath(step.name));
                return false;
            }
            if (matches.empty() ||
                ::fstatat(folder.Get(), matches[0].c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                existing = false;
                haveLast = false;
                at.push_back(step.name);
                continue;
            }
            step.name = matches[0];
        }
        if (S_ISLNK(info.st_mode)) {
            if (++links > kMaxLinks) {
                error = L"path " + shown + L" in " + Quoted(m_root) + L" runs through more than " +
                        std::to_wstring(kMaxLinks) + L" symbolic links";
                return false;
            }
            const std::string target = ReadLinkAt(folder.Get(), step.name);
            if (target.empty()) {
                error = L"cannot read the symbolic link " +
                        Quoted(m_root + L"/" + FromNativePath(JoinNative(at) + (at.empty() ? "" : "/") + step.name)) +
                        L": " + ErrnoText(errno);
                return false;
            }
            std::vector<std::string> targetParts = SplitNative(target);
            if (target.front() == '/') {
                const std::string realRoot = RealPathOf(m_fd);
                const std::vector<std::string> rootParts = SplitNative(realRoot);
                if (realRoot.empty() || targetParts.size() < rootParts.size() ||
                    !std::equal(rootParts.begin(), rootParts.end(), targetParts.begin())) {
                    error = L"path " + shown + L" leads out of the installation " + Quoted(m_root) +
                            L" through a symbolic link (to " + Quoted(FromNativePath(target)) + L")";
                    return false;
                }
                targetParts.erase(targetParts.begin(), targetParts.begin() + static_cast<long>(rootParts.size()));
                at.clear();
                if (!reopen())
                    return false;
            }
            for (auto part = targetParts.rbegin(); part != targetParts.rend(); ++part)
                todo.push_front(Step{*part, false});
            haveLast = false;
            continue;
        }
        at.push_back(step.name);
        last = info;
        haveLast = true;
        if (todo.empty())
            break;
        if (!S_ISDIR(info.st_mode)) {
            if (exactSpelling) {  // nothing can exist below a file: the rest is missing
                existing = false;
                haveLast = false;
                continue;
            }
            error = L"path " + shown + L": " + Quoted(m_root + L"/" + FromNativePath(JoinNative(at))) +
                    L" is not a folder";
            return false;
        }
        const int below = ::openat(folder.Get(), step.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (below < 0) {
            error = L"cannot open the folder " + Quoted(m_root + L"/" + FromNativePath(JoinNative(at))) +
                    L" while resolving " + shown + L": " + ErrnoText(errno);
            return false;
        }
        folder.Reset(below);
    }
    if (at.empty()) {
        error = L"path " + shown + L" names the installation folder " + Quoted(m_root) + L" itself";
        return false;
    }
    file = InstallFile{};
    file.relative = FromNativePath(JoinNative(at));
    file.path = m_root + L"/" + file.relative;
    if (existing && haveLast) {
        file.kind = KindOf(last.st_mode);
        file.identity = FileIdentity{static_cast<uint64_t>(last.st_dev), static_cast<uint64_t>(last.st_ino)};
        file.size = S_ISREG(last.st_mode) ? static_cast<uint64_t>(last.st_size) : 0;
        file.links = static_cast<uint64_t>(last.st_nlink);
    }
    if (refuseReserved && IsReservedInstallName(file.relative, &error)) {
        error = L"path " + shown + L" reaches " + Quoted(file.relative) + L" through a symbolic link: " + error;
        return false;
    }
    return true;
}

int InstallDoor::OpenParent(const std::wstring& relative, std::string& leaf, std::wstring& error) const
{
    std::vector<std::string> parts = NativeParts(relative);
    if (parts.empty()) {
        error = L"no file named below the installation " + Quoted(m_root);
        return -1;
    }
    leaf = parts.back();
    parts.pop_back();
    OwnedFd folder(::fcntl(m_fd, F_DUPFD_CLOEXEC, 0));
    std::string walked;
    for (const std::string& part : parts) {
        walked += (walked.empty() ? "" : "/") + part;
        const int below = ::openat(folder.Get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (below < 0) {
            const int e = errno;
            const std::wstring where = Quoted(m_root + L"/" + FromNativePath(walked));
            struct stat info{};
            if ((e == ENOTDIR || e == ELOOP) && ::fstatat(folder.Get(), part.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
                error = where + L" is " + KindText(info.st_mode) + L", not a folder";
            else
                error = L"cannot open the folder " + where + L": " + ErrnoText(e);
            return -1;
        }
        folder.Reset(below);
    }
    return folder.Release();
}

InstallFile InstallDoor::Look(const std::wstring& relative) const
{
    InstallFile file;
    file.relative = relative;
    file.path = m_root + L"/" + relative;
    std::string leaf;
    std::wstring error;
    const OwnedFd parent(OpenParent(relative, leaf, error));
    struct stat info{};
    if (parent.Get() < 0 || ::fstatat(parent.Get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return file;
    file.kind = KindOf(info.st_mode);
    file.identity = FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    file.size = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
    file.links = static_cast<uint64_t>(info.st_nlink);
    return file;
}

int InstallDoor::OpenOwnFileForReading(const std::wstring& relative, bool& present, std::wstring& error) const
{
    present = false;
    const std::wstring where = Quoted(m_root + L"/" + relative);
    std::string leaf;
    const OwnedFd parent(OpenParent(relative, leaf, error));
    if (parent.Get() < 0) {
        error = L"cannot reach " + where + L": " + error;
        return -1;
    }
    // Non-blocking, so a FIFO standing there cannot hold the run; a link is not followed.
    OwnedFd fd(::openat(parent.Get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0) {
        const int e = errno;
        if (e == ENOENT)
            return -1;
        struct stat info{};
        present = true;
        if (::fstatat(parent.Get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode))
            error = where + L" is " + KindText(info.st_mode) +
                    L", where the patcher keeps a file of its own; the patcher did not make it. Delete it and "
                    L"start again.";
        else
            error = L"cannot open " + where + L": " + ErrnoText(e);
        return -1;
    }
    present = true;
    struct stat info{};
    if (::fstat(fd.Get(), &info) != 0) {
        error = L"cannot look at " + where + L": " + ErrnoText(errno);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        error = where + L" is " + KindText(info.st_mode) +
                L", where the patcher keeps a file of its own; the patcher did not make it. Delete it and start "
                L"again.";
        return -1;
    }
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags >= 0)
        ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd.Release();
}

bool InstallDoor::ReadOwnFile(const std::wstring& relative, std::string& bytes, bool& present,
                              std::wstring& error) const
{
    bytes.clear();
    error.clear();
    const OwnedFd fd(OpenOwnFileForReading(relative, present, error));
    if (fd.Get() < 0)
        return !present && error.empty();
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = L"cannot read " + Quoted(m_root + L"/" + relative) + L": " + ErrnoText(errno);
            return false;
        }
        if (got == 0)
            return true;
        bytes.append(buffer, static_cast<size_t>(got));
    }
}

int InstallDoor::CreateOwnFile(const std::wstring& relative, int flags, mode_t mode, std::wstring& error) const
{
    const std::wstring where = Quoted(m_root + L"/" + relative);
    std::string leaf;
    const OwnedFd parent(OpenParent(relative, leaf, error));
    if (parent.Get() < 0) {
        error = L"cannot create " + where + L": " + error;
        return -1;
    }
    if (::unlinkat(parent.Get(), leaf.c_str(), 0) != 0 && errno != ENOENT) {
        const int e = errno;
        if (e != EISDIR || ::unlinkat(parent.Get(), leaf.c_str(), AT_REMOVEDIR) != 0) {
            error = e == EISDIR ? where + L" is a folder with something in it, where the patcher keeps a file of "
                                          L"its own; the patcher did not make it. Delete it and start again."
                                : L"cannot remove what stands at " + where + L": " + ErrnoText(e);
            return -1;
        }
    }
    const int fd = ::openat(parent.Get(), leaf.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        error = L"cannot create " + where + L": " + ErrnoText(errno);
    return fd;
}

bool InstallDoor::ReplaceOwnFile(const std::wstring& relative, const std::wstring& temporary, const std::string& bytes,
                                 std::wstring& error) const
{
    OwnedFd fd(CreateOwnFile(temporary, O_WRONLY, 0644, error));
    if (fd.Get() < 0)
        return false;
    const std::wstring where = Quoted(m_root + L"/" + temporary);
    std::wstring ignored;
    if (!WriteAll(fd.Get(), bytes.data(), bytes.size()) || ::fsync(fd.Get()) != 0 || ::close(fd.Release()) != 0) {
        error = L"cannot write " + where + L": " + ErrnoText(errno);
        RemoveFile(temporary, ignored);
        return false;
    }
    if (!Rename(temporary, relative, error)) {
        // An empty folder standing in the file's place goes, as CreateOwnFile removes one; a
        // folder with something in it stays and is named.
        std::string leaf;
        const OwnedFd parent(OpenParent(relative, leaf, ignored));
        const bool folderGone = parent.Get() >= 0 && Look(relative).kind == InstallFileKind::Folder &&
                                ::unlinkat(parent.Get(), leaf.c_str(), AT_REMOVEDIR) == 0;
        if (!folderGone || !Rename(temporary, relative, error)) {
            if (!folderGone && Look(relative).kind == InstallFileKind::Folder)
                error = Quoted(m_root + L"/" + relative) +
                        L" is a folder with something in it, where the patcher keeps a file of its own; the patcher "
                        L"did not make it. Delete it and start again.";
            RemoveFile(temporary, ignored);
            return false;
        }
    }
    std::string leaf;
    const OwnedFd parent(OpenParent(relative, leaf, ignored));
    if (parent.Get() >= 0)
        SyncFolder(parent.Get());
    return true;
}

bool InstallDoor::RemoveFile(const std::wstring& relative, std::wstring& error) const
{
    const std::wstring where = Quoted(m_root + L"/" + relative);
    std::string leaf;
    const OwnedFd parent(OpenParent(relative, leaf, error));
    if (parent.Get() < 0) {
        error = L"cannot remove " + where + L": " + error;
        return false;
    }
    if (::unlinkat(parent.Get(), leaf.c_str(), 0) == 0 || errno == ENOENT)
        return true;
    const int e = errno;
    error = e == EISDIR ? where + L" is a folder, not a file: it was left as it is"
                        : L"cannot remove " + where + L": " + ErrnoText(e);
    return false;
}

bool InstallDoor::Rename(const std::wstring& from, const std::wstring& to, std::wstring& error) const
{
    std::string fromLeaf, toLeaf;
    const OwnedFd fromParent(OpenParent(from, fromLeaf, error));
    if (fromParent.Get() < 0)
        return false;
    const OwnedFd toParent(OpenParent(to, toLeaf, error));
    if (toParent.Get() < 0)
        return false;
    if (::renameat(fromParent.Get(), fromLeaf.c_str(), toParent.Get(), toLeaf.c_str()) != 0) {
        error = L"cannot rename " + Quoted(m_root + L"/" + from) + L" to " + Quoted(m_root + L"/" + to) + L": " +
                ErrnoText(errno);
        return false;
    }
    return true;
}

int InstallDoor::OpenForWriteInPlace(const std::wstring& relative, bool create, std::wstring& error) const
{
    const std::wstring where = Quoted(m_root + L"/" + relative);
    std::string leaf;
    const OwnedFd parent(OpenParent(relative, leaf, error));
    if (parent.Get() < 0) {
        error = L"cannot open " + where + L": " + error;
        return -1;
    }
    const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        OwnedFd fd(::openat(parent.Get(), leaf.c_str(), flags, 0644));
        struct stat info{};
        if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0) {
            const int e = errno;
            struct stat standing{};
            if (::fstatat(parent.Get(), leaf.c_str(), &standing, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(standing.st_mode))
                error = where + L" is " + KindText(standing.st_mode) + L", not a file: it was left as it is";
            else
                error = L"cannot open " + where + L" for writing: " + ErrnoText(e);
            return -1;
        }
        if (!S_ISREG(info.st_mode)) {
            error = where + L" is " + KindText(info.st_mode) + L", not a file: it was left as it is";
            return -1;
        }
        if (info.st_nlink <= 1) {
            const int kept = ::fcntl(fd.Get(), F_GETFL);
            if (kept >= 0)
                ::fcntl(fd.Get(), F_SETFL, kept & ~O_NONBLOCK);
            return fd.Release();
        }
        fd.Reset();
        if (attempt > 0 || !GiveOwnCopy(parent.Get(), leaf, relative, error))
            break;
    }
    if (error.empty())
        error = where + L" still has more than one name after it was given a copy of its own";
    return -1;
}

bool InstallDoor::MakeFolders(const std::wstring& relative, std::wstring& error) const
{
    OwnedFd folder(::fcntl(m_fd, F_DUPFD_CLOEXEC, 0));
    std::string walked;
    for (const std::string& part : NativeParts(relative)) {
        walked += (walked.empty() ? "" : "/") + part;
        const std::wstring where = Quoted(m_root + L"/" + FromNativePath(walked));
        int below = ::openat(folder.Get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (below < 0 && errno == ENOENT) {
            // Made by somebody else meanwhile is as good as made here.
            if (::mkdirat(folder.Get(), part.c_str(), 0777) != 0 && errno != EEXIST) {
                const int e = errno;
                error = L"cannot make the folder " + where + L": " + ErrnoText(e);
                errno = e;
                return false;
            }
            below = ::openat(folder.Get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (below < 0) {
            const int e = errno;
            struct stat info{};
            if ((e == ENOTDIR || e == ELOOP) && ::fstatat(folder.Get(), part.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
                error = where + L" is " + KindText(info.st_mode) + L", not a folder";
            else
                error = L"cannot open the folder " + where + L": " + ErrnoText(e);
            errno = e;
            return false;
        }
        folder.Reset(below);
    }
    return true;
}

bool InstallDoor::GiveOwnCopy(int folder, const std::string& leaf, const std::wstring& relative,
                              std::wstring& error) const
{
    const std::wstring where = Quoted(m_root + L"/" + relative);
    const OwnedFd source(::openat(folder, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info{};
    if (source.Get() < 0 || ::fstat(source.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = L"cannot copy " + where + L", which has more than one name, to a name of its own: " + ErrnoText(errno);
        return false;
    }
    // Beside it under the name of a replacement, which the patcher keeps for itself.
    const std::string copyLeaf = leaf + ToNativePath(kReplacementExt);
    const std::wstring copyRelative = relative + kReplacementExt;
    OwnedFd copy(CreateOwnFile(copyRelative, O_WRONLY, info.st_mode & 07777, error));
    if (copy.Get() < 0)
        return false;
    bool copied = true;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(source.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            copied = got == 0;
            break;
        }
        if (!WriteAll(copy.Get(), buffer, static_cast<size_t>(got))) {
            copied = false;
            break;
        }
    }
    if (copied) {
        if (::fchown(copy.Get(), info.st_uid, info.st_gid) != 0) {
            // Only a privileged process may give a file away; the copy stays this user's.
        }
        ::fchmod(copy.Get(), info.st_mode & 07777);
        copied = ::fsync(copy.Get()) == 0;
    }
    const int copyError = errno;
    if (!copied || ::close(copy.Release()) != 0 || ::renameat(folder, copyLeaf.c_str(), folder, leaf.c_str()) != 0) {
        error = L"cannot give " + where + L", which has more than one name, a copy of its own: " +
                ErrnoText(copied ? errno : copyError);
        ::unlinkat(folder, copyLeaf.c_str(), 0);
        return false;
    }
    SyncFolder(folder);
    return true;
}

bool InstallDoor::Sync(std::wstring& error) const
{
    if (::syncfs(m_fd) == 0)
        return true;
    error = L"cannot flush the installation " + Quoted(m_root) + L" to the disk: " + ErrnoText(errno);
    return false;
}

}  // namespace LumoUtil
