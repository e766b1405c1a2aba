#include "patch/FileMd5.h"

#include <unistd.h>

#include <cerrno>

#include "lumo/buffers/Md5.h"
#include "lumo/text/TextConversion.h"

int ComputeFileMD5(int fd, std::wstring& digest, const std::function<bool()>& keepGoing)
{
    digest.clear();
    if (lseek(fd, 0, SEEK_SET) != 0)
        return errno;
    std::string hex;
    const int error = ComputeDescriptorMD5Hex(fd, hex, keepGoing);
    if (error != 0)
        return error;
    if (hex.empty())
        return EIO;
    digest = ToWide(hex);
    return 0;
}
