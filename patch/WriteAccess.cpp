#include "patch/WriteAccess.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lumo/files/FileUtil.h"
#include "lumo/files/InstallDoor.h"
#include "lumo/text/PathUtil.h"
#include "lumo/text/SafePath.h"
#include "platform/FileInUse.h"
#include "platform/LastError.h"
#include "platform/NativePath.h"
#include "platform/Registry.h"
#include "platform/TempFolder.h"

namespace
{

constexpr wchar_t kMakerKey[] = L"Software\\Kestin";
constexpr wchar_t kGameExecutable[] = L"bin/Sollex.exe";

std::wstring ErrorText(uint32_t code)
{
    std::string text;
    if (!platform::LookUpErrorText(code, text))
        text = "error " + std::to_string(code);
    return FromNativePath(text);
}

bool Refuse(std::wstring* reason, const std::wstring& why)
{
    if (reason != nullptr)
        *reason = why;
    return false;
}

// Tests 1 to 3: what does not depend on the installation.
bool CheckMachineAccess(std::wstring* reason)
{
    {
        platform::RegistryKey key;
        key.Create(platform::RegistryHive::LocalMachine, kMakerKey, 0);
    }
    platform::RegistryKey key;
    const uint32_t opened = key.Open(platform::RegistryHive::LocalMachine, kMakerKey, platform::kKeyWrite);
    if (opened != platform::kErrorSuccess)
        return Refuse(reason, L"the registry key HKEY_LOCAL_MACHINE\\" + std::wstring(kMakerKey) + L" below " +
                                  FromNativePath(platform::GetRegistryRoot()) + L" cannot be opened for writing: " +
                                  ErrorText(opened));
    key.Close();

    if (platform::PrivateTempFolder().empty())
        return Refuse(reason, L"no temporary folder can be made: " + ErrorText(platform::GetLastError()));
    return true;
}

// Tests 5 and 6 through the installation's door.
bool CheckGameExecutable(const LumoUtil::InstallDoor& door, std::wstring* reason);

} // namespace

bool CheckWriteAccess(const std::wstring& installDir, std::wstring* reason)
{
    if (!CheckMachineAccess(reason))
        return false;

    // Without the game's executable the folder itself says whether the patch can write there. A
    // folder that is not there is not refused here: the run's own checks name it.
    const std::string folder = ToNativePath(installDir);
    const int folderError = installDir.empty() || access(folder.c_str(), W_OK) == 0 ? 0 : errno;
    if (folderError != 0 && folderError != ENOENT && folderError != ENOTDIR)
        return Refuse(reason, L"the installation folder " + FromNativePath(folder) + L" cannot be written: " +
                                  FromNativePath(std::strerror(folderError)));

    if (installDir.empty())
        return true;
    std::wstring ignored;
    const std::shared_ptr<LumoUtil::InstallDoor> door = LumoUtil::InstallDoor::Open(installDir, ignored);
    return !door || CheckGameExecutable(*door, reason);
}

bool CheckWriteAccess(const LumoUtil::InstallDoor& door, std::wstring* reason)
{
    if (!CheckMachineAccess(reason))
        return false;
    // The folder the take holds, whatever name stands for it now.
    if (::faccessat(door.Fd(), ".", W_OK, 0) != 0)
        return Refuse(reason, L"the installation folder " + door.Root() + L" cannot be written: " +
                                  FromNativePath(std::strerror(errno)));
    return CheckGameExecutable(door, reason);
}

namespace
{

bool CheckGameExecutable(const LumoUtil::InstallDoor& door, std::wstring* reason)
{
    // The game's executable as a case-insensitive file system would find it, through the
    // installation's door: the file a link inside leads to is the one checked, and nothing is
    // opened through a link or waited on.
    std::wstring ignored;
    LumoUtil::InstallFile found;
    if (!door.Reach(kGameExecutable, found, ignored) || found.kind != LumoUtil::InstallFileKind::Regular)
        return true;  // nothing the patch could write there: its own checks name what stands there
    const std::wstring executable = found.path;
    std::string leaf;
    const int parent = door.OpenParent(found.relative, leaf, ignored);
    const int fd = parent < 0 ? -1 : ::openat(parent, leaf.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int error = errno;
    if (parent >= 0)
        ::close(parent);
    if (fd < 0)
        return Refuse(reason, executable + L" cannot be opened for writing (no write access, or the game is running): " +
                                  FromNativePath(std::strerror(error)));
    ::close(fd);
    if (platform::ProbeFileInUse(ToNativePath(executable)) == platform::FileUse::InUse)
        return Refuse(reason, executable + L" is in use by another program (is the game running?)");
    return true;
}

} // namespace

bool IsOnReadOnlyFileSystem(const std::wstring& installDir)
{
    struct statvfs volume;
    return !installDir.empty() && statvfs(ToNativePath(installDir).c_str(), &volume) == 0 &&
           (volume.f_flag & ST_RDONLY) != 0;
}
