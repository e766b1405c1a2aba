#include "lumo/files/FileUtil.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <ctime>

#include "lumo/text/PathUtil.h"
#include "platform/LastError.h"
#include "platform/NativePath.h"
#include "lumo/diagnostics/SystemLog.h"

namespace
{
bool IsReadOnlyMode(mode_t mode)
{
    return (mode & S_IWUSR) == 0;
}

// Sets the last error from errno and gives false, for the one-line failure paths.
bool FailWithErrno()
{
    platform::SetLastErrorFromErrno(errno);
    return false;
}

bool MakeNativeDirectory(std::string path)
{
    if (path.empty())
    {
        platform::SetLastError(platform::kErrorPathNotFound);
        return false;
    }
    if (path.size() > 1 && path.back() == '/')
        path.pop_back();

    // A link to a folder is a folder (installations are often linked in from another disk); the
    // callers that create folders below an installation resolve their paths first, which keeps
    // links inside it from leading out (ResolveInstallPath).
    struct stat info{};
    if (::stat(path.c_str(), &info) == 0)
    {
        if (S_ISDIR(info.st_mode))
            return true;
        platform::SetLastError(platform::kErrorFileExists);
        return false;
    }
    // Something is there after all: a folder made by somebody else in the meantime, or a dangling
    // link, which gives nothing to create a folder in.
    if (::lstat(path.c_str(), &info) == 0)
    {
        if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            return true;
        platform::SetLastError(platform::kErrorFileExists);
        return false;
    }

    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash != 0 && !MakeNativeDirectory(path.substr(0, slash)))
        return false;

    if (::mkdir(path.c_str(), 0777) == 0)
        return true;
    const int error = errno;
    // Made by somebody else in the meantime: the folder is there, which is all the caller wants.
    if (error == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return true;
    const uint32_t code = platform::SetLastErrorFromErrno(error);
    SystemLogPrintfTo(SYSTEMLOG_ALL & ~SYSTEMLOG_DEBUGGER, "The folder %s cannot be made: %s", path.c_str(),
                      std::strerror(error));
    SystemLogPrintfTo(SYSTEMLOG_DEBUGGER, "MakeDirectory> CreateDirectoryW returned err %d", static_cast<int>(code));
    platform::SetLastError(code);
    return false;
}

// Unpredictable, so that nobody can plant a name ahead of us; grows by one per call.
std::atomic<uint32_t>& TempNameCounter()
{
    static std::atomic<uint32_t> counter = [] {
        uint32_t seed = 0;
        if (::getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed))
        {
            timespec now{};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            seed = static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(now.tv_sec * 1000) ^
                   static_cast<uint32_t>(::getpid() << 16);
        }
        return seed;
    }();
    return counter;
}

// Sets (readOnly) or clears the read-only state of path: every write bit goes, or the owner's
// comes back. A symbolic link is refused.
bool ChangeReadOnly(const std::wstring& path, bool readOnly)
{
    const std::string native = ToNativePath(path);
    struct stat info{};
    if (::lstat(native.c_str(), &info) != 0)
        return FailWithErrno();
    if (S_ISLNK(info.st_mode))
    {
        platform::SetLastError(platform::kErrorAccessDenied);
        return false;
    }
    if (IsReadOnlyMode(info.st_mode) == readOnly)
        return true;
    const mode_t mode = readOnly ? info.st_mode & 07777 & ~(S_IWUSR | S_IWGRP | S_IWOTH)
                                 : (info.st_mode & 07777) | S_IWUSR;
    return ::chmod(native.c_str(), mode) == 0 || FailWithErrno();
}
}

namespace LumoUtil
{

bool FileExists(std::wstring path)
{
    struct stat info{};
    if (::lstat(ToNativePath(path).c_str(), &info) != 0)
        return FailWithErrno();
    return true;
}

bool IsDirectory(std::wstring path)
{
    struct stat info{};
    if (::lstat(ToNativePath(path).c_str(), &info) != 0)
        return FailWithErrno();
    return S_ISDIR(info.st_mode);
}

bool SetReadOnly(std::wstring path)
{
    return ChangeReadOnly(path, true);
}

bool ClearReadOnly(std::wstring path)
{
    return ChangeReadOnly(path, false);
}

LUMORESULT GetFileSize(std::wstring path, uint64_t& size)
{
    struct stat info{};
    if (::stat(ToNativePath(path).c_str(), &info) != 0)
    {
        platform::SetLastErrorFromErrno(errno);
        size = 0;
        return LUMORESULT_IO_ERROR;
    }
    size = static_cast<uint64_t>(info.st_size);
    return LUMORESULT_OK;
}

LUMORESULT GetFileTime(std::wstring path, uint64_t& time)
{
    struct stat info{};
    if (::stat(ToNativePath(path).c_str(), &info) != 0)
    {
        platform::SetLastErrorFromErrno(errno);
        time = 0;
        return LUMORESULT_IO_ERROR;
    }
    time = info.st_mtim.tv_sec < 0 ? 0 : static_cast<uint64_t>(info.st_mtim.tv_sec);
    return LUMORESULT_OK;
}

bool DeleteFile(std::wstring path)
{
    if (path.empty())
    {
        platform::SetLastError(platform::kErrorPathNotFound);
        return false;
    }
    const std::string native = ToNativePath(path);
    struct stat info{};
    if (::lstat(native.c_str(), &info) != 0)
        return FailWithErrno();
    if (S_ISDIR(info.st_mode) || (S_ISREG(info.st_mode) && IsReadOnlyMode(info.st_mode)))
    {
        platform::SetLastError(platform::kErrorAccessDenied);
        return false;
    }
    return ::unlink(native.c_str()) == 0 || FailWithErrno();
}

bool CreateFileIfMissing(std::wstring path)
{
    if (FileExists(path))
        return false;
    // Exclusive, so that a file another process creates at the same moment is never overwritten.
    const int fd = ::open(ToNativePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return FailWithErrno();
    const bool written = ::write(fd, "\r\n", 2) == 2 && ::fsync(fd) == 0;
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed)
    {
        platform::SetLastErrorFromErrno(written ? errno : writeError);
        return false;
    }
    return true;
}

std::wstring MakeTempFileName(std::wstring dir)
{
    ReplaceSeparators(dir, L'\\');
    std::wstring name;
    bool madeParent = false;
    // Skips names that are taken; gives up after a bounded number of tries and returns the last name.
    for (int attempt = 0; attempt < 64; ++attempt)
    {
        const uint32_t number = TempNameCounter().fetch_add(1);
        name = JoinPath(dir, L"file" + std::to_wstring(number));
        if (::mkdir(ToNativePath(name).c_str(), 0700) == 0)
            return name;
        if (errno == EEXIST)
            continue;
        if (errno == ENOENT && !madeParent && !dir.empty())
        {
            madeParent = true;
            if (MakeDirectory(dir))
                continue;
        }
        platform::SetLastErrorFromErrno(errno);
        break;
    }
    return name;
}

std::string GetMachineTag()
{
    char host[512] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    const time_t now = ::time(nullptr);
    tm local{};
    ::localtime_r(&now, &local);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, " %02d/%02d/%02d %02d:%02d:%02d %u", local.tm_mon + 1,
                  local.tm_mday, local.tm_year % 100, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<unsigned>(std::rand()));
    std::string tag = std::string(host) + stamp;
    for (char& c : tag)
    {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '_' || c == ' ';
        if (!keep)
            c = '-';
    }
    return tag;
}

}  // namespace LumoUtil

bool MakeDirectory(std::wstring path)
{
    return MakeNativeDirectory(ToNativePath(path));
}
