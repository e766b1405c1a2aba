// repair-tool INSTALL_DIR HOST:PORT: repairs the installation in INSTALL_DIR against the repair
// server at HOST:PORT, exactly as the patcher's repair mode does (INSTALL_DIR/unins000.exe is left
// alone, the summary is INSTALL_DIR/repair.cks). Prints the repair run's lines and the client's
// diagnostics; exits 0 only when every announced segment was received and written.

#include <cstdio>
#include <string>

#include "app/run/RepairRun.h"
#include "platform/NativePath.h"

namespace
{
class ConsoleHost : public LumoPatch::RunHost
{
public:
    void Log(int level, const std::wstring& text) override
    {
        const std::string line = (level >= 3 ? "error: " : "") + ToNativePath(text) + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
    void ClearLog() override {}
    void SetGauge(int, int) override {}
    void EnableApply() override {}
    void SetPathText(const std::wstring&) override {}
    void SetProgressDone(bool) override {}
    void ShowMessage(const std::wstring& text, const std::wstring&) override { Log(1, text); }
    void PatchInstalled() override {}
    void Finished() override {}
    bool KeepGoing() override { return true; }
};
} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        std::fprintf(stderr, "usage: repair-tool INSTALL_DIR HOST:PORT\n");
        return 2;
    }
    const std::string server = argv[2];
    LumoPatch::RepairRunSeams seams;
    seams.resolveServer = [&](SocketAddress& address) { return LumoPatch::ResolveServerAddress(server, address); };
    seams.pollInterval = std::chrono::milliseconds(200);
    ConsoleHost host;
    return LumoPatch::RunRepairWith(host, FromNativePath(argv[1]), seams) ? 0 : 1;
}
