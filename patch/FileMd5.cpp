#include "patch/FileMd5.h"

#include "lumo/buffers/Md5.h"
#include "lumo/text/TextConversion.h"
#include "platform/NativePath.h"

bool ComputeFileMD5(const std::wstring& path, std::wstring& digest)
{
    digest.clear();
    std::string hex;
    if (ComputeFileMD5Hex(ToNativePath(path), hex) != 0 || hex.empty())
        return false;
    digest = ToWide(hex);
    return true;
}
