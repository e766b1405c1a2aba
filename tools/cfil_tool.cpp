// cfil-tool pack IN OUT:   writes IN as the kernel's "CFIL" compressed container OUT.
// cfil-tool unpack IN OUT: expands the container IN into OUT.
// OUT is written beside itself and renamed in on success only. Exit status 0 on success, 1 on a
// failure (reported on standard error), 2 on bad usage.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Kiln/Src/Kiln/KernelStandard/KilnException.h"
#include "Kiln/Src/Kiln/KernelStandard/KilnFile.h"
#include "tools/ArgumentCheck.h"
#include "tools/ToolSupport.h"

namespace
{

constexpr char kHelp[] =
    "usage: cfil-tool pack IN OUT\n"
    "       cfil-tool unpack IN OUT\n"
    "Packs the file IN into the engine's compressed container (\"CFIL\") OUT, or unpacks the container IN\n"
    "into the file OUT. OUT is replaced only when the whole run succeeds; IN and OUT must differ.\n"
    "Exit status: 0 done, 1 failed (the reason on standard error), 2 bad command line.\n";

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

int Run(const char* command, const std::string& inPath, const std::string& outPath)
{
    const bool pack = std::strcmp(command, "pack") == 0;
    if (const std::string why = tools::NotARegularFile(inPath); !why.empty())
        return Fail(inPath + ": " + why);
    if (tools::IsSameFile(inPath, outPath))
        return Fail(inPath + " and " + outPath + " are the same file");
    tools::ReplacementFile output(outPath);
    Kiln::File in, out;
    if (!in.Open(inPath.c_str(), pack ? Kiln::File::OpenMode::Read : Kiln::File::OpenMode::CompressedRead))
        return Fail(in.ErrorText());
    if (!out.Open(output.Path().c_str(), pack ? Kiln::File::OpenMode::CompressedWrite : Kiln::File::OpenMode::Write))
        return Fail(output.Shown(out.ErrorText()));
    const uint32_t expected = in.Size();
    if (!Copy(in, out, expected))
    {
        const std::string why = !in.ErrorText().empty()    ? in.ErrorText()
                                : !out.ErrorText().empty() ? output.Shown(out.ErrorText())
                                                           : inPath + ": ended early";
        out.Close();
        return Fail(why);
    }
    if (out.Close() != 0)
        return Fail(output.Shown(out.ErrorText()));
    if (const int error = output.Commit())
        return Fail(outPath + ": cannot be stored: " + std::strerror(error));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (tools::AsksForHelp(argc, argv))
        return tools::PrintHelp(kHelp);
    if (const std::string wrong = tools::WrongActionForm(tools::ArgumentsFrom(argc, argv),
                                                         {{"pack", {"IN", "OUT"}}, {"unpack", {"IN", "OUT"}}});
        !wrong.empty())
        return tools::WrongCommandLine("cfil-tool", wrong, kHelp);
    tools::SilenceLibraryLines();
    try
    {
        return Run(argv[1], argv[2], argv[3]);
    }
    catch (const Kiln::Exception& error)
    {
        return Fail(error.Message());
    }
}
