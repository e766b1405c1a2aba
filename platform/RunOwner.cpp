#include "platform/RunOwner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace platform
{

namespace
{

// Reads the decimal number at text[at...]; false when there is none or it is too long.
bool ReadNumber(const std::string& text, size_t& at, uint64_t& value, size_t maxDigits)
{
    const size_t first = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - first < maxDigits)
        value = value * 10 + static_cast<uint64_t>(text[at++] - '0');
    return at > first && (at == text.size() || text[at] < '0' || text[at] > '9');
}

// The fields of /proc/<pid>/stat after the command name, which may itself hold ")" and blanks.
bool ReadStatFields(const std::string& path, std::string& fields, int& error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        error = errno;
        return false;
    }
    char buffer[1024];
    std::string text;
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;)
    {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
        {
            error = errno;
            close(fd);
            return false;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    const size_t nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos || nameEnd + 2 > text.size())
    {
        error = EINVAL;
        return false;
    }
    fields = text.substr(nameEnd + 2);
    return true;
}

}  // namespace

bool ProcessStartTime(pid_t pid, uint64_t& start, bool& unknown)
{
    unknown = false;
    std::string fields;
    int error = 0;
    if (!ReadStatFields("/proc/" + std::to_string(pid) + "/stat", fields, error))
    {
        unknown = error != ENOENT && error != ESRCH;
        return false;
    }
    // Field 3 (the state) comes first here; the start time is field 22.
    size_t at = 0;
    const char state = fields.empty() ? '?' : fields[0];
    for (int field = 3; field < 22; ++field)
    {
        at = fields.find(' ', at);
        if (at == std::string::npos)
        {
            unknown = true;
            return false;
        }
        ++at;
    }
    if (!ReadNumber(fields, at, start, 20))
    {
        unknown = true;
        return false;
    }
    // A process that has ended and waits to be collected touches no file any more.
    return state != 'Z' && state != 'X' && state != 'x';
}

std::string OwnerTag()
{
    uint64_t start = 0;
    bool unknown = false;
    const pid_t pid = getpid();
    ProcessStartTime(pid, start, unknown);
    return std::to_string(pid) + "-" + std::to_string(start);
}

bool ParseOwnerTag(const std::string& text, pid_t& pid, uint64_t& start, size_t& length)
{
    size_t at = 0;
    uint64_t id = 0;
    if (!ReadNumber(text, at, id, 10) || id == 0 || id > static_cast<uint64_t>(INT_MAX) || at >= text.size() ||
        text[at] != '-')
        return false;
    ++at;
    if (!ReadNumber(text, at, start, 20))
        return false;
    if (at < text.size() && text[at] != '-' && text[at] != '.')
        return false;
    pid = static_cast<pid_t>(id);
    length = at;
    return true;
}

bool IsOwnerGone(pid_t pid, uint64_t start)
{
    uint64_t running = 0;
    bool unknown = false;
    if (ProcessStartTime(pid, running, unknown))
        return running != start;
    return !unknown;
}

void RemoveFolderContents(int dirFd)
{
    DIR* dir = fdopendir(dirFd);
    if (!dir)
    {
        close(dirFd);
        return;
    }
    while (dirent* entry = readdir(dir))
    {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        if (unlinkat(dirfd(dir), name, 0) == 0)
            continue;
        int sub = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0)
        {
            RemoveFolderContents(sub);
            unlinkat(dirfd(dir), name, AT_REMOVEDIR);
        }
    }
    closedir(dir);
}

int RemoveLeftovers(const std::string& folder, const std::string& prefix, std::vector<std::string>* notRemoved)
{
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return 0;  // no folder, nothing left in it
    std::vector<std::string> names;
    if (DIR* dir = fdopendir(fcntl(folderFd, F_DUPFD_CLOEXEC, 0)))
    {
        while (dirent* entry = readdir(dir))
        {
            pid_t pid = 0;
            uint64_t start = 0;
            size_t length = 0;
            const std::string name = entry->d_name;
            if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
                ParseOwnerTag(name.substr(prefix.size()), pid, start, length) && pid != getpid() &&
                IsOwnerGone(pid, start))
                names.push_back(name);
        }
        closedir(dir);
    }
    int failures = 0;
    for (const std::string& name : names)
    {
        struct stat info;
        if (fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || info.st_uid != geteuid())
            continue;  // gone meanwhile, or another user's
        bool removed = true;
        if (S_ISDIR(info.st_mode))
        {
            const int sub = openat(folderFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                RemoveFolderContents(sub);
            removed = unlinkat(folderFd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
        }
        else
            removed = unlinkat(folderFd, name.c_str(), 0) == 0 || errno == ENOENT;
        if (removed)
            continue;
        ++failures;
        if (notRemoved)
            notRemoved->push_back(folder + (folder.ends_with('/') ? "" : "/") + name);
    }
    close(folderFd);
    return failures;
}

}  // namespace platform
