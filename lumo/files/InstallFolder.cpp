#include "lumo/files/InstallFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>
#include <vector>

#include "lumo/diagnostics/SystemLog.h"
#include "lumo/files/InstallDoor.h"
#include "lumo/text/ReservedNames.h"
#include "platform/NativePath.h"
#include "platform/RunOwner.h"
#include "platform/TempFolder.h"

namespace LumoUtil {

namespace {

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

// The locks this process holds, one per folder; a second holder in the process shares the first's.
struct HeldLock
{
    unsigned long long device;
    unsigned long long inode;
    int fd;
    int holders;
    std::shared_ptr<InstallDoor> door;  // of this take
    std::wstring folder;                // as the take named it
};

std::mutex& HeldLocksMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::vector<HeldLock>& HeldLocks()
{
    static std::vector<HeldLock> locks;
    return locks;
}

HeldLock* FindHeld(unsigned long long device, unsigned long long inode)
{
    for (HeldLock& lock : HeldLocks())
        if (lock.device == device && lock.inode == inode)
            return &lock;
    return nullptr;
}

int OpenFolder(const std::wstring& folder)
{
    return ::open(ToNativePath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The process holding the flock on device/inode, from /proc/locks ("1: FLOCK  ADVISORY  WRITE
// <pid> <major>:<minor>:<inode> 0 EOF", the device in hex); 0 when it cannot be seen.
long LockHolderPid(unsigned long long device, unsigned long long inode)
{
    std::ifstream locks("/proc/locks");
    char wanted[96];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(device), minor(device), inode);
    for (std::string line; std::getline(locks, line);)
    {
        std::istringstream fields(line);
        std::string number, kind, mode, access, id;
        long pid = 0;
        if (!(fields >> number >> kind) || kind != "FLOCK" || !(fields >> mode >> access >> pid >> id))
            continue;  // "->" lines are waiters, other kinds are not our lock
        if (id == wanted && pid > 0)
            return pid;
    }
    return 0;
}

// "<program> <arguments>" of a process, its arguments separated by blanks; empty when unreadable.
std::wstring CommandLineOf(long pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    while (!bytes.empty() && bytes.back() == '\0')
        bytes.pop_back();
    for (char& c : bytes)
        if (c == '\0')
            c = ' ';
        else if (static_cast<unsigned char>(c) < 0x20)
            c = '?';
    return FromNativePath(bytes);
}

// The first folder below the open folder (shown: its name for the answer), in name order and depth
// first, that this process may not write or search (or, for one that cannot be listed, read);
// reason holds the errno. Each folder is opened relative to its parent, never through a link, and
// the run folders are left out: a repair writes neither. Empty when there is none.
std::string FirstUnwritableFolderBelow(int folder, const std::string& shown, int& reason)
{
    const int listed = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = listed < 0 ? nullptr : ::fdopendir(listed);
    if (listing == nullptr)
    {
        reason = errno;
        if (listed >= 0)
            ::close(listed);
        return shown;
    }
    std::vector<std::string> folders;
    while (const dirent* entry = ::readdir(listing))
    {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name.starts_with(kRunFolderPrefix))
            continue;
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN)
        {
            struct stat info{};
            isFolder = ::fstatat(::dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISDIR(info.st_mode);
        }
        if (isFolder)
            folders.push_back(name);
    }
    ::closedir(listing);
    std::sort(folders.begin(), folders.end());
    for (const std::string& name : folders)
    {
        const std::string below = shown + "/" + name;
        if (::faccessat(folder, name.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        {
            reason = errno;
            return below;
        }
        const int opened = ::openat(folder, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (opened < 0)
        {
            if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR)
                continue; // gone or swapped for something else since the listing: nothing to write there
            reason = errno;
            return below;
        }
        const std::string deeper = FirstUnwritableFolderBelow(opened, below, reason);
        ::close(opened);
        if (!deeper.empty())
            return deeper;
    }
    return std::string();
}

}  // namespace

bool ResolveInstallFolder(const std::wstring& given, std::wstring& resolved, std::wstring& error)
{
    std::wstring folder = given;
    // A trailing "\" is the other platform's way to end a folder name: a separator, not a name.
    while (folder.size() > 1 && (folder.back() == L'/' || folder.back() == L'\\'))
        folder.pop_back();
    if (folder.empty())
    {
        error = L"No installation folder is known: none was given and the registry names none. Give the "
                L"installation folder on the command line, or install the game first.";
        return false;
    }
    if (folder.find(L'\\') != std::wstring::npos)
    {
        error = L"The installation folder " + Quoted(given) +
                L" holds a \"\\\" in a name, which is not supported: rename it or name the folder through a "
                L"link without one.";
        return false;
    }
    char* real = ::realpath(ToNativePath(folder).c_str(), nullptr);
    if (real == nullptr)
    {
        const int e = errno;
        if (e == ENOENT)
            error = L"The installation folder does not exist: " + given;
        else if (e == ENOTDIR)
            error = L"The installation folder " + Quoted(given) + L" is not a folder: part of its path is a file.";
        else
            error = L"The installation folder " + Quoted(given) + L" cannot be reached: " + ErrnoText(e);
        return false;
    }
    const std::string native = real;
    std::free(real);
    struct stat info{};
    if (::stat(native.c_str(), &info) != 0)
    {
        error = L"The installation folder " + Quoted(given) + L" cannot be reached: " + ErrnoText(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode))
    {
        error = L"The installation folder " + Quoted(given) + L" is a file, not a folder.";
        return false;
    }
    if (native.find('\\') != std::string::npos)
    {
        error = L"The installation folder " + Quoted(given) + L" leads to " + Quoted(FromNativePath(native)) +
                L", which holds a \"\\\" in a name; that is not supported.";
        return false;
    }
    resolved = FromNativePath(native);
    return true;
}

namespace {
constexpr bool SamePrefix(const char* narrow, const wchar_t* wide)
{
    for (; *narrow || *wide; ++narrow, ++wide)
        if (static_cast<wchar_t>(*narrow) != *wide)
            return false;
    return true;
}
static_assert(SamePrefix(kRunFolderPrefix, kRunFolderNamePrefix), "the reserved names must keep the run folders");
} // namespace

bool IsRunFolderName(const std::wstring& name)
{
    const std::string native = ToNativePath(name);
    return native.size() > sizeof kRunFolderPrefix - 1 && native.starts_with(kRunFolderPrefix);
}

std::vector<std::wstring> RemoveEndedRunLeftovers(const std::wstring& folder)
{
    std::vector<std::string> left;
    platform::RemoveLeftovers(ToNativePath(folder), kRunFolderPrefix, &left);
    for (std::string& path : platform::RemoveEndedTempFolders())
        left.push_back(std::move(path));
    std::vector<std::wstring> paths;
    for (const std::string& path : left)
        paths.push_back(FromNativePath(path));
    return paths;
}

bool CheckInstallFolderWritable(const InstallDoor& door, std::wstring& error)
{
    // As this process's own rights decide (root passes a folder without write bits, not a
    // read-only mount); nothing is created to find out. The folder the door holds, whatever its
    // name leads to now.
    const std::wstring& folder = door.Root();
    if (::faccessat(door.Fd(), ".", W_OK | X_OK, AT_EACCESS) != 0)
    {
        error = L"The installation " + folder + L" cannot be written: " + ErrnoText(errno);
        return false;
    }
    int reason = 0;
    const std::string refused = FirstUnwritableFolderBelow(door.Fd(), ToNativePath(folder), reason);
    if (refused.empty())
        return true;
    error = L"The installation " + folder + L" cannot be written: " + FromNativePath(refused) + L": " + ErrnoText(reason);
    return false;
}

std::unique_ptr<InstallLock> InstallLock::Acquire(const std::wstring& folder, std::wstring& error)
{
    {
        // Held already under this name: the same take, whatever the name leads to now.
        std::lock_guard<std::mutex> hold(HeldLocksMutex());
        for (HeldLock& held : HeldLocks())
            if (held.folder == folder)
            {
                ++held.holders;
                return std::unique_ptr<InstallLock>(new InstallLock(held.device, held.inode, held.door));
            }
    }
    const int fd = OpenFolder(folder);
    if (fd < 0)
    {
        error = L"The installation folder " + Quoted(folder) + L" cannot be opened: " + ErrnoText(errno);
        return nullptr;
    }
    struct stat info{};
    if (::fstat(fd, &info) != 0)
    {
        error = L"The installation folder " + Quoted(folder) + L" cannot be opened: " + ErrnoText(errno);
        ::close(fd);
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(HeldLocksMutex());
    if (HeldLock* held = FindHeld(info.st_dev, info.st_ino))
    {
        ++held->holders;
        ::close(fd);
        return std::unique_ptr<InstallLock>(new InstallLock(info.st_dev, info.st_ino, held->door));
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    {
        const int e = errno;
        error = e == EWOULDBLOCK ? InstallInUseText(folder, fd)
                                 : L"The installation " + Quoted(folder) + L" cannot be locked: " + ErrnoText(e);
        ::close(fd);
        return nullptr;
    }
    std::wstring doorError;
    std::shared_ptr<InstallDoor> door = InstallDoor::OnFolder(folder, ::fcntl(fd, F_DUPFD_CLOEXEC, 0), doorError);
    if (!door)
    {
        error = doorError;
        ::close(fd);
        return nullptr;
    }
    HeldLocks().push_back(HeldLock{info.st_dev, info.st_ino, fd, 1, door, folder});
    // Held now: no run of ours can be making its folder here meanwhile.
    for (const std::wstring& left : RemoveEndedRunLeftovers(folder))
        SystemLogPrintf("%s, which an ended run left, cannot be removed",
                        ToNativePath(left).c_str());
    return std::unique_ptr<InstallLock>(new InstallLock(info.st_dev, info.st_ino, std::move(door)));
}

std::shared_ptr<InstallDoor> InstallLock::HeldDoor(const std::wstring& folder)
{
    {
        // The name the take was made with is the take's, whatever stands under it now: a folder
        // renamed and replaced meanwhile must not be opened afresh, unlocked.
        std::lock_guard<std::mutex> hold(HeldLocksMutex());
        for (const HeldLock& held : HeldLocks())
            if (held.folder == folder)
                return held.door;
    }
    struct stat info{};
    if (::stat(ToNativePath(folder).c_str(), &info) != 0)
        return nullptr;
    std::lock_guard<std::mutex> hold(HeldLocksMutex());
    const HeldLock* held = FindHeld(info.st_dev, info.st_ino);
    return held ? held->door : nullptr;
}

InstallLock::InstallLock(unsigned long long device, unsigned long long inode, std::shared_ptr<InstallDoor> door)
    : m_device(device), m_inode(inode), m_door(std::move(door))
{
}

InstallLock::~InstallLock()
{
    std::lock_guard<std::mutex> hold(HeldLocksMutex());
    std::vector<HeldLock>& locks = HeldLocks();
    for (auto it = locks.begin(); it != locks.end(); ++it)
    {
        if (it->device != m_device || it->inode != m_inode || --it->holders > 0)
            continue;
        ::close(it->fd);  // releases the lock, unless a shared descriptor of it is still open
        locks.erase(it);
        break;
    }
}

std::wstring InstallInUseText(const std::wstring& folder, int folderFd)
{
    std::wstring holder;
    struct stat info{};
    if (::fstat(folderFd, &info) == 0)
    {
        if (const long pid = LockHolderPid(info.st_dev, info.st_ino))
        {
            const std::wstring command = CommandLineOf(pid);
            holder = L" (" + (command.empty() ? L"" : L"\"" + command + L"\", ") + L"process " + std::to_wstring(pid) + L")";
        }
    }
    return L"The installation " + folder + L" is in use by another process" + holder +
           L", which is patching or repairing it; nothing was changed. Try again when it has ended.";
}

}  // namespace LumoUtil
