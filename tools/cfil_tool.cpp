// cfil-tool pack IN OUT:   writes IN as the kernel's "CFIL" compressed container OUT.
// cfil-tool unpack IN OUT: expands the container IN into OUT.
// Exit status 0 on success, 1 on a failure (reported on standard error), 2 on bad usage.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Kiln/Src/Kiln/KernelStandard/KilnException.h"
#include "Kiln/Src/Kiln/KernelStandard/KilnFile.h"

namespace
{

int Fail(const std::string& text)
{
    std::fprintf(stderr, "cfil-tool: %s\n", text.c_str());
    return 1;
}

// Copies everything `in` gives to `out`; false when `in` ends early.
bool Copy(Kiln::File& in, Kiln::File& out, uint32_t expected)
{
    std::vector<uint8_t> block(1 << 20);
    uint32_t total = 0;
    for (;;)
    {
        const uint32_t n = in.Read(block.data(), static_cast<uint32_t>(block.size()));
        if (n == 0)
            break;
        if (out.Write(block.data(), n) != n)
            return false;
        total += n;
    }
    return total == expected;
}

int Run(const char* command, const char* inPath, const char* outPath)
{
    const bool pack = std::strcmp(command, "pack") == 0;
    Kiln::File in, out;
    if (!in.Open(inPath, pack ? Kiln::File::OpenMode::Read : Kiln::File::OpenMode::CompressedRead))
        return Fail(in.ErrorText());
    if (!out.Open(outPath, pack ? Kiln::File::OpenMode::CompressedWrite : Kiln::File::OpenMode::Write))
        return Fail(out.ErrorText());
    const uint32_t expected = in.Size();
    if (!Copy(in, out, expected))
    {
        const std::string why = !in.ErrorText().empty() ? in.ErrorText() : !out.ErrorText().empty() ? out.ErrorText() : std::string(inPath) + ": ended early";
        out.Close();
        return Fail(why);
    }
    if (out.Close() != 0)
        return Fail(out.ErrorText());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || (std::strcmp(argv[1], "pack") != 0 && std::strcmp(argv[1], "unpack") != 0))
    {
        std::fprintf(stderr, "usage: cfil-tool pack IN OUT | cfil-tool unpack IN OUT\n");
        return 2;
    }
    try
    {
        return Run(argv[1], argv[2], argv[3]);
    }
    catch (const Kiln::Exception& error)
    {
        return Fail(error.Message());
    }
}
