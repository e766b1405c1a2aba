// patch-apply INSTALL_DIR PACKAGE_DIR [LAUNCHER_NAME]
//
// Applies one unpacked patch package to an installation, as the patcher does for each patch of a
// chain, and prints every message of the patch engine as "<level><TAB><text>" on standard output.
// Exit code 0 when the patch was applied, 1 when it failed (the installation is then as it was),
// 2 for a wrong command line.

#include <stdio.h>

#include <string>

#include "lumo/SafePath.h"
#include "patch/ApplyPatchPackage.h"
#include "patch/PatchCallbacks.h"
#include "platform/NativePath.h"

namespace
{

// UTF-8 for the terminal; unlike the path conversion it leaves "\" alone.
std::string Utf8(const std::wstring& text)
{
    std::string out;
    for (wchar_t wc : text) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

void PrintMessage(int level, const std::wstring& text)
{
    const std::string line = std::to_string(level) + "\t" + Utf8(text) + "\n";
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
