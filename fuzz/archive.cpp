// Reads arbitrary bytes as a file with an appended patch archive: opens it, asks every question
// of its directory and extracts each package. A package that comes out must be exactly the bytes
// its entry names, all inside the file.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "lumo/files/FileUtil.h"
#include "patch/EmbeddedPatchArchive.h"
#include "platform/NativePath.h"

namespace
{
std::string g_folder;

std::string ReadAll(const std::string& path)
{
    std::string bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return bytes;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_folder = MakeFuzzFolder("fuzz-archive");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string exe = g_folder + "/patcher.exe";
    const std::string out = g_folder + "/out.zip";
    const int fd = ::open(exe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Check(fd >= 0);
    Check(::write(fd, data, size) == static_cast<ssize_t>(size));
    ::close(fd);

    EmbeddedPatchArchive archive;
    const LUMORESULT opened = archive.Open(FromNativePath(exe));
    Check((opened == LUMORESULT_OK) == archive.IsOpen());
    Check(opened == LUMORESULT_OK || !archive.GetLastErrorText().empty());
    for (const std::string& source : archive.GetSourceVersions())
    {
        archive.GetTargetVersion(source);
        const LUMORESULT extracted = archive.ExtractPatch(source, FromNativePath(out));
        Check(extracted == LUMORESULT_OK);
        const EmbeddedPatchEntry* entry = nullptr;
        for (const EmbeddedPatchEntry& candidate : archive.GetEntries())
        {
            if (candidate.sourceVersion == source)
            {
                entry = &candidate;
                break;
            }
        }
        Check(entry != nullptr && entry->payloadOffset + entry->payloadSize <= size);
        const std::string copied = ReadAll(out);
        Check(copied.size() == entry->payloadSize &&
              std::memcmp(copied.data(), data + entry->payloadOffset, copied.size()) == 0);
        ::unlink(out.c_str());
    }
    return 0;
}
