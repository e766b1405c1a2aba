#include "platform/TempFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "platform/ConsoleControl.h"
#include "platform/LastError.h"
#include "platform/RunOwner.h"

namespace platform
{

namespace
{

constexpr char kFolderPrefix[] = "lumo-";

std::string g_folder;
pid_t g_folderOwner = 0;
std::atomic<uint64_t> g_counter{0};

// Only the process that made the folder removes it: a forked child shares the name.
void RemoveFolderAtExit()
{
    if (g_folder.empty() || getpid() != g_folderOwner)
        return;
    int fd = open(g_folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
        RemoveFolderContents(fd);
    rmdir(g_folder.c_str());
}

// Where the folder may be made, in the order tried.
std::vector<std::string> TempParents()
{
    std::vector<std::string> parents;
    const char* candidates[] = {getenv("TMPDIR"), getenv("TEMP"), "/tmp"};
    for (const char* parent : candidates)
    {
        if (!parent || !*parent)
            continue;
        std::string base(parent);
        while (base.size() > 1 && base.back() == '/')
            base.pop_back();
        parents.push_back(base);
    }
    return parents;
}

void MakeFolder()
{
    int lastErrno = ENOENT;
    // What runs that were killed left goes first; the folders of running ones stay.
    RemoveEndedTempFolders();
    for (const std::string& base : TempParents())
    {
        std::string pattern = base + "/" + kFolderPrefix + OwnerTag() + "-XXXXXX";
        if (mkdtemp(pattern.data()))
        {
            g_folder = pattern;
            g_folderOwner = getpid();
            atexit(RemoveFolderAtExit);
            AddStopCleanup(RemoveFolderAtExit);
            return;
        }
        lastErrno = errno;
    }
    SetLastErrorFromErrno(lastErrno);
}

uint64_t RandomBits()
{
    uint64_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value))
        return value;
    // No entropy yet (early boot): still hard to guess, and the exclusive create protects us.
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (static_cast<uint64_t>(ts.tv_nsec) << 20) ^ static_cast<uint64_t>(ts.tv_sec) ^
           (static_cast<uint64_t>(getpid()) << 40) ^ reinterpret_cast<uintptr_t>(&value);
}

}  // namespace

std::vector<std::string> RemoveEndedTempFolders()
{
    std::vector<std::string> notRemoved;
    for (const std::string& base : TempParents())
        RemoveLeftovers(base, kFolderPrefix, &notRemoved);
    return notRemoved;
}

const std::string& PrivateTempFolder()
{
    static std::once_flag once;
    std::call_once(once, MakeFolder);
    if (g_folder.empty())
        SetLastError(kErrorPathNotFound);
    return g_folder;
}

std::string MakeUniqueTempName(const std::string& prefix, const std::string& suffix)
{
    char middle[48];
    snprintf(middle, sizeof middle, "%llu-%012llx", static_cast<unsigned long long>(++g_counter),
             static_cast<unsigned long long>(RandomBits() & 0xFFFFFFFFFFFFull));
    return prefix + middle + suffix;
}

int CreateTempFile(const std::string& prefix, const std::string& suffix, std::string& path)
{
    const std::string& folder = PrivateTempFolder();
    if (folder.empty())
        return -1;
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        std::string candidate = folder + "/" + MakeUniqueTempName(prefix, suffix);
        int fd = open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0)
        {
            path = candidate;
            return fd;
        }
        if (errno != EEXIST)
        {
            SetLastErrorFromErrno(errno);
            return -1;
        }
    }
    SetLastError(kErrorFileExists);
    return -1;
}

std::string CreateTempSubfolder(const std::string& prefix)
{
    const std::string& folder = PrivateTempFolder();
    if (folder.empty())
        return std::string();
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        std::string candidate = folder + "/" + MakeUniqueTempName(prefix, std::string());
        if (mkdir(candidate.c_str(), 0700) == 0)
            return candidate;
        if (errno != EEXIST)
        {
            SetLastErrorFromErrno(errno);
            return std::string();
        }
    }
    SetLastError(kErrorFileExists);
    return std::string();
}

}  // namespace platform
