// Listing and deleting folders. Everything below the folder a caller names is reached through
// directory descriptors (openat / unlinkat with O_NOFOLLOW), so a link inside the tree, or one
// swapped in while we work, can never lead the walk out of it.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>

#include "lumo/files/FileUtil.h"
#include "lumo/text/PathUtil.h"
#include "lumo/text/TextConversion.h"
#include "platform/LastError.h"
#include "platform/NativePath.h"

namespace
{
struct Entry
{
    std::string name;
    unsigned char type;  // d_type; DT_UNKNOWN when the file system does not say
};

struct DirCloser
{
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// Reads every entry of the open folder fd except "." and ".."; takes over fd. False when the
// folder cannot be read.
bool ReadEntries(int fd, std::vector<Entry>& entries)
{
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
    if (!dir)
    {
        const int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get()))
    {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        entries.push_back({name, entry->d_type});
    }
    return errno == 0;
}

bool OpenAndReadFolder(const std::string& native, std::vector<Entry>& entries)
{
    const int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 && ReadEntries(fd, entries);
}

unsigned char TypeOf(int dirFd, const Entry& entry, struct stat& info, bool& haveInfo)
{
    haveInfo = false;
    if (entry.type != DT_UNKNOWN)
        return entry.type;
    if (::fstatat(dirFd, entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return DT_UNKNOWN;
    haveInfo = true;
    return S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
}

// Empties the folder open as dirFd (which stays open). Files that cannot be deleted stay, as the
// single-file delete would leave them; a sub-folder that cannot be removed ends the walk with false.
bool EmptyFolderAt(int dirFd)
{
    std::vector<Entry> entries;
    const int listFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    // A folder that cannot be read still gets its remove attempted by the caller.
    if (listFd < 0 || !ReadEntries(listFd, entries))
        return true;

    for (const Entry& entry : entries)
    {
        struct stat info{};
        bool haveInfo = false;
        const unsigned char type = TypeOf(dirFd, entry, info, haveInfo);
        if (type == DT_DIR)
        {
            const int childFd = ::openat(dirFd, entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            bool emptied = true;
            if (childFd >= 0)
            {
                emptied = EmptyFolderAt(childFd);
                ::close(childFd);
            }
            if (!emptied || ::unlinkat(dirFd, entry.name.c_str(), AT_REMOVEDIR) != 0)
            {
                platform::SetLastErrorFromErrno(errno);
                return false;
            }
            continue;
        }
        // A read-only file is left in place, as the single-file delete refuses it.
        if (type == DT_REG || type == DT_UNKNOWN)
        {
            if (!haveInfo && ::fstatat(dirFd, entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0)
                continue;
            if (S_ISDIR(info.st_mode))
                continue;  // appeared since the listing; the final remove reports it
        }
        ::unlinkat(dirFd, entry.name.c_str(), 0);
    }
    return true;
}

std::wstring WithBackslashes(std::wstring path)
{
    LumoUtil::ReplaceSeparators(path, L'\\');
    return path;
}
}

namespace LumoUtil
{

LUMORESULT ListDirectory(std::wstring dir, std::vector<std::wstring>& out)
{
    dir = WithBackslashes(dir);
    out.clear();
    std::vector<Entry> entries;
    if (!OpenAndReadFolder(ToNativePath(dir), entries))
    {
        platform::SetLastErrorFromErrno(errno);
        return LUMORESULT_NOT_FOUND;
    }
    // The system lists in no useful order; sorted runs are reproducible.
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    out.reserve(entries.size());
    for (const Entry& entry : entries)
        out.push_back(JoinPath(dir, FromNativePath(entry.name)));
    return LUMORESULT_OK;
}

bool ForEachOldFile(const std::string& dir, uint32_t maxAgeSeconds,
                    const std::function<bool(const std::string& path)>& callback)
{
    const std::string native = ToNativePath(ToWide(dir));
    const int dirFd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return true;
    std::vector<Entry> entries;
    const int listFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (listFd < 0 || !ReadEntries(listFd, entries))
    {
        ::close(dirFd);
        return true;
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });

    // Ages in 100-ns units, as the file times of the original design count them.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const int64_t nowUnits = static_cast<int64_t>(now.tv_sec) * 10000000 + now.tv_nsec / 100;
    const int64_t maxAgeUnits = static_cast<int64_t>(maxAgeSeconds) * 10000000;

    bool goOn = true;
    for (const Entry& entry : entries)
    {
        struct stat info{};
        if (::fstatat(dirFd, entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (!S_ISREG(info.st_mode) || (info.st_mode & S_IWUSR) == 0)
            continue;
        // The callback gets 8-bit text; a name that it cannot hold would name another file.
        const std::wstring wideName = FromNativePath(entry.name);
        if (!SurvivesNarrowing(wideName))
            continue;
        const int64_t written = static_cast<int64_t>(info.st_mtim.tv_sec) * 10000000 + info.st_mtim.tv_nsec / 100;
        if (nowUnits - written > maxAgeUnits && !callback(ToNarrow(JoinPath(ToWide(dir), wideName))))
        {
            goOn = false;
            break;
        }
    }
    ::close(dirFd);
    return goOn;
}

bool DeleteDirectory(std::wstring path)
{
    if (path.empty())
    {
        platform::SetLastError(platform::kErrorPathNotFound);
        return false;
    }
    std::string native = ToNativePath(path);
    // A trailing "/" would make the system follow a link in the last place.
    while (native.size() > 1 && native.back() == '/')
        native.pop_back();
    // O_NOFOLLOW: a link given as the folder is not followed; its remove below then fails.
    const int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
    {
        const bool emptied = EmptyFolderAt(fd);
        ::close(fd);
        if (!emptied)
            return false;
    }
    if (::rmdir(native.c_str()) != 0)
    {
        platform::SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

}  // namespace LumoUtil
