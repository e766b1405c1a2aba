// package-tool list PKG: one line per item of the patch package PKG: "D" and the path for a
//   folder, "F", the content size and the path for a file, separated by spaces; first a line with
//   the format version.
// package-tool unpack PKG DEST: unpacks the package into the folder DEST (created when missing).
// Exit status 0 on success; on failure what failed (the item and its offset) goes to standard
// error and the status is 1 (2 for a wrong command line).
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "lumo/buffers/LumoResult.h"
#include "patch/PatchPackage.h"
#include "platform/NativePath.h"
#include "tools/ArgumentCheck.h"
#include "tools/ToolSupport.h"

namespace
{
constexpr char kTool[] = "package-tool";

int Fail(const std::wstring& what)
{
    return tools::PrintFailure(kTool, what);
}

constexpr char kUsage[] = "package-tool list PKG\n"
                         "       package-tool unpack PKG DEST\n";
constexpr char kAbout[] =
    "Reads the patch package PKG (the file a patch server or the patcher's archive holds). list prints\n"
    "its format version, then one line per item: \"D\" and the path of a folder, \"F\", the size and the\n"
    "path of a file. unpack writes its items into the folder DEST (created when missing), refusing\n"
    "paths that would leave it.\n"
    "Exit status: 0 done, 1 failed (the reason and the item on standard error), 2 bad command line.\n";


// A destination given as a link to a folder means that folder: the unpacker itself never follows
// links inside what it writes.
std::wstring Destination(const char* given)
{
    struct stat link = {}, target = {};
    if (lstat(given, &link) == 0 && S_ISLNK(link.st_mode) && stat(given, &target) == 0 && S_ISDIR(target.st_mode))
    {
        if (char* resolved = realpath(given, nullptr))
        {
            const std::wstring folder = FromNativePath(resolved);
            free(resolved);
            return folder;
        }
    }
    return FromNativePath(given);
}
} // namespace

int main(int argc, char** argv)
{
    tools::LibraryLinesToStandardError();
    if (tools::AsksForHelp(argc, argv))
        return tools::PrintHelp((std::string("usage: ") + kUsage + kAbout).c_str());
    if (const std::string wrong = tools::WrongActionForm(tools::ArgumentsFrom(argc, argv), {{"list", {"PKG"}}, {"unpack", {"PKG", "DEST"}}});
        !wrong.empty())
        return tools::WrongCommandLine(kTool, wrong, std::string("usage: ") + kUsage + kAbout);
    const std::string action = argv[1];
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
        const int printed = tools::FinishOutput(kTool, 0);
        return result != LUMORESULT_OK ? Fail(error) : printed;
    }
    std::wstring error;
    if (!UnpackPatchPackage(package, Destination(argv[3]), &error))
        return Fail(error);
    return 0;
}
