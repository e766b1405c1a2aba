#include "lumo/files/InstallDoor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lumo/files/InstallFolder.h"
#include "lumo/files/UniqueFd.h"
#include "lumo/text/ReservedNames.h"
#include "platform/NativePath.h"

namespace LumoUtil {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows in one lookup

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

}  // namespace

// What stands at a name, in the words a user reads.
std::wstring InstallDoor::KindText(mode_t mode)
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

namespace {

InstallFileKind KindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return InstallFileKind::Regular;
    if (S_ISDIR(mode))
        return InstallFileKind::Folder;
    return InstallFileKind::Other;
}

// A folder that was removed (it has no name left); a folder moved elsewhere is still there.
bool IsRemoved(int folder)
{
    struct stat info{};
    return ::fstat(folder, &info) == 0 && info.st_nlink == 0;
}

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

// A folder the door reached, kept open for as long as the door or a handle needs it. Its names
// are listed at most once for the case rule, and listed again only when the folder changed
// by other means than the door's own work (its modification or change time moved).
struct HeldFolder
{
    int fd = -1;           // O_PATH | O_DIRECTORY
    std::string relative;  // link-free, "/" between parts; empty for the installation folder

    std::mutex namesMutex;
    bool listed = false;
    timespec modified{};
    timespec changed{};
    std::unordered_map<std::wstring, std::vector<std::string>> byKey;  // ASCII-lower-cased name -> names

    ~HeldFolder()
    {
        if (fd >= 0)
            ::close(fd);
    }

    static std::wstring Key(const std::string& name) { return LowerAscii(FromNativePath(name)); }

    // The names that equal wanted ignoring ASCII case, sorted.
    bool CaseMatches(const std::string& wanted, std::vector<std::string>& matches, int& error)
    {
        std::lock_guard<std::mutex> hold(namesMutex);
        struct stat now{};
        if (::fstat(fd, &now) != 0) {
            error = errno;
            return false;
        }
        if (!listed || !SameTime(now.st_mtim, modified) || !SameTime(now.st_ctim, changed)) {
            // The times are taken before the listing: a change made while it runs lists again.
            if (!List(error))
                return false;
            modified = now.st_mtim;
            changed = now.st_ctim;
        }
        const auto found = byKey.find(Key(wanted));
        if (found != byKey.end())
            matches = found->second;
        std::sort(matches.begin(), matches.end());
        return true;
    }

    // Keeps the names true after the door itself added or removed name here; before holds the
    // folder's times from just before that change (Stamp()), so a change by anybody else in
    // between still makes the next look list the folder again.
    void Noted(const std::string& name, bool added, const std::pair<timespec, timespec>& before)
    {
        std::lock_guard<std::mutex> hold(namesMutex);
        if (!listed)
            return;
        struct stat now{};
        if (!SameTime(before.first, modified) || !SameTime(before.second, changed) || ::fstat(fd, &now) != 0) {
            listed = false;
            return;
        }
        std::vector<std::string>& names = byKey[Key(name)];
        names.erase(std::remove(names.begin(), names.end(), name), names.end());
        if (added)
            names.push_back(name);
        modified = now.st_mtim;
        changed = now.st_ctim;
    }

    std::pair<timespec, timespec> Stamp()
    {
        struct stat now{};
        if (::fstat(fd, &now) != 0)
            return {};
        return {now.st_mtim, now.st_ctim};
    }

private:
    bool List(int& error)
    {
        const int listable = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* listing = listable < 0 ? nullptr : ::fdopendir(listable);
        if (listing == nullptr) {
            error = errno;
            if (listable >= 0)
                ::close(listable);
            listed = false;
            return false;
        }
        byKey.clear();
        while (const dirent* entry = ::readdir(listing)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                byKey[Key(name)].push_back(name);
        }
        ::closedir(listing);
        listed = true;
        return true;
    }
};

int InstallHandle::Folder() const { return m_folder ? m_folder->fd : -1; }

struct HeldFolders
{
    std::mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<HeldFolder>> folders;  // by link-free relative name
};

namespace {

// Notes a change of one name in a held folder once it is made.
class NameChange
{
public:
    explicit NameChange(const std::shared_ptr<HeldFolder>& folder) : m_folder(folder), m_before(folder->Stamp()) {}
    void Added(const std::string& name) { m_folder->Noted(name, true, m_before); }
    void Removed(const std::string& name) { m_folder->Noted(name, false, m_before); }

private:
    std::shared_ptr<HeldFolder> m_folder;
    std::pair<timespec, timespec> m_before;
};

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
// Returns 0, or the error number of what failed.
int SyncFolder(int folder)
{
    const int readable = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (readable < 0)
        return errno;
    const int synced = ::fsync(readable) == 0 ? 0 : errno;
    ::close(readable);
    return synced;
}

}  // namespace

FileIdentity IdentityOf(int fd)
{
    struct stat info{};
    if (::fstat(fd, &info) != 0)
        return FileIdentity{};
    return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

namespace {

// The folders a take holds, beginning with the installation folder (given open as fd).
std::shared_ptr<HeldFolders> HoldingFoldersOf(int fd)
{
    auto top = std::make_shared<HeldFolder>();
    top->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (top->fd < 0)
        return nullptr;
    auto held = std::make_shared<HeldFolders>();
    held->folders.emplace(std::string(), std::move(top));
    return held;
}

}  // namespace

std::shared_ptr<InstallDoor> InstallDoor::Open(const std::wstring& root, std::wstring& error)
{
    std::wstring folder = root;
    while (folder.size() > 1 && IsSeparator(folder.back()))
        folder.pop_back();
    if (folder.empty()) {
        error = L"no installation folder given";
        return nullptr;
    }
    // The door of this process's take, or one that shares what it holds when named otherwise.
    if (const std::shared_ptr<InstallDoor> held = InstallLock::HeldDoor(folder)) {
        if (held->Root() == folder)
            return held;
        const int fd = ::fcntl(held->m_fd, F_DUPFD_CLOEXEC, 0);
        if (fd >= 0)
            return std::shared_ptr<InstallDoor>(new InstallDoor(folder, fd, held->m_held));
    }
    return OnFolder(folder, ::open(ToNativePath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), error);
}

std::shared_ptr<InstallDoor> InstallDoor::OnFolder(const std::wstring& root, int fd, std::wstring& error)
{
    std::shared_ptr<HeldFolders> held = fd < 0 ? nullptr : HoldingFoldersOf(fd);
    if (!held) {
        error = L"The installation folder " + Quoted(root) + L" cannot be opened: " + ErrnoText(errno);
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<InstallDoor>(new InstallDoor(root, fd, std::move(held)));
}

InstallDoor::InstallDoor(std::wstring root, int fd, std::shared_ptr<HeldFolders> held)
    : m_root(std::move(root)), m_prefix(m_root == L"/" ? m_root : m_root + L"/"), m_fd(fd), m_held(std::move(held))
{
}

std::shared_ptr<HeldFolder> InstallDoor::HoldBelow(const std::shared_ptr<HeldFolder>& folder, const std::string& name,
                                                   int& why) const
{
    const std::string relative = folder->relative.empty() ? name : folder->relative + "/" + name;
    if (std::shared_ptr<HeldFolder> held = Held(relative))
        return held;
    std::lock_guard<std::mutex> hold(m_held->mutex);
    const auto found = m_held->folders.find(relative);  // held by another thread meanwhile
    if (found != m_held->folders.end())
        return found->second;
    int fd = ::openat(folder->fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
        // Out of descriptors: let go of the folders nothing uses now (no handle, no walk).
        for (auto it = m_held->folders.begin(); it != m_held->folders.end();)
            it = !it->first.empty() && it->second.use_count() == 1 ? m_held->folders.erase(it) : std::next(it);
        fd = ::openat(folder->fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
        why = errno;
        return nullptr;
    }
    auto below = std::make_shared<HeldFolder>();
    below->fd = fd;
    below->relative = relative;
    m_held->folders.emplace(relative, below);
    return below;
}

std::shared_ptr<HeldFolder> InstallDoor::Held(const std::string& relative) const
{
    std::shared_ptr<HeldFolder> held;
    {
        std::lock_guard<std::mutex> hold(m_held->mutex);
        const auto found = m_held->folders.find(relative);
        if (found == m_held->folders.end())
            return nullptr;
        held = found->second;
    }
    if (relative.empty() || !IsRemoved(held->fd))
        return held;
    // Removed since: its name may hold a new folder.
    std::lock_guard<std::mutex> hold(m_held->mutex);
    const auto found = m_held->folders.find(relative);
    if (found != m_held->folders.end() && found->second == held)
        m_held->folders.erase(found);
    return nullptr;
}

std::shared_ptr<HeldFolder> InstallDoor::HoldFolder(const std::string& relative, int& why, std::wstring& error) const
{
    if (std::shared_ptr<HeldFolder> held = Held(relative))
        return held;
    std::shared_ptr<HeldFolder> folder = Held(std::string());
    for (const std::string& part : SplitNative(relative)) {
        std::shared_ptr<HeldFolder> below = HoldBelow(folder, part, why);
        if (!below) {
            const std::string walked = folder->relative.empty() ? part : folder->relative + "/" + part;
            const std::wstring where = Quoted(m_prefix + FromNativePath(walked));
            struct stat info{};
            if ((why == ENOTDIR || why == ELOOP) && ::fstatat(folder->fd, part.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
                error = where + L" is " + KindText(info.st_mode) + L", not a folder";
            else
                error = L"cannot open the folder " + where + L": " + ErrnoText(why);
            return nullptr;
        }
        folder = std::move(below);
    }
    return folder;
}

std::shared_ptr<HeldFolder> InstallDoor::ParentOf(const std::wstring& relative, std::string& leaf, int& why,
                                                  std::wstring& error) const
{
    std::vector<std::string> parts = NativeParts(relative);
    why = 0;
    if (parts.empty()) {
        why = EINVAL;
        error = L"no file named below the installation " + Quoted(m_root);
        return nullptr;
    }
    leaf = parts.back();
    parts.pop_back();
    return HoldFolder(JoinNative(parts), why, error);
}

void InstallDoor::Forget(const std::string& relative) const
{
    std::lock_guard<std::mutex> hold(m_held->mutex);
    for (auto it = m_held->folders.begin(); it != m_held->folders.end();) {
        const std::string& key = it->first;
        const bool below = key == relative || (key.size() > relative.size() && key.compare(0, relative.size(), relative) == 0 &&
                                               key[relative.size()] == '/');
        it = below && !relative.empty() ? m_held->folders.erase(it) : std::next(it);
    }
}

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
    std::shared_ptr<HeldFolder> folder;  // the held folder that at's folders name
    // Takes the folder that at names: held already, since the walk went through it.
    auto reopen = [&]() -> bool {
        int why = 0;
        std::wstring walkError;
        folder = HoldFolder(JoinNative(at), why, walkError);
        if (!folder)
            error = L"path " + shown + L" cannot be resolved: " + walkError;
        return folder != nullptr;
    };
    if (!reopen())
        return false;

    bool existing = true;
    size_t missingAt = 0;  // when !existing: the first part of at that is missing
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
        if (::fstatat(folder->fd, step.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                error = L"cannot look at " + Quoted(FromNativePath(JoinNative(at) + "/" + step.name)) + L" in " +
                        Quoted(m_root) + L" while resolving " + shown + L": " + ErrnoText(errno);
                return false;
            }
            std::vector<std::string> matches;
            int listError = 0;
            if (step.given && !exactSpelling && !folder->CaseMatches(step.name, matches, listError)) {
                error = L"cannot list the folder " + Quoted(m_prefix + FromNativePath(JoinNative(at))) +
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
                ::fstatat(folder->fd, matches[0].c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                existing = false;
                haveLast = false;
                missingAt = at.size();
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
            const std::string target = ReadLinkAt(folder->fd, step.name);
            if (target.empty()) {
                error = L"cannot read the symbolic link " +
                        Quoted(m_prefix + FromNativePath(JoinNative(at) + (at.empty() ? "" : "/") + step.name)) +
                        L": " + ErrnoText(errno);
                return false;
            }
            // Read as the kernel reads it: "/" separates, and a "\\" is part of a name, which no
            // name of the installation holds; split again later, it would walk wherever it says.
            std::vector<std::string> targetParts = SplitNative(target);
            if (std::any_of(targetParts.begin(), targetParts.end(),
                            [](const std::string& part) { return part.find('\\') != std::string::npos; })) {
                error = L"path " + shown + L" runs through the symbolic link " +
                        Quoted(m_prefix + FromNativePath(JoinNative(at) + (at.empty() ? "" : "/") + step.name)) +
                        L", whose target " + Quoted(FromNativePath(target)) +
                        L" names a file holding a backslash, which an installation cannot hold";
                return false;
            }
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
                missingAt = at.size() - 1;
                continue;
            }
            error = L"path " + shown + L": " + Quoted(m_prefix + FromNativePath(JoinNative(at))) +
                    L" is not a folder";
            return false;
        }
        at.pop_back();
        int why = 0;
        std::shared_ptr<HeldFolder> below = HoldBelow(folder, step.name, why);
        at.push_back(step.name);
        if (!below) {
            error = L"cannot open the folder " + Quoted(m_prefix + FromNativePath(JoinNative(at))) +
                    L" while resolving " + shown + L": " + ErrnoText(why);
            return false;
        }
        folder = std::move(below);
    }
    if (at.empty()) {
        error = L"path " + shown + L" names the installation folder " + Quoted(m_root) + L" itself";
        return false;
    }
    file = InstallFile{};
    file.relative = FromNativePath(JoinNative(at));
    file.path = m_prefix + file.relative;
    if (existing && haveLast) {
        file.kind = KindOf(last.st_mode);
        file.identity = FileIdentity{static_cast<uint64_t>(last.st_dev), static_cast<uint64_t>(last.st_ino)};
        file.size = S_ISREG(last.st_mode) ? static_cast<uint64_t>(last.st_size) : 0;
        file.links = static_cast<uint64_t>(last.st_nlink);
        file.mode = last.st_mode;
        file.owner = last.st_uid;
        file.group = last.st_gid;
    }
    if (existing || missingAt + 1 == at.size()) {  // the folder that holds it was reached
        file.handle.m_folder = folder;
        file.handle.m_leaf = at.back();
        file.handle.m_relative = file.relative;
    } else {
        file.folderPresent = false;
    }
    if (refuseReserved && IsReservedInstallName(file.relative, &error)) {
        error = L"path " + shown + L" reaches " + Quoted(file.relative) + L" through a symbolic link: " + error;
        return false;
    }
    return true;
}

bool InstallDoor::MatchEntry(const std::wstring& folder, const std::wstring& name, std::wstring& spelled,
                             std::wstring& error) const
{
    int why = 0;
    std::shared_ptr<HeldFolder> held = HoldFolder(JoinNative(NativeParts(folder)), why, error);
    if (!held)
        return false;
    const std::string wanted = ToNativePath(name);
    spelled = name;
    struct stat info{};
    if (::fstatat(held->fd, wanted.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    std::vector<std::string> matches;
    int listError = 0;
    if (!held->CaseMatches(wanted, matches, listError)) {
        error = L"cannot list the folder " + Quoted(m_prefix + folder) + L": " + ErrnoText(listError);
        return false;
    }
    if (matches.size() > 1) {
        error = L"ambiguous path " + Quoted(folder.empty() ? name : folder + L"/" + name) + L": " +
                Quoted(FromNativePath(matches[0])) + L" and " +
                Quoted(FromNativePath(matches[1])) + L" in " + Quoted(folder.empty() ? m_root : m_prefix + folder) +
                L" both match " + Quoted(name);
        return false;
    }
    if (matches.size() == 1)
        spelled = FromNativePath(matches[0]);
    return true;
}

int InstallDoor::OpenParent(const std::wstring& relative, std::string& leaf, std::wstring& error) const
{
    int why = 0;
    const std::shared_ptr<HeldFolder> folder = ParentOf(relative, leaf, why, error);
    if (!folder)
        return -1;
    const int fd = ::fcntl(folder->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        error = L"cannot use the folder of " + Quoted(m_prefix + relative) + L": " + ErrnoText(errno);
    return fd;
}

InstallFile InstallDoor::Look(const std::wstring& relative) const
{
    InstallFile file;
    file.relative = relative;
    file.path = m_prefix + relative;
    int why = 0;
    std::string leaf;
    std::wstring error;
    const std::shared_ptr<HeldFolder> folder = ParentOf(relative, leaf, why, error);
    if (!folder) {
        // A folder above that is missing leaves nothing below it; one that is something else, or
        // cannot be opened, says nothing about what the file is.
        if (why == ENOENT) {
            file.folderPresent = false;
        } else {
            file.kind = InstallFileKind::Unreachable;
            file.reason = L"cannot reach " + Quoted(file.path) + L": " + error;
        }
        return file;
    }
    file.handle.m_folder = folder;
    file.handle.m_leaf = leaf;
    file.handle.m_relative = relative;
    struct stat info{};
    if (::fstatat(folder->fd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            file.kind = InstallFileKind::Unreachable;
            file.reason = L"cannot look at " + Quoted(file.path) + L": " + ErrnoText(errno);
        }
        return file;
    }
    file.kind = KindOf(info.st_mode);
    file.identity = FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    file.size = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
    file.links = static_cast<uint64_t>(info.st_nlink);
    file.mode = info.st_mode;
    file.owner = info.st_uid;
    file.group = info.st_gid;
    return file;
}

int InstallDoor::OpenRegular(const std::wstring& relative, const wchar_t* otherwise, bool& present,
                             std::wstring& error, struct stat* status) const
{
    present = false;
    const std::wstring where = Quoted(m_prefix + relative);
    std::string leaf;
    int why = 0;
    const std::shared_ptr<HeldFolder> folder = ParentOf(relative, leaf, why, error);
    if (!folder) {
        error = L"cannot reach " + where + L": " + error;
        return -1;
    }
    // Non-blocking, so a FIFO standing there cannot hold the run; a link is not followed.
    UniqueFd fd(::openat(folder->fd, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info{};
    if (fd.Get() < 0) {
        const int e = errno;
        present = e != ENOENT;
        if (::fstatat(folder->fd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode))
            error = where + L" is " + KindText(info.st_mode) + otherwise;
        else
            error = L"cannot open " + where + L": " + ErrnoText(e);
        return -1;
    }
    present = true;
    if (::fstat(fd.Get(), &info) != 0) {
        error = L"cannot look at " + where + L": " + ErrnoText(errno);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        error = where + L" is " + KindText(info.st_mode) + otherwise;
        return -1;
    }
    // A regular file is read as usual from here on.
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = L"cannot set up reading " + where + L": " + ErrnoText(errno);
        return -1;
    }
    if (status)
        *status = info;
    return fd.Release();
}

int InstallDoor::OpenForReading(const std::wstring& relative, std::wstring& error, struct stat* status) const
{
    bool present = false;
    return OpenRegular(relative, L", not a file", present, error, status);
}

bool InstallDoor::SyncFolderOf(const std::wstring& relative, std::wstring* error) const
{
    std::string leaf;
    int why = 0;
    std::wstring reason;
    const std::shared_ptr<HeldFolder> folder = ParentOf(relative, leaf, why, reason);
    if (folder && (why = SyncFolder(folder->fd)) == 0)
        return true;
    if (error)
        *error = L"cannot flush the folder of " + Quoted(m_prefix + relative) + L" to the disk: " +
                 (folder ? ErrnoText(why) : reason);
    return false;
}

bool InstallDoor::RemoveEmptyFolder(const std::wstring& relative, FolderRemoval& outcome, std::wstring& error) const
{
    outcome = FolderRemoval::NotThere;
    std::string leaf;
    int why = 0;
    const std::shared_ptr<HeldFolder> folder = ParentOf(relative, leaf, why, error);
    if (!folder) {
        if (why == ENOENT)
            return true;  // the folder above is gone: so is it
        error = L"cannot remove the folder " + Quoted(m_prefix + relative) + L": " + error;
        return false;
    }
    NameChange change(folder);
    if (::unlinkat(folder->fd, leaf.c_str(), AT_REMOVEDIR) == 0) {
        change.Removed(leaf);
        Forget(JoinNative(NativeParts(relative)));
        outcome = FolderRemoval::Removed;
        return true;
    }
    const int e = errno;
    if (e == ENOENT)
        return true;
    if (e == ENOTEMPTY || e == EEXIST) {
        outcome = FolderRemoval::Stayed;
        return true;
    }
    error = L"cannot remove the folder " + Quoted(m_prefix + relative) + L": " + ErrnoText(e);
    return false;
}

int InstallDoor::OpenOwnFileForReading(const std::wstring& relative, bool& present, std::wstring& error) const
{
    const int fd = OpenRegular(relative,
                               L", where the patcher keeps a file of its own; the patcher did not make it. Delete it "
                               L"and start again.",
                               present, error, nullptr);
    if (fd < 0 && !present && error.starts_with(L"cannot open "))
        error.clear();  // nothing stands there
    return fd;
}

bool InstallDoor::ReadOwnFile(const std::wstring& relative, std::string& bytes, bool& present,
                              std::wstring& error) const
{
    bytes.clear();
    error.clear();
    const UniqueFd fd(OpenOwnFileForReading(relative, present, error));
    if (fd.Get() < 0)
        return !present && error.empty();
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = L"cannot read " + Quoted(m_prefix + relative) + L": " + ErrnoText(errno);
            return false;
        }
        if (got == 0)
            return true;
        bytes.append(buffer, static_cast<size_t>(got));
    }
}

int InstallDoor::CreateOwnFile(const std::wstring& relative, int flags, mode_t mode, std::wstring& error) const
{
    const std::wstring where = Quoted(m_prefix + relative);
    std::string leaf;
    int why = 0;
    const std::shared_ptr<HeldFolder> parent = ParentOf(relative, leaf, why, error);
    if (!parent) {
        error = L"cannot create " + where + L": " + error;
        return -1;
    }
    NameChange change(parent);
    const int create = flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(parent->fd, leaf.c_str(), create, mode);
    if (fd < 0 && errno == EEXIST) {
        // Whatever stands there (a stale one, a planted link or FIFO) goes first.
        if (::unlinkat(parent->fd, leaf.c_str(), 0) != 0 && errno != ENOENT) {
            const int e = errno;
            if (e != EISDIR || ::unlinkat(parent->fd, leaf.c_str(), AT_REMOVEDIR) != 0) {
                error = e == EISDIR ? where + L" is a folder with something in it, where the patcher keeps a file of "
                                              L"its own; the patcher did not make it. Delete it and start again."
                                    : L"cannot remove what stands at " + where + L": " + ErrnoText(e);
                return -1;
            }
            Forget(JoinNative(NativeParts(relative)));
        }
        fd = ::openat(parent->fd, leaf.c_str(), create, mode);
    }
    if (fd < 0)
        error = L"cannot create " + where + L": " + ErrnoText(errno);
    else
        change.Added(leaf);
    return fd;
}

bool InstallDoor::ReplaceOwnFile(const std::wstring& relative, const std::wstring& temporary, const std::string& bytes,
                                 std::wstring& error) const
{
    UniqueFd fd(CreateOwnFile(temporary, O_WRONLY, 0644, error));
    if (fd.Get() < 0)
        return false;
    const std::wstring where = Quoted(m_prefix + temporary);
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
        const UniqueFd parent(OpenParent(relative, leaf, ignored));
        const bool folderGone = parent.Get() >= 0 && Look(relative).kind == InstallFileKind::Folder &&
                                ::unlinkat(parent.Get(), leaf.c_str(), AT_REMOVEDIR) == 0;
        if (!folderGone || !Rename(temporary, relative, error)) {
            if (!folderGone && Look(relative).kind == InstallFileKind::Folder)
                error = Quoted(m_prefix + relative) +
                        L" is a folder with something in it, where the patcher keeps a file of its own; the patcher "
                        L"did not make it. Delete it and start again.";
            RemoveFile(temporary, ignored);
            return false;
        }
    }
    std::string leaf;
    const UniqueFd parent(OpenParent(relative, leaf, ignored));
    if (parent.Get() >= 0)
        SyncFolder(parent.Get());
    return true;
}

bool InstallDoor::RemoveFile(const std::wstring& relative, std::wstring& error) const
{
    const std::wstring where = Quoted(m_prefix + relative);
    std::string leaf;
    int why = 0;
    const std::shared_ptr<HeldFolder> parent = ParentOf(relative, leaf, why, error);
    if (!parent) {
        error = L"cannot remove " + where + L": " + error;
        return false;
    }
    NameChange change(parent);
    if (::unlinkat(parent->fd, leaf.c_str(), 0) == 0) {
        change.Removed(leaf);
        return true;
    }
    const int e = errno;
    if (e == ENOENT)
        return true;
    error = e == EISDIR ? where + L" is a folder, not a file: it was left as it is"
                        : L"cannot remove " + where + L": " + ErrnoText(e);
    return false;
}

bool InstallDoor::Rename(const std::wstring& from, const std::wstring& to, std::wstring& error) const
{
    std::string fromLeaf, toLeaf;
    int why = 0;
    const std::shared_ptr<HeldFolder> fromParent = ParentOf(from, fromLeaf, why, error);
    if (!fromParent) {
        error = L"cannot rename " + Quoted(m_prefix + from) + L": " + error;
        return false;
    }
    const std::shared_ptr<HeldFolder> toParent = ParentOf(to, toLeaf, why, error);
    if (!toParent) {
        error = L"cannot rename " + Quoted(m_prefix + from) + L" to " + Quoted(m_prefix + to) + L": " + error;
        return false;
    }
    NameChange leaving(fromParent);
    NameChange arriving(toParent);
    if (::renameat(fromParent->fd, fromLeaf.c_str(), toParent->fd, toLeaf.c_str()) != 0) {
        error = L"cannot rename " + Quoted(m_prefix + from) + L" to " + Quoted(m_prefix + to) + L": " +
                ErrnoText(errno);
        return false;
    }
    leaving.Removed(fromLeaf);
    arriving.Added(toLeaf);
    // A folder held under either name is no longer what that name holds.
    Forget(JoinNative(NativeParts(from)));
    Forget(JoinNative(NativeParts(to)));
    return true;
}

int InstallDoor::OpenForWriteInPlace(const std::wstring& relative, bool create, std::wstring& error,
                                     int* reason) const
{
    int ignored = 0;
    int& why = reason ? *reason : ignored;
    why = 0;
    const std::wstring where = Quoted(m_prefix + relative);
    std::string leaf;
    const std::shared_ptr<HeldFolder> held = ParentOf(relative, leaf, why, error);
    if (!held) {
        error = L"cannot open " + where + L": " + error;
        return -1;
    }
    NameChange change(held);
    const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueFd fd(::openat(held->fd, leaf.c_str(), flags, 0644));
        if (create && fd.Get() >= 0 && attempt == 0)
            change.Added(leaf);
        struct stat info{};
        if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0) {
            why = errno;
            struct stat standing{};
            if (::fstatat(held->fd, leaf.c_str(), &standing, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(standing.st_mode))
                error = where + L" is " + KindText(standing.st_mode) + L", not a file: it was left as it is";
            else
                error = L"cannot open " + where + L" for writing: " + ErrnoText(why);
            return -1;
        }
        if (!S_ISREG(info.st_mode)) {
            why = EINVAL;
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
        if (attempt > 0 || !GiveOwnCopy(held->fd, leaf, relative, error))
            break;
    }
    if (error.empty())
        error = where + L" still has more than one name after it was given a copy of its own";
    if (why == 0)
        why = EMLINK;
    return -1;
}

bool InstallDoor::MakeFolders(const std::wstring& relative, std::wstring& error, int* reason) const
{
    std::shared_ptr<HeldFolder> folder;
    {
        std::lock_guard<std::mutex> hold(m_held->mutex);
        folder = m_held->folders.at(std::string());
    }
    std::string walked;
    for (const std::string& part : NativeParts(relative)) {
        walked += (walked.empty() ? "" : "/") + part;
        const std::wstring where = Quoted(m_prefix + FromNativePath(walked));
        int why = 0;
        std::shared_ptr<HeldFolder> below = HoldBelow(folder, part, why);
        if (!below && why == ENOENT) {
            // Made by somebody else meanwhile is as good as made here.
            NameChange change(folder);
            if (::mkdirat(folder->fd, part.c_str(), 0777) != 0 && errno != EEXIST) {
                const int e = errno;
                error = L"cannot make the folder " + where + L": " + ErrnoText(e);
                if (reason)
                    *reason = e;
                return false;
            }
            change.Added(part);
            below = HoldBelow(folder, part, why);
        }
        if (!below) {
            struct stat info{};
            if ((why == ENOTDIR || why == ELOOP) && ::fstatat(folder->fd, part.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
                error = where + L" is " + KindText(info.st_mode) + L", not a folder";
            else
                error = L"cannot open the folder " + where + L": " + ErrnoText(why);
            if (reason)
                *reason = why;
            return false;
        }
        folder = std::move(below);
    }
    return true;
}

bool InstallDoor::GiveOwnCopy(int folder, const std::string& leaf, const std::wstring& relative,
                              std::wstring& error) const
{
    const std::wstring where = Quoted(m_prefix + relative);
    const UniqueFd source(::openat(folder, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info{};
    if (source.Get() < 0 || ::fstat(source.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = L"cannot copy " + where + L", which has more than one name, to a name of its own: " + ErrnoText(errno);
        return false;
    }
    // Beside it under the name of a replacement, which the patcher keeps for itself.
    const std::string copyLeaf = leaf + ToNativePath(kReplacementExt);
    const std::wstring copyRelative = relative + kReplacementExt;
    UniqueFd copy(CreateOwnFile(copyRelative, O_WRONLY, info.st_mode & 07777, error));
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
