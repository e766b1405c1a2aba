#include "lumo/net/RepairFileAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/NativePath.h"

namespace LumoNet
{

namespace
{
// Gives the regular file relative its owner's write bit when it lacks it; the descriptor (read
// only, never through a link, never blocking) and the mode it had, for putting it back. -1 when
// nothing was changed.
int LiftReadOnly(const LumoUtil::InstallDoor& door, const std::wstring& relative, mode_t& kept)
{
    std::wstring ignored;
    struct stat info{};
    const int fd = door.OpenForReading(relative, ignored, &info);
    if (fd >= 0 && (info.st_mode & S_IWUSR) == 0 &&
        ::fchmod(fd, (info.st_mode & 07777) | S_IWUSR) == 0)
    {
        kept = info.st_mode & 07777;
        return fd;
    }
    if (fd >= 0)
        ::close(fd);
    return -1;
}
} // namespace

std::wstring NotAFileText(const LumoUtil::InstallDoor& door, const std::wstring& relative)
{
    const LumoUtil::InstallFile standing = door.Look(relative);
    const std::wstring where = L"\"" + standing.path + L"\"";
    if (standing.kind == LumoUtil::InstallFileKind::Unreachable)
        return standing.reason;
    if (standing.kind == LumoUtil::InstallFileKind::Missing)
        return L"cannot look at " + where + L": " + ErrnoText(ENOENT);
    if (standing.kind == LumoUtil::InstallFileKind::Regular)
        return where + L" is a file again: it was left as it is";
    return where + L" is " + LumoUtil::InstallDoor::KindText(standing.mode) + L", not a file: it was left as it is";
}

int OpenForRepairWrite(const LumoUtil::InstallDoor& door, const std::wstring& relative, bool create,
                       std::wstring& error, int& reason)
{
    reason = 0;
    const size_t slash = relative.find_last_of(L"/\\");
    if (create && slash != std::wstring::npos && !door.MakeFolders(relative.substr(0, slash), error, &reason))
    {
        reason = reason ? reason : ENOTDIR;
        return -1;
    }
    mode_t kept = 0;
    const int lifted = create ? -1 : LiftReadOnly(door, relative, kept);
    const int fd = door.OpenForWriteInPlace(relative, create, error, &reason);
    if (fd < 0 && reason == 0)
        reason = EINVAL;
    if (lifted >= 0)
    {
        // A file left as it was, or one whose name now has a copy of its own, keeps its mode.
        if (fd < 0 || LumoUtil::IdentityOf(fd) != LumoUtil::IdentityOf(lifted))
            (void)::fchmod(lifted, kept);
        ::close(lifted);
    }
    return fd;
}

bool CutForRepair(const LumoUtil::InstallDoor& door, const std::wstring& relative, uint64_t length,
                  std::wstring& error, int& reason)
{
    const int fd = OpenForRepairWrite(door, relative, false, error, reason);
    if (fd < 0)
        return false;
    bool cut = ::ftruncate(fd, off_t(length)) == 0 && ::fsync(fd) == 0;
    reason = cut ? 0 : errno;
    if (::close(fd) != 0 && cut)
    {
        cut = false;
        reason = errno;
    }
    if (!cut)
        error = L"cannot cut \"" + door.Root() + L"/" + relative + L"\" to " + std::to_wstring(length) +
                L" bytes: " + ErrnoText(reason);
    return cut;
}

} // namespace LumoNet
