#include "patch/WriteAccess.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lumo/files/FileUtil.h"
#include "lumo/buffers/LumoDataBufferFile.h"
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

} // namespace

bool CheckWriteAccess(const std::wstring& installDir, std::wstring* reason)
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

    // Without the game's executable the folder itself says whether the patch can write there. A
    // folder that is not there is not refused here: the run's own checks name it.
    const std::string folder = ToNativePath(installDir);
    const int folderError = installDir.empty() || access(folder.c_str(), W_OK) == 0 ? 0 : errno;
    if (folderError != 0 && folderError != ENOENT && folderError != ENOTDIR)
        return Refuse(reason, L"the installation folder " + FromNativePath(folder) + L" cannot be written: " +
                                  FromNativePath(std::strerror(folderError)));

    // The game's executable as a case-insensitive file system would find it; where the install
    // folder cannot be searched that way, the plain path decides.
    std::wstring executable, ignored;
    if (!LumoUtil::ResolveInstallPath(installDir, kGameExecutable, executable, ignored))
        executable = LumoUtil::JoinPath(installDir, kGameExecutable);
    if (!LumoUtil::FileExists(executable))
        return true;

    LumoDataBufferFile file(executable, LumoDataBufferFile::MODE_READ_WRITE);
    if (!file.IsOpen())
    {
        const int error = errno;
        return Refuse(reason, executable + L" cannot be opened for writing (no write access, or the game is running): " +
                                  FromNativePath(std::strerror(error)));
    }
    file.Close();
    if (platform::ProbeFileInUse(ToNativePath(executable)) == platform::FileUse::InUse)
        return Refuse(reason, executable + L" is in use by another program (is the game running?)");
    return true;
}

bool IsOnReadOnlyFileSystem(const std::wstring& installDir)
{
    struct statvfs volume;
    return !installDir.empty() && statvfs(ToNativePath(installDir).c_str(), &volume) == 0 &&
           (volume.f_flag & ST_RDONLY) != 0;
}
