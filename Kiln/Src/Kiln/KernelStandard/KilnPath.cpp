#include "Kiln/Src/Kiln/KernelStandard/KilnPath.h"

#include <atomic>
#include <cstring>

namespace Kiln
{

namespace
{

std::atomic<bool> g_pathTooLong{false};

bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

void TooLong(char* dst)
{
    g_pathTooLong = true;
    dst[0] = '\0';
}

}  // namespace

void PathCopy(char* dst, const char* src)
{
    const size_t length = src ? std::strlen(src) : 0;
    if (length >= kKilnPathSize)
    {
        TooLong(dst);
        return;
    }
    std::memcpy(dst, src ? src : "", length + 1);
}

void PathJoin(char* dst, const char* part, size_t maxPartLength)
{
    size_t length = std::strlen(dst);
    const bool wasEmpty = length == 0;
    if (!wasEmpty && !IsSeparator(dst[length - 1]))
    {
        if (length + 1 >= kKilnPathSize)
        {
            TooLong(dst);
            return;
        }
        dst[length++] = '/';
        dst[length] = '\0';
    }
    if (!part)
        return;
    if (!wasEmpty)
        while (IsSeparator(*part))
            ++part;
    size_t n = std::strlen(part);
    if (n > maxPartLength)
        n = maxPartLength;
    if (length + n >= kKilnPathSize)
    {
        TooLong(dst);
        return;
    }
    std::memcpy(dst + length, part, n);
    dst[length + n] = '\0';
}

void PathToForwardSlashes(char* path)
{
    for (; *path; ++path)
        if (*path == '\\')
            *path = '/';
}

bool IsKilnPathTooLong()
{
    return g_pathTooLong.load();
}

void ClearKilnPathTooLong()
{
    g_pathTooLong = false;
}

std::wstring GetParentDirectory(const std::wstring& path)
{
    size_t end = path.size();
    while (end > 0 && (path[end - 1] == L'/' || path[end - 1] == L'\\'))
        --end;
    while (end > 0 && path[end - 1] != L'/' && path[end - 1] != L'\\')
        --end;
    return path.substr(0, end);
}

}  // namespace Kiln
