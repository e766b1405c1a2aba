// patch-apply INSTALL_DIR PACKAGE_DIR [LAUNCHER_NAME]
//
// Applies one unpacked patch package to an installation, as the patcher does for each patch of a
// chain, and prints every message of the patch engine as "<level><TAB><text>" on standard output.
// Exit code 0 when the patch was applied, 1 when it failed (the installation is then as it was),
// 2 for a wrong command line. --help says what each argument is.

#include <stdio.h>

#include <string>

#include "lumo/files/InstallFolder.h"
#include "patch/ApplyPatchPackage.h"
#include "patch/PatchCallbacks.h"
#include "platform/NativePath.h"
#include "platform/Utf8.h"
#include "tools/ToolSupport.h"

namespace
{

constexpr char kHelp[] =
    "usage: patch-apply INSTALL_DIR PACKAGE_DIR [LAUNCHER_NAME]\n"
    "Applies one patch to an installation, as the patcher does for each patch of a chain: adds, deletes\n"
    "and patches the files the package's lists name, backing up every file it touches. When anything\n"
    "fails, every file is put back; a run that was killed is rolled back by the next one.\n"
    "  INSTALL_DIR    the game's installation folder (its \"bin\" folder holds the patch tools)\n"
    "  PACKAGE_DIR    an unpacked patch package: the folder holding addedFiles.txt, deletedFiles.txt,\n"
    "                 patchedFiles.txt and the \"data\" folder (package-tool unpack makes one)\n"
    "  LAUNCHER_NAME  the game's launcher (e.g. LumoLauncher.exe): the patched file whose path holds\n"
    "                 this name is patched last, so a failed patch never leaves a new launcher\n"
    "Every message of the patch engine is printed as \"<level><TAB><text>\"; the levels are\n"
    "0 detail, 1 status, 2 warning, 3 error.\n"
    "Exit status: 0 applied, 1 failed (the installation is as it was), 2 bad command line.\n";

void PrintMessage(int level, const std::wstring& text)
{
    const std::string line = std::to_string(level) + "\t" + platform::WideToUtf8(text) + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (tools::AsksForHelp(argc, argv))
        return tools::PrintHelp(kHelp);
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "%s", kHelp);
        return 2;
    }
    SetPatchCallbacks(nullptr, nullptr, &PrintMessage);
    // The installation as the OS finds it, however it was spelled: the uninstall log records it.
    std::wstring installDir, error;
    if (!LumoUtil::ResolveInstallFolder(FromNativePath(argv[1]), installDir, error)) {
        PrintMessage(PATCH_LEVEL_ERROR, error);
        return 1;
    }
    const std::wstring launcher = argc == 4 ? FromNativePath(argv[3]) : std::wstring();
    const bool applied = ApplyPatchPackage(installDir, FromNativePath(argv[2]), launcher);
    return tools::FinishOutput("patch-apply", applied ? 0 : 1);
}
