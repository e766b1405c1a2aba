// archive-tool list EXE: one line per package of the patch archive appended to EXE: source build,
//   target build, payload offset and payload size, separated by spaces.
// archive-tool extract EXE SOURCE_BUILD DEST: copies the package for SOURCE_BUILD, byte for byte,
//   into the new file DEST.
// Exit status 0 on success; on failure what failed goes to standard error and the status is 1 (2
// for a wrong command line).
#include <cstdio>
#include <cstring>
#include <string>

#include "lumo/buffers/LumoResult.h"
#include "patch/EmbeddedPatchArchive.h"
#include "platform/NativePath.h"
#include "tools/ArgumentCheck.h"
#include "tools/ToolSupport.h"

namespace
{
constexpr char kTool[] = "archive-tool";

int Fail(const std::wstring& what)
{
    return tools::PrintFailure(kTool, what);
}

constexpr char kUsage[] = "archive-tool list EXE\n"
                         "       archive-tool extract EXE SOURCE_BUILD DEST\n";
constexpr char kAbout[] =
    "Reads the patch archive appended to the patcher executable EXE. list prints one line per package:\n"
    "source build, target build, payload offset and size. extract copies the package that patches\n"
    "SOURCE_BUILD, byte for byte, into DEST (replaced only when the whole copy succeeds).\n"
    "Exit status: 0 done, 1 failed (the reason on standard error), 2 bad command line.\n";

} // namespace

int main(int argc, char** argv)
{
    tools::LibraryLinesToStandardError();
    if (tools::AsksForHelp(argc, argv))
        return tools::PrintHelp((std::string("usage: ") + kUsage + kAbout).c_str());
    if (const std::string wrong = tools::WrongActionForm(tools::ArgumentsFrom(argc, argv), {{"list", {"EXE"}}, {"extract", {"EXE", "SOURCE_BUILD", "DEST"}}});
        !wrong.empty())
        return tools::WrongCommandLine(kTool, wrong, std::string("usage: ") + kUsage + kAbout);
    const std::string action = argv[1];

    EmbeddedPatchArchive archive;
    const LUMORESULT opened = archive.Open(FromNativePath(argv[2]));
    if (opened != LUMORESULT_OK)
        return Fail(archive.GetLastErrorText());

    if (action == "list")
    {
        for (const EmbeddedPatchEntry& entry : archive.GetEntries())
            std::printf("%s %s %llu %llu\n", entry.sourceVersion.c_str(), entry.targetVersion.c_str(),
                        static_cast<unsigned long long>(entry.payloadOffset),
                        static_cast<unsigned long long>(entry.payloadSize));
        return tools::FinishOutput(kTool, 0);
    }
    tools::ReplacementFile destination(argv[4]);
    const LUMORESULT extracted = archive.ExtractPatch(argv[3], FromNativePath(destination.Path()));
    if (extracted != LUMORESULT_OK)
        return Fail(destination.Shown(archive.GetLastErrorText()));
    if (const int error = destination.Commit())
        return Fail(FromNativePath(std::string(argv[4]) + ": cannot be stored: " + std::strerror(error)));
    return 0;
}
