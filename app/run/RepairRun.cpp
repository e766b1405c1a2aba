#include "app/run/RepairRun.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/core/PatcherOptions.h"
#include "app/run/PatchRun.h"
#include "lumo/files/InstallFolder.h"
#include "lumo/net/RepairClient.h"
#include "lumo/text/PathUtil.h"
#include "lumo/text/StringUtil.h"
#include "lumo/text/TextConversion.h"
#include "patch/InstallFileOps.h"
#include "platform/NativePath.h"

namespace LumoPatch {

namespace {

// A fixed file of the installation under the spelling it has there ("UNINS000.EXE" on a copy from a
// case-insensitive disk), else the given one (patch/InstallFileOps.h).
std::wstring InstallFile(const LumoUtil::InstallDoor& door, const wchar_t* name)
{
    std::wstring path, ignored;
    return FindFixedName(door, name, path, ignored) ? path : LumoUtil::JoinPath(door.Root(), name);
}

// The client's stages as the run names them; stages 1 and 6 have no line of their own.
const wchar_t* StageText(int stage)
{
    switch (stage)
    {
    case 2: return L"Scanning installed files. This may take a while.";
    case 3: return L"Connecting to patch servers.";
    case 4: return L"Preparing download list.";
    case 5: return L"Receiving updated files.";
    default: return nullptr;
    }
}

const wchar_t* FailureText(int stage)
{
    switch (stage)
    {
    case 2: return L"Error while scanning local files.";
    case 3:
    case 4: return L"Unable to connect to patch servers.";
    case 5: return L"Error occurred while repairing files.";
    default: return L"Internal error occurred.";
    }
}

// Every reason the client gave since the last look, as errors: the window and the driver show them
// where standard error is seen by nobody.
void LogFailureReasons(RunHost& host, RepairClientControl& client)
{
    for (const std::wstring& reason : client.TakeFailureReasons())
        host.Log(3, reason);
}

// Logs the line of every stage after lastStage up to stage, so a client that moved several stages
// between two polls still shows each once, in order.
void LogRepairStages(RunHost& host, int& lastStage, int stage)
{
    for (int s = lastStage + 1; s <= stage; ++s)
        if (const wchar_t* text = StageText(s))
            host.Log(1, text);
    if (stage > lastStage)
        lastStage = stage;
}

class RealRepairClient : public RepairClientControl {
public:
    LUMORESULT SetRootFolder(std::shared_ptr<LumoUtil::InstallDoor> door) override
    {
        return m_client.SetRootFolder(std::move(door));
    }
    LUMORESULT SetSummaryFile(const std::wstring& path) override { return m_client.SetSummaryFile(path); }
    LUMORESULT SetServerAddress(const SocketAddress& address) override { return m_client.SetServerAddress(address); }
    LUMORESULT SetExcludedPaths(const std::set<std::wstring>& paths) override { return m_client.SetExcludedPaths(paths); }
    void Start() override { m_client.Start(); }
    void Cancel() override { m_client.Cancel(); }
    bool IsRunning() const override { return m_client.IsRunning(); }
    void WaitWhileRunning(std::chrono::milliseconds limit) override { m_client.WaitWhileRunning(limit); }
    int GetState() const override { return m_client.GetState(); }
    float GetProgress() const override { return m_client.GetProgress(); }
    uint32_t GetSegmentsReceived() const override { return m_client.GetSegmentsReceived(); }
    uint32_t GetSegmentsTotal() const override { return m_client.GetSegmentsTotal(); }
    bool Succeeded() const override { return m_client.Succeeded(); }
    LUMORESULT GetError() const override { return m_client.GetError(); }
    std::vector<std::wstring> TakeFailureReasons() override
    {
        std::vector<std::wstring> reasons;
        for (const std::string& reason : m_client.TakeFailureReasons())
            reasons.push_back(FromNativePath(reason));
        return reasons;
    }

private:
    RepairClient m_client;
};

}  // namespace

bool ResolveServerAddress(const HostPort& server, SocketAddress& address, std::string& reason)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int error = getaddrinfo(server.host.c_str(), nullptr, &hints, &found); error != 0 || !found)
    {
        reason = error == EAI_SYSTEM ? std::strerror(errno) : error != 0 ? gai_strerror(error) : "no IPv4 address";
        return false;
    }
    const uint32_t ip = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    address = SocketAddress{ip, server.port};
    return true;
}

std::vector<std::wstring> UnresolvedServerLines(const HostPort& server, const std::string& reason)
{
    return {kNoRepairServerContact, L"The repair server " + FromNativePath(server.host) + L":" +
                                        std::to_wstring(server.port) + L" cannot be found: " +
                                        FromNativePath(reason) + L"."};
}

bool ResolveRepairServer(SocketAddress& address, std::vector<std::wstring>& why)
{
    const char* override = std::getenv("SOLLEX_REPAIR_SERVER");
    std::string reason;
    if (!override || !*override)
    {
        if (ResolveServerAddress(HostPort{kRepairServerHost, kRepairServerPort}, address, reason))
            return true;
        // The network is not to blame: no network answers the reserved name.
        why = {L"No repair server is set: the built-in name " + FromNativePath(kRepairServerHost) +
               L" is a reserved name that no network answers. SOLLEX_REPAIR_SERVER=HOST:PORT names the repair "
               L"server; nothing was repaired."};
        return false;
    }
    HostPort server;
    if (const std::string wrong = ParseHostPort(override, kRepairServerPort, server); !wrong.empty())
    {
        why = {L"SOLLEX_REPAIR_SERVER=\"" + FromNativePath(override) + L"\" is not a repair server's address (HOST or "
               L"HOST:PORT): " + FromNativePath(wrong) + L"; nothing was repaired."};
        return false;
    }
    if (ResolveServerAddress(server, address, reason))
        return true;
    why = UnresolvedServerLines(server, reason);
    return false;
}

bool RunRepairWith(RunHost& host, const std::shared_ptr<LumoUtil::InstallDoor>& door, const RepairRunSeams& seams,
                   std::atomic<float>* progress)
{
    if (!door)
    {
        host.Log(3, L"No installation is held for the repair; nothing was repaired.");
        return false;
    }
    // Before anything connects: a repair that could write nothing would still be told what to
    // write, and would count it.
    std::wstring reason;
    if (!LumoUtil::CheckInstallFolderWritable(*door, reason))
    {
        host.Log(3, reason + L"; nothing was repaired.");
        return false;
    }
    std::unique_ptr<RepairClientControl> client =
        seams.makeClient ? seams.makeClient() : std::make_unique<RealRepairClient>();
    SocketAddress server;
    if (std::vector<std::wstring> why; !seams.resolveServer(server, why))
    {
        if (why.empty())
            why.push_back(kNoRepairServerContact);
        for (const std::wstring& line : why)
            host.Log(3, line);
        return false;
    }
    if (client->SetRootFolder(door) != LUMORESULT_OK)
        host.Log(2, L"No installation folder was given to repair.");
    client->SetSummaryFile(InstallFile(*door, L"repair.cks"));
    client->SetServerAddress(server);
    client->SetExcludedPaths({InstallFile(*door, kRepairLeavesAlone)});
    client->Start();
    int lastStage = 0;
    host.SetGauge(1000, 0);
    host.SetProgressDone(true);

    while (client->IsRunning() && host.KeepGoing())
    {
        LogRepairStages(host, lastStage, client->GetState());
        LogFailureReasons(host, *client);
        const float now = client->GetProgress();
        if (progress)
            *progress = now;
        if (lastStage >= 5)
            host.SetGauge(1000, int(now * 1000));
        client->WaitWhileRunning(seams.pollInterval);
    }
    const bool cancelled = !host.KeepGoing();
    // The records in the slots are still being written: count them once the client has stopped.
    if (cancelled)
        client->Cancel();

    const int stage = client->GetState();
    LogRepairStages(host, lastStage, stage);
    LogFailureReasons(host, *client);
    if (lastStage > 4)
        host.Log(1, LumoUtil::FormatWString(L"(%u / %u segments updated.)", unsigned(client->GetSegmentsReceived()),
                                            unsigned(client->GetSegmentsTotal())));
    if (client->Succeeded())
    {
        ClearPatchingFlag();
        if (progress)
            *progress = 1.0f;
        host.SetGauge(1000, 1000);
        return true;
    }
    if (!cancelled)
    {
        host.Log(3, FailureText(stage));
        host.Log(1, LumoUtil::FormatWString(L"(Error %d in stage %d)", int(client->GetError()), stage));
    }
    client.reset();
    return false;
}

bool PatchRun::RunRepair()
{
    SetState(STATE_INSTALLING); // not a download: the window shows no download progress
    // Through the door of the run's own take of the installation (RunChecks).
    return RunRepairWith(m_host, m_installLock ? m_installLock->Door() : nullptr, {}, &m_progress);
}

}  // namespace LumoPatch
