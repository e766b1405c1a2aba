// container-tool compress IN OUT | decompress IN OUT: writes the chunked zlib container of a file,
// or the file held in one. Exit status 0 on success; on failure the LUMORESULT name and what failed
// go to standard error, the incomplete OUT is removed and the status is 1 (2 for a bad command line).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "lumo/buffers/Compression.h"
#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/buffers/LumoResult.h"
#include "platform/NativePath.h"

namespace
{
// Why a file could not be opened: the file buffer refuses folders itself, without an errno of
// its own; anything else is the open's errno.
std::string OpenFailureReason(const std::string& path, int openErrno)
{
    struct stat info = {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return "it is a folder";
    return std::strerror(openErrno);
}

int Fail(const char* action, const std::string& in, const std::string& out, const char* what, LUMORESULT code)
{
    std::fprintf(stderr, "container-tool: %s %s -> %s: %s: %s (%u)\n", action, in.c_str(), out.c_str(), what,
                 LumoUtil::GetResultName(code).c_str(), code);
    ::unlink(out.c_str());
    return 1;
}
} // namespace

int main(int argc, char** argv)
{
    const std::string action = argc == 4 ? argv[1] : "";
    if (action != "compress" && action != "decompress")
    {
        std::fprintf(stderr, "usage: container-tool compress IN OUT\n"
                             "       container-tool decompress IN OUT\n");
        return 2;
    }
    const std::string in = argv[2];
    const std::string out = argv[3];

    errno = 0;
    LumoDataBufferFile source(FromNativePath(in), LumoDataBufferFile::MODE_READ);
    if (!source.IsOpen())
    {
        std::fprintf(stderr, "container-tool: %s: cannot open %s for reading: %s\n", action.c_str(), in.c_str(),
                     OpenFailureReason(in, errno).c_str());
        return 1;
    }
    struct stat inInfo = {}, outInfo = {};
    if (::stat(in.c_str(), &inInfo) == 0 && ::stat(out.c_str(), &outInfo) == 0 && inInfo.st_dev == outInfo.st_dev &&
        inInfo.st_ino == outInfo.st_ino)
    {
        std::fprintf(stderr, "container-tool: %s: %s and %s are the same file\n", action.c_str(), in.c_str(),
                     out.c_str());
        return 1;
    }
    errno = 0;
    LumoDataBufferFile destination(FromNativePath(out), LumoDataBufferFile::MODE_WRITE);
    if (!destination.IsOpen())
    {
        std::fprintf(stderr, "container-tool: %s: cannot open %s for writing: %s\n", action.c_str(), out.c_str(),
                     OpenFailureReason(out, errno).c_str());
        return 1;
    }

    const bool compress = action == "compress";
    const LUMORESULT result = compress ? LumoUtil::CompressData(destination, source)
                                       : LumoUtil::DecompressData(destination, source);
    if (result != LUMORESULT_OK)
    {
        destination.Close();
        return Fail(action.c_str(), in, out, compress ? "compression failed" : "decompression failed", result);
    }
    if (!compress && source.GetPosition() != source.GetSize())
    {
        destination.Close();
        return Fail(action.c_str(), in, out, "bytes follow the container's last chunk", LUMORESULT_BAD_FORMAT);
    }
    const LUMORESULT closed = destination.Close();
    if (closed != LUMORESULT_OK)
        return Fail(action.c_str(), in, out, "the output could not be stored", closed);
    return 0;
}
