// package-tool list PKG: one line per item of the patch package PKG: "D" and the path for a
//   folder, "F", the content size and the path for a file, separated by spaces; first a line with
//   the format version.
// package-tool unpack PKG DEST: unpacks the package into the folder DEST (created when missing).
// Exit status 0 on success; on failure the LUMORESULT name and what failed (the item and its
// offset) go to standard error and the status is 1 (2 for a bad command line).
#include <cstdio>
#include <string>
#include <vector>

#include "lumo/LumoResult.h"
#include "patch/PatchPackage.h"
#include "platform/NativePath.h"

namespace
{
// UTF-8 for the terminal, keeping "\" as it stands in package paths.
std::string ForDisplay(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out += c == L'\\' ? std::string("\\") : ToNativePath(std::wstring(1, c));
    return out;
}

int Fail(LUMORESULT code, const std::wstring& what)
{
    std::fprintf(stderr, "package-tool: %s: %s\n", LumoUtil::GetResultName(code).c_str(), ForDisplay(what).c_str());
    return 1;
}

int Usage()
{
    std::fprintf(stderr, "package-tool: %s: bad command line\n"
                         "usage: package-tool list PKG\n"
                         "       package-tool unpack PKG DEST\n",
                 LumoUtil::GetResultName(LUMORESULT_INVALID_ARGUMENT).c_str());
    return 2;
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
                std::printf("D %s\n", ForDisplay(item.path).c_str());
            else
                std::printf("F %llu %s\n", static_cast<unsigned long long>(item.size), ForDisplay(item.path).c_str());
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
