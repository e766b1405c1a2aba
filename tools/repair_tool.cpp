// repair-tool INSTALL_DIR HOST:PORT: repairs the installation in INSTALL_DIR against the repair
// server at HOST:PORT, exactly as the patcher's repair mode does (INSTALL_DIR/unins000.exe is left
// alone, the summary is INSTALL_DIR/repair.cks). Prints the repair run's lines and the client's
// diagnostics; exits 0 only when every announced segment was received and written.

#include <cstdio>
#include <string>

#include "app/run/RepairRun.h"
#include "tools/ToolSupport.h"
#include "platform/NativePath.h"

namespace
{
constexpr char kHelp[] =
    "usage: repair-tool INSTALL_DIR HOST:PORT\n"
    "Repairs the installation in INSTALL_DIR against the repair server at HOST:PORT, as the patcher's\n"
    "repair mode does: the installation is summarised segment by segment (INSTALL_DIR/repair.cks),\n"
    "the server sends the segments that differ, and they are checked and written in place.\n"
    "Prints the repair's stages and \"(N / M segments updated.)\"; errors begin with \"error: \".\n"
    "Exit status: 0 when every segment the server announced was received and written, 1 when the\n"
    "repair failed, 2 for a wrong command line.\n";

class ConsoleHost : public LumoPatch::LogOnlyRunHost
{
public:
    void Log(int level, const std::wstring& text) override
    {
        const std::string line = (level >= 3 ? "error: " : "") + ToNativePath(text) + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
};
} // namespace

int main(int argc, char** argv)
{
    tools::LibraryLinesToStandardError();
    if (tools::AsksForHelp(argc, argv))
        return tools::PrintHelp(kHelp);
    if (argc != 3)
    {
        std::fprintf(stderr, "%s", kHelp);
        return 2;
    }
    const std::string server = argv[2];
    LumoPatch::RepairRunSeams seams;
    seams.resolveServer = [&](SocketAddress& address) { return LumoPatch::ResolveServerAddress(server, address); };
    seams.pollInterval = std::chrono::milliseconds(200);
    ConsoleHost host;
    return LumoPatch::RunRepairWith(host, FromNativePath(argv[1]), seams) ? 0 : 1;
}
