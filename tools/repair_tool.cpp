// repair-tool INSTALL_DIR HOST:PORT: repairs the installation in INSTALL_DIR against the repair
// server at HOST:PORT, exactly as the patcher's repair mode does (INSTALL_DIR/unins000.exe is left
// alone, the summary is INSTALL_DIR/repair.cks). Prints the repair run's lines and the client's
// diagnostics; exits 0 only when every announced segment was received and written. A patch that a
// kill interrupted is finished or rolled back first, and what a stopped repair left is put right,
// as the patcher does at its start. SIGINT, SIGTERM and SIGHUP stop the repair as `patch-run -r`
// stops it: the files it was making longer are cut back before it ends.

#include <cstdio>
#include <memory>
#include <string>

#include "app/run/InstallEntry.h"
#include "app/run/RepairRun.h"
#include "lumo/net/HostPort.h"
#include "patch/PatchCallbacks.h"
#include "tools/ArgumentCheck.h"
#include "tools/ToolSupport.h"
#include "platform/NativePath.h"

namespace
{
constexpr char kHelp[] =
    "usage: repair-tool INSTALL_DIR HOST:PORT\n"
    "Repairs the installation in INSTALL_DIR against the repair server at HOST:PORT, as the patcher's\n"
    "repair mode does: the installation is summarised segment by segment (INSTALL_DIR/repair.cks),\n"
    "the server sends the segments that differ, and they are checked and written in place.\n"
    "INSTALL_DIR may be relative or reached through a link; a missing folder or a file is refused,\n"
    "and so are an installation that a patch or another repair is working on and one that cannot be\n"
    "written, before anything connects. A patch that was interrupted (its journal and backups left\n"
    "in INSTALL_DIR) is finished or rolled back first; when that cannot finish, nothing is repaired.\n"
    "A repair stopped by SIGINT, SIGTERM or SIGHUP, or killed, leaves files part old, part new;\n"
    "the next start of any run on INSTALL_DIR says so, and the repair must be run again.\n"
    "Prints the repair's stages and \"(N / M segments updated.)\" on standard output; errors (each\n"
    "beginning with \"error: \") and the closing \"(Error N in stage M)\" go to standard error.\n"
    "HOST:PORT names the server: a host name or IPv4 address, \":\" and a port from 1 to 65535.\n"
    "Exit status: 0 when every segment the server announced was received and written, 1 when the\n"
    "repair failed, 2 for a wrong command line (an empty INSTALL_DIR, an address without its port).\n";

class ConsoleHost : public LumoPatch::LogOnlyRunHost
{
public:
    void Log(int level, const std::wstring& text) override
    {
        // The stages and the count are the output; the failures, with the run's error-and-stage
        // line that ends one, go where errors go.
        FILE* out = level >= 3 || text.starts_with(L"(Error ") ? stderr : stdout;
        const std::string line = (level >= 3 ? "error: " : "") + ToNativePath(text) + "\n";
        std::fwrite(line.data(), 1, line.size(), out);
        std::fflush(out);
    }
    bool KeepGoing() override { return !tools::StopRequested(); }
};

ConsoleHost g_host;

// The patch engine's lines (a recovery's) are the run's lines.
void EngineMessage(int level, const std::wstring& text)
{
    g_host.Log(level, text);
}
} // namespace

int main(int argc, char** argv)
{
    tools::LibraryLinesToStandardError();
    if (tools::AsksForHelp(argc, argv))
        return tools::PrintHelp(kHelp);
    // Both arguments are checked before anything is taken or connects, as patch-run checks its own:
    // an empty folder is an unset variable in a script, not a folder to look for.
    HostPort server;
    std::string wrong = tools::WrongValues(tools::ArgumentsFrom(argc, argv), {"INSTALL_DIR", "HOST:PORT"});
    if (wrong.empty())
        if (const std::string why = ParseHostPort(argv[2], 0, server); !why.empty())
            wrong = std::string("HOST:PORT \"") + argv[2] + "\": " + why;
    if (!wrong.empty())
        return tools::WrongCommandLine("repair-tool", wrong, kHelp);
    // From here a stop signal cancels the repair, which cuts back what it made longer.
    if (!tools::CatchStopSignals("repair-tool"))
        return 1;
    LumoPatch::RepairRunSeams seams;
    seams.resolveServer = [&server](SocketAddress& address, std::vector<std::wstring>& why) {
        std::string reason;
        if (LumoPatch::ResolveServerAddress(server, address, reason))
            return true;
        why = LumoPatch::UnresolvedServerLines(server, reason);
        return false;
    };
    seams.pollInterval = std::chrono::milliseconds(200);
    ConsoleHost& host = g_host;
    SetPatchCallbacks(nullptr, nullptr, EngineMessage);
    // The folder is resolved and held before anything connects or scans: a repair never runs
    // beside a patch, and a missing folder or a file is refused here.
    std::wstring installPath = FromNativePath(argv[1]), reason;
    std::unique_ptr<LumoUtil::InstallLock> installLock;
    if (LumoPatch::EnterInstallation(installPath, installLock, reason) != LumoPatch::InstallEntry::Held)
    {
        host.Log(3, reason);
        return 1;
    }
    if (LumoPatch::RunRepairWith(host, installLock->Door(), seams))
        return 0;
    if (tools::StopRequested())
        host.Log(3, L"The repair was stopped before it finished; run it again.");
    return 1;
}
