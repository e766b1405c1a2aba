#include "lumo/files/FreeSpace.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/NativePath.h"

namespace LumoUtil
{
namespace
{

// The test hook: path lies at or below the folder LUMO_TEST_NO_SPACE names.
bool IsMadeFullForTests(const std::string& path)
{
    const char* mode = getenv("LUMO_TEST_MODE");
    const char* folder = getenv("LUMO_TEST_NO_SPACE");
    if (!mode || strcmp(mode, "1") != 0 || !folder || !*folder)
        return false;
    std::string prefix = folder;
    while (prefix.size() > 1 && prefix.back() == '/')
        prefix.pop_back();
    return path.compare(0, prefix.size(), prefix) == 0 &&
           (path.size() == prefix.size() || path[prefix.size()] == '/' || prefix == "/");
}

}  // namespace

bool GetFreeDiskSpace(const std::wstring& path, uint64_t& freeBytes)
{
    freeBytes = 0;
    if (path.empty())
        return false;
    const std::string native = ToNativePath(path);
    struct statvfs volume = {};
    if (statvfs(native.c_str(), &volume) != 0)
        return false;
    if (!IsMadeFullForTests(native))
        freeBytes = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    return true;
}

bool IsDiskFull(const std::wstring& path, uint64_t* freeBytes)
{
    uint64_t free = 0;
    const bool known = GetFreeDiskSpace(path, free);
    if (freeBytes)
        *freeBytes = free;
    return known && free < kFullDiskBytes;
}

std::wstring NoSpaceText(const std::wstring& path, uint64_t freeBytes)
{
    return FromNativePath(strerror(ENOSPC)) + L" (" + std::to_wstring(freeBytes) + L" bytes free on the disk that holds " +
           FromNativePath(ToNativePath(path)) + L")";
}

}  // namespace LumoUtil
