// archive-tool list EXE: one line per package of the patch archive appended to EXE: source build,
//   target build, payload offset and payload size, separated by spaces.
// archive-tool extract EXE SOURCE_BUILD DEST: copies the package for SOURCE_BUILD, byte for byte,
//   into the new file DEST.
// Exit status 0 on success; on failure the LUMORESULT name and what failed go to standard error and
// the status is 1 (2 for a bad command line).
#include <cstdio>
#include <string>

#include "lumo/buffers/LumoResult.h"
#include "patch/EmbeddedPatchArchive.h"
#include "platform/NativePath.h"
#include "tools/ToolSupport.h"

namespace
{
constexpr char kTool[] = "archive-tool";

int Fail(LUMORESULT code, const std::wstring& what)
{
    return tools::PrintFailure(kTool, code, what);
}

int Usage()
{
    return tools::PrintUsage(kTool, "archive-tool list EXE\n"
                                    "       archive-tool extract EXE SOURCE_BUILD DEST\n");
}
} // namespace

int main(int argc, char** argv)
{
    const std::string action = argc >= 2 ? argv[1] : "";
    if (!((action == "list" && argc == 3) || (action == "extract" && argc == 5)))
        return Usage();

    EmbeddedPatchArchive archive;
    const LUMORESULT opened = archive.Open(FromNativePath(argv[2]));
    if (opened != LUMORESULT_OK)
        return Fail(opened, archive.GetLastErrorText());

    if (action == "list")
    {
        for (const EmbeddedPatchEntry& entry : archive.GetEntries())
            std::printf("%s %s %llu %llu\n", entry.sourceVersion.c_str(), entry.targetVersion.c_str(),
                        static_cast<unsigned long long>(entry.payloadOffset),
                        static_cast<unsigned long long>(entry.payloadSize));
        return std::fflush(stdout) == 0 ? 0 : Fail(LUMORESULT_IO_ERROR, L"standard output cannot be written");
    }
    const LUMORESULT extracted = archive.ExtractPatch(argv[3], FromNativePath(argv[4]));
    if (extracted != LUMORESULT_OK)
        return Fail(extracted, archive.GetLastErrorText());
    return 0;
}
