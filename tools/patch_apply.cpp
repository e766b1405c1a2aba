// patch-apply INSTALL_DIR PACKAGE_DIR [LAUNCHER_NAME]
//
// Applies one unpacked patch package to an installation, as the patcher does for each patch of a
// chain, and prints every message of the patch engine as "<level><TAB><text>" on standard output.
// Exit code 0 when the patch was applied, 1 when it failed (the installation is then as it was),
// 2 for a wrong command line, 3 when it was applied but standard output could not take all of its
// messages. SIGINT, SIGTERM, SIGHUP and SIGQUIT cancel the run: it stops at the next file (a running
// patch tool is ended) and puts every file back. --help says what each argument is.

#include <stdio.h>
#include <string.h>

#include <cerrno>
#include <memory>
#include <string>

#include "app/run/InstallEntry.h"
#include "lumo/diagnostics/CrashDumpReader.h"
#include "lumo/files/InstallFolder.h"
#include "lumo/text/TextConversion.h"
#include "patch/ApplyPatchPackage.h"
#include "patch/PatchCallbacks.h"
#include "platform/LastError.h"
#include "platform/NativePath.h"
#include "platform/Utf8.h"
#include "tools/ArgumentCheck.h"
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
    "SIGINT, SIGTERM, SIGHUP and SIGQUIT cancel the run: it stops at the next file (ending a running\n"
    "patch tool) and puts every file back; the exit status is then 1.\n"
    "Exit status: 0 applied, 1 failed (the installation is as it was), 2 bad command line,\n"
    "3 applied, but standard output could not be written (messages were lost; see standard error).\n";

constexpr int kAppliedOutputLost = 3;

int g_outputError = 0; // errno of the first write to standard output that failed

void PrintMessage(int level, const std::wstring& text)
{
    const std::string line = std::to_string(level) + "\t" + platform::WideToUtf8(text) + "\n";
    errno = 0;
    if ((fwrite(line.data(), 1, line.size(), stdout) != line.size() || fflush(stdout) != 0) && g_outputError == 0)
        g_outputError = errno != 0 ? errno : EIO;
}

bool KeepGoing()
{
    return !tools::StopRequested();
}

// The exit status for the result, once everything printed has reached standard output or failed to.
int Finish(bool applied)
{
    errno = 0;
    if ((fflush(stdout) != 0 || ferror(stdout)) && g_outputError == 0)
        g_outputError = errno != 0 ? errno : EIO;
    if (g_outputError == 0)
        return applied ? 0 : 1;
    fprintf(stderr, "patch-apply: %s, but standard output could not be written: %s\n",
            applied ? "the patch was applied" : "the patch failed", strerror(g_outputError));
    return applied ? kAppliedOutputLost : 1;
}

} // namespace

int main(int argc, char** argv)
{
    tools::LibraryLinesToStandardError();
    if (tools::AsksForHelp(argc, argv))
        return tools::PrintHelp(kHelp);
    if (const std::string wrong = tools::WrongValues(tools::ArgumentsFrom(argc, argv),
                                                     {"INSTALL_DIR", "PACKAGE_DIR", "[LAUNCHER_NAME]"});
        !wrong.empty())
        return tools::WrongCommandLine("patch-apply", wrong, kHelp);
    // A closed output pipe must not kill the run halfway: writes then fail with EPIPE.
    platform::IgnoreBrokenPipeSignal();
    if (!tools::CatchStopSignals("patch-apply", "; the patch was not applied"))
        return 1;
    SetPatchCallbacks(nullptr, &KeepGoing, &PrintMessage);
    // The installation as the OS finds it, however it was spelled (the uninstall log records it),
    // held for the whole run as every run holds it (the patch's journal shares it). Taking it
    // removes what killed runs left and puts right what an interrupted patch or repair left.
    std::wstring installDir = FromNativePath(argv[1]), error;
    std::unique_ptr<LumoUtil::InstallLock> installLock;
    if (LumoPatch::EnterInstallation(installDir, installLock, error) != LumoPatch::InstallEntry::Held) {
        PrintMessage(PATCH_LEVEL_ERROR, error);
        return Finish(false);
    }
    const std::wstring launcher = argc == 4 ? FromNativePath(argv[3]) : std::wstring();
    bool putBack = false;
    const bool applied = ApplyPatchPackage(installDir, FromNativePath(argv[2]), launcher, &putBack);
    if (!applied && tools::StopRequested())
        PrintMessage(PATCH_LEVEL_ERROR, L"Stopped by " + ToWide(SignalName(tools::StopSignal())) +
                                            (putBack ? L": the patch was not applied; every file it had changed was put back"
                                                     : L": the patch was not applied"));
    return Finish(applied);
}
