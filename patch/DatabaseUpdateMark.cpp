#include "patch/DatabaseUpdateMark.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/NativePath.h"

namespace
{

constexpr char kMarkText[] = "asset database update begun\n";

std::wstring Failure(const wchar_t* what, const std::string& path, int error)
{
    return std::wstring(what) + L" " + FromNativePath(path) + L": " +
           FromNativePath(std::generic_category().message(error));
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The rename that makes the note durable is itself on disk only once its folder is flushed.
bool SyncFolder(const std::string& folder, std::wstring& error)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0)
    {
        error = Failure(L"cannot flush the folder", folder, errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    close(fd);
    return true;
}

}  // namespace

std::wstring DatabaseUpdateMarkPath(const std::wstring& installDir)
{
    std::wstring folder = installDir;
    while (folder.size() > 1 && (folder.back() == L'/' || folder.back() == L'\\'))
        folder.pop_back();
    return (folder == L"/" ? L"" : folder) + L"/" + kDatabaseUpdateMarkName;
}

bool MarkDatabaseUpdateBegun(const std::wstring& installDir, std::wstring& error)
{
    const std::string mark = ToNativePath(DatabaseUpdateMarkPath(installDir));
    const std::string temporary = mark + ".new";
    unlink(temporary.c_str());  // one a killed patcher left; O_EXCL below refuses anything else
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        error = Failure(L"cannot create", temporary, errno);
        return false;
    }
    const ssize_t size = sizeof kMarkText - 1;
    errno = 0;
    const bool written = write(fd, kMarkText, size) == size && fsync(fd) == 0;
    const int writeError = errno ? errno : EIO;
    const bool closed = close(fd) == 0;
    if (!written || !closed)
    {
        error = Failure(L"cannot write", temporary, written ? errno : writeError);
        unlink(temporary.c_str());
        return false;
    }
    if (rename(temporary.c_str(), mark.c_str()) != 0)
    {
        error = Failure(L"cannot rename to its name", temporary, errno);
        unlink(temporary.c_str());
        return false;
    }
    return SyncFolder(FolderOf(mark), error);
}

bool ClearDatabaseUpdateMark(const std::wstring& installDir, std::wstring& error)
{
    const std::string mark = ToNativePath(DatabaseUpdateMarkPath(installDir));
    bool removed = false;
    for (const std::string& path : {mark + ".new", mark})
    {
        if (unlink(path.c_str()) == 0)
            removed = true;
        else if (errno != ENOENT)
        {
            error = Failure(L"cannot remove", path, errno);
            return false;
        }
    }
    return !removed || SyncFolder(FolderOf(mark), error);
}

bool IsDatabaseUpdateUnfinished(const std::wstring& installDir)
{
    if (installDir.empty())
        return false;
    // A note a kill cut off before its rename counts too: the utility was running by then.
    const std::string mark = ToNativePath(DatabaseUpdateMarkPath(installDir));
    struct stat status;
    return lstat(mark.c_str(), &status) == 0 || lstat((mark + ".new").c_str(), &status) == 0;
}
