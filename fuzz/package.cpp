// Reads arbitrary bytes as a patch package: item by item from memory, and unpacked for real into a
// throw-away folder. Whatever the bytes, nothing may appear outside that folder, and a successful
// unpack must have consumed the package exactly.

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "lumo/files/FileUtil.h"
#include "lumo/buffers/LumoDataBuffer.h"
#include "patch/PatchPackage.h"
#include "platform/NativePath.h"

namespace
{
std::string g_root;

// The names in g_root: only the package and the unpack folder may be there.
bool RootHoldsOnlyOurs()
{
    DIR* dir = opendir(g_root.c_str());
    if (dir == nullptr)
        return false;
    bool ok = true;
    while (dirent* entry = readdir(dir))
    {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name != "p.zip" && name != "dest")
            ok = false;
    }
    closedir(dir);
    return ok;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    SilenceStandardOutput();
    // Two levels, so that an escape by ".." from dest lands in g_root where it is seen.
    g_root = MakeFuzzFolder("fuzz-package") + "/root";
    Check(mkdir(g_root.c_str(), 0700) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PatchPackageItem item;
    std::wstring error;
    ParsePatchItemHeader(data, size, 2, item, error);

    LumoDataBufferMemoryStatic memory(const_cast<uint8_t*>(data), static_cast<uint32_t>(size));
    PatchPackageReader reader(memory);
    if (reader.ReadFormatVersion() == LUMORESULT_OK)
    {
        while (!reader.AtEnd() && reader.ReadItem(item) == LUMORESULT_OK)
        {
            if (item.isFolder)
                continue;
            LumoDataBufferMemoryDynamic content;
            uint64_t length = 0;
            if (reader.ReadFileData(content, length) != LUMORESULT_OK)
                break;
            Check(length == content.GetSize());
        }
    }

    const std::string package = g_root + "/p.zip";
    const int fd = ::open(package.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Check(fd >= 0);
    Check(::write(fd, data, size) == static_cast<ssize_t>(size));
    ::close(fd);
    const std::wstring destination = FromNativePath(g_root + "/dest");
    UnpackPatchPackage(FromNativePath(package), destination, &error);
    Check(RootHoldsOnlyOurs());
    Check(!LumoUtil::FileExists(FromNativePath(g_root + "/../x")));
    LumoUtil::DeleteDirectory(destination);
    return 0;
}
