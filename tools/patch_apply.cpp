// patch-apply INSTALL_DIR PACKAGE_DIR [LAUNCHER_NAME]
//
// Applies one unpacked patch package to an installation, as the patcher does for each patch of a
// chain, and prints every message of the patch engine as "<level><TAB><text>" on standard output.
// Exit code 0 when the patch was applied, 1 when it failed (the installation is then as it was),
// 2 for a wrong command line.

#include <stdio.h>

#include <string>

#include "lumo/text/SafePath.h"
#include "patch/ApplyPatchPackage.h"
#include "patch/PatchCallbacks.h"
#include "platform/NativePath.h"
#include "platform/Utf8.h"

namespace
{

void PrintMessage(int level, const std::wstring& text)
{
    const std::string line = std::to_string(level) + "\t" + platform::WideToUtf8(text) + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: patch-apply INSTALL_DIR PACKAGE_DIR [LAUNCHER_NAME]\n");
        return 2;
    }
    SetPatchCallbacks(nullptr, nullptr, &PrintMessage);
    std::wstring error;
    if (!LumoUtil::IsSupportedInstallPath(argv[1], error)) {
        PrintMessage(PATCH_LEVEL_ERROR, error);
        return 1;
    }
    const std::wstring launcher = argc == 4 ? FromNativePath(argv[3]) : std::wstring();
    return ApplyPatchPackage(FromNativePath(argv[1]), FromNativePath(argv[2]), launcher) ? 0 : 1;
}
