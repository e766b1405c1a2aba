// container-tool compress IN OUT | decompress IN OUT: writes the chunked zlib container of a file,
// or the file held in one. OUT is written beside itself and renamed in on success only. Exit
// status 0 on success; on failure what failed and why go to standard error and the status is 1
// (2 for a bad command line).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "lumo/buffers/Compression.h"
#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/buffers/LumoResult.h"
#include "platform/NativePath.h"
#include "tools/ArgumentCheck.h"
#include "tools/ToolSupport.h"

namespace
{
constexpr char kHelp[] =
    "usage: container-tool compress IN OUT\n"
    "       container-tool decompress IN OUT\n"
    "Writes the file IN as the patcher's chunked zlib container OUT, or the file held in the container\n"
    "IN as OUT. OUT is replaced only when the whole run succeeds; IN and OUT must differ.\n"
    "Exit status: 0 done, 1 failed (the reason on standard error), 2 bad command line.\n";

// The output file, remembering whether a write of its own failed and the system's reason: the
// library reports a damaged container and a full disk alike. A seek counts as a write: it writes
// out what the file still buffers.
class WatchedOutput : public LumoDataBufferFile
{
public:
    using LumoDataBufferFile::LumoDataBufferFile;
    LUMORESULT WriteData(const void* data, uint32_t length) override
    {
        errno = 0;
        return Watched(LumoDataBufferFile::WriteData(data, length));
    }
    LUMORESULT SetPosition(uint64_t position) override
    {
        errno = 0;
        return Watched(LumoDataBufferFile::SetPosition(position));
    }
    bool writeFailed = false;
    int writeError = 0;

private:
    LUMORESULT Watched(LUMORESULT result)
    {
        if (result != LUMORESULT_OK && !writeFailed)
        {
            writeFailed = true;
            writeError = errno ? errno : EIO;
        }
        return result;
    }
};

int Fail(const std::string& action, const std::string& in, const std::string& out, const std::string& what)
{
    std::fprintf(stderr, "container-tool: %s %s -> %s: %s\n", action.c_str(), in.c_str(), out.c_str(), what.c_str());
    return 1;
}

std::string NotWritten(const WatchedOutput& output)
{
    return std::string("the output could not be written: ") + std::strerror(output.writeError);
}

// What a failed decompression means for the user.
int FailDecompress(const std::string& in, const std::string& out, LumoDataBuffer& source, const WatchedOutput& output)
{
    if (output.writeFailed)
        return Fail("decompress", in, out, NotWritten(output));
    if (source.GetPosition() >= source.GetSize())
        return Fail("decompress", in, out, "the container is cut short");
    return Fail("decompress", in, out, "the container is damaged (not what compress writes)");
}
} // namespace

int main(int argc, char** argv)
{
    if (tools::AsksForHelp(argc, argv))
        return tools::PrintHelp(kHelp);
    if (const std::string wrong = tools::WrongActionForm(tools::ArgumentsFrom(argc, argv),
                                                         {{"compress", {"IN", "OUT"}}, {"decompress", {"IN", "OUT"}}});
        !wrong.empty())
        return tools::WrongCommandLine("container-tool", wrong, kHelp);
    const std::string action = argv[1];
    tools::SilenceLibraryLines();
    const std::string in = argv[2];
    const std::string out = argv[3];

    errno = 0;
    const std::string notAFile = tools::NotARegularFile(in);
    LumoDataBufferFile source(FromNativePath(in), LumoDataBufferFile::MODE_READ);
    if (!notAFile.empty() || !source.IsOpen())
    {
        std::fprintf(stderr, "container-tool: %s: cannot open %s for reading: %s\n", action.c_str(), in.c_str(),
                     notAFile.empty() ? std::strerror(errno) : notAFile.c_str());
        return 1;
    }
    if (tools::IsSameFile(in, out))
    {
        std::fprintf(stderr, "container-tool: %s: %s and %s are the same file\n", action.c_str(), in.c_str(),
                     out.c_str());
        return 1;
    }
    tools::ReplacementFile replacement(out);
    errno = 0;
    WatchedOutput destination(FromNativePath(replacement.Path()), LumoDataBufferFile::MODE_WRITE);
    if (!destination.IsOpen())
    {
        std::fprintf(stderr, "container-tool: %s: cannot open %s for writing: %s\n", action.c_str(), out.c_str(),
                     std::strerror(errno ? errno : EIO));
        return 1;
    }

    const bool compress = action == "compress";
    const LUMORESULT result = compress ? LumoUtil::CompressData(destination, source)
                                       : LumoUtil::DecompressData(destination, source);
    if (result != LUMORESULT_OK)
    {
        destination.Close();
        if (!compress)
            return FailDecompress(in, out, source, destination);
        return Fail(action, in, out,
                    destination.writeFailed ? NotWritten(destination) : "compression failed: " + LumoUtil::DescribeResult(result));
    }
    if (!compress && source.GetPosition() != source.GetSize())
    {
        destination.Close();
        return Fail(action, in, out, "bytes follow the container's last chunk");
    }
    errno = 0;
    if (destination.Close() != LUMORESULT_OK)
        return Fail(action, in, out, std::string("the output could not be stored: ") + std::strerror(errno ? errno : EIO));
    if (const int error = replacement.Commit())
        return Fail(action, in, out, std::string("the output could not be stored: ") + std::strerror(error));
    return 0;
}
