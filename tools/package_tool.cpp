// package-tool list PKG: one line per item of the patch package PKG: "D" and the path for a
//   folder, "F", the content size and the path for a file, separated by spaces; first a line with
//   the format version.
// package-tool unpack PKG DEST: unpacks the package into the folder DEST (created when missing).
// Exit status 0 on success; on failure the LUMORESULT name and what failed (the item and its
// offset) go to standard error and the status is 1 (2 for a bad command line).
#include <cstdio>
#include <string>
#include <vector>

#include "lumo/buffers/LumoResult.h"
#include "patch/PatchPackage.h"
#include "platform/NativePath.h"
#include "tools/ToolSupport.h"

namespace
{
constexpr char kTool[] = "package-tool";

int Fail(LUMORESULT code, const std::wstring& what)
{
    return tools::PrintFailure(kTool, code, what);
}

int Usage()
{
    return tools::PrintUsage(kTool, "package-tool list PKG\n"
                                    "       package-tool unpack PKG DEST\n");
}
} // namespace

int main(int argc, char** argv)
{
    const std::string action = argc >= 2 ? argv[1] : "";
    if (!((action == "list" && argc == 3) || (action == "unpack" && argc == 4)))
        return Usage();
    const std::wstring package = FromNativePath(argv[2]);

    if (action == "list")
    {
        uint32_t version = 0;
        std::vector<PatchPackageListing> items;
        std::wstring error;
        const LUMORESULT result = ListPatchPackage(package, version, items, error);
        if (version != 0)
            std::printf("version %u\n", version);
        for (const PatchPackageListing& item : items)
        {
            if (item.isFolder)
                std::printf("D %s\n", tools::ForDisplay(item.path).c_str());
            else
                std::printf("F %llu %s\n", static_cast<unsigned long long>(item.size), tools::ForDisplay(item.path).c_str());
        }
        std::fflush(stdout);
        return result == LUMORESULT_OK ? 0 : Fail(result, error);
    }
    std::wstring error;
    LUMORESULT code = LUMORESULT_OK;
    if (!UnpackPatchPackage(package, FromNativePath(argv[3]), &error, &code))
        return Fail(code, error);
    return 0;
}
