// md5-tool FILE...: prints "<32 hex digits>  <file>" for each file, as md5sum does. A file that
// cannot be read is reported on standard error and makes the exit status 1; the others are still
// hashed.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "lumo/buffers/Md5.h"
#include "tools/ArgumentCheck.h"
#include "tools/ToolSupport.h"

namespace
{
constexpr char kHelp[] =
    "usage: md5-tool FILE...\n"
    "Prints the MD5 digest of each FILE as \"<32 hex digits>  <file>\", the way the patcher checks files.\n"
    "Exit status: 0 all read, 1 some file could not be read or the output not written, 2 bad command line.\n";
} // namespace

int main(int argc, char** argv)
{
    tools::LibraryLinesToStandardError();
    if (tools::AsksForHelp(argc, argv))
        return tools::PrintHelp(kHelp);
    if (const std::string wrong = tools::WrongValues(tools::ArgumentsFrom(argc, argv), {"FILE..."}); !wrong.empty())
        return tools::WrongCommandLine("md5-tool", wrong, kHelp);
    int status = 0;
    for (int i = 1; i < argc; ++i)
    {
        std::string digest;
        const int error = ComputeFileMD5Hex(argv[i], digest);
        if (error != 0)
        {
            std::fprintf(stderr, "md5-tool: %s: cannot read the file: %s\n", argv[i], std::strerror(error));
            status = 1;
            continue;
        }
        std::printf("%s  %s\n", digest.c_str(), argv[i]);
    }
    return tools::FinishOutput("md5-tool", status);
}
