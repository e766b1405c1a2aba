// The repair run: finds the repair server, drives the repair client over the installation and
// reports its stages, its progress on the gauge and its outcome to the run's host. The patch run
// calls it in repair mode; the repair tool calls it with a host that prints.
#pragma once

#include "app/core/RunHost.h"
#include "lumo/files/InstallDoor.h"
#include "lumo/buffers/LumoResult.h"
#include "lumo/net/HostPort.h"
#include "lumo/net/SocketAddress.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace LumoPatch {

// What the run uses of the repair client (lumo/net/RepairClient.h); tests script it.
class RepairClientControl {
public:
    virtual ~RepairClientControl() = default;
    virtual LUMORESULT SetRootFolder(std::shared_ptr<LumoUtil::InstallDoor> door) = 0;
    virtual LUMORESULT SetSummaryFile(const std::wstring& path) = 0;
    virtual LUMORESULT SetServerAddress(const SocketAddress& address) = 0;
    virtual LUMORESULT SetExcludedPaths(const std::set<std::wstring>& paths) = 0;
    virtual void Start() = 0;
    // Stops a running client and waits until it has stopped.
    virtual void Cancel() = 0;
    virtual bool IsRunning() const = 0;
    // Waits until the client is no longer running, at most limit: a run that ends between two
    // polls is seen when it ends. This one only sleeps out the limit.
    virtual void WaitWhileRunning(std::chrono::milliseconds limit) { std::this_thread::sleep_for(limit); }
    virtual int GetState() const = 0;
    virtual float GetProgress() const = 0;
    virtual uint32_t GetSegmentsReceived() const = 0;
    virtual uint32_t GetSegmentsTotal() const = 0;
    virtual bool Succeeded() const = 0;
    virtual LUMORESULT GetError() const = 0;
    // Why the client failed, in words naming the file, since the last call (oldest first).
    virtual std::vector<std::wstring> TakeFailureReasons() { return {}; }
};

// The repair server's name, fixed in the program; SOLLEX_REPAIR_SERVER=HOST:PORT replaces name and
// port, SOLLEX_REPAIR_SERVER=HOST the name alone.
inline constexpr const char* kRepairServerHost = "repair.sollex.invalid";
inline constexpr uint16_t kRepairServerPort = 6000;

// The run's line when the server's name gives no address (the network is the usual cause).
inline constexpr wchar_t kNoRepairServerContact[] = L"Unable to contact repair server; check your network connection.";

// The server address from SOLLEX_REPAIR_SERVER or the fixed name, resolved to IPv4. False with the
// lines the run shows when there is none: a variable that is no address names itself; a name that
// does not resolve gives the network's line and one naming the server and the resolver's reason;
// the fixed name, which is reserved and never resolves, says that SOLLEX_REPAIR_SERVER names the
// server instead of blaming the network.
bool ResolveRepairServer(SocketAddress& address, std::vector<std::wstring>& why);
// The host resolved to IPv4, with the port given. False with the resolver's reason
// ("Name or service not known") when it does not resolve.
bool ResolveServerAddress(const HostPort& server, SocketAddress& address, std::string& reason);
// The lines for a server that did not resolve: the network's line, then the server and reason.
std::vector<std::wstring> UnresolvedServerLines(const HostPort& server, const std::string& reason);

struct RepairRunSeams {
    // False when there is no address to connect to; why holds the lines that say so (the network's
    // usual line when it is left empty).
    std::function<bool(SocketAddress&, std::vector<std::wstring>& why)> resolveServer = ResolveRepairServer;
    // A new real client when empty.
    std::function<std::unique_ptr<RepairClientControl>()> makeClient;
    // The longest wait between two looks at the client (its stage, progress, a stop asked for);
    // a client that ends sooner is seen at once.
    std::chrono::milliseconds pollInterval{1000};
};

// The file a repair never writes: the game's uninstaller, which the installer made for this very
// installation.
inline constexpr wchar_t kRepairLeavesAlone[] = L"unins000.exe";

// Repairs the installation behind door through host: true only when the client reports success,
// after which "IsPatching" is cleared. The caller has taken the installation
// (app/run/InstallEntry.h), which put right what an interrupted patch or repair left, and door is
// the door of that take (InstallLock::Door): the client works through it. Before anything connects, the installation
// must be writable; when it is not the run ends with the reason. Cancelled
// through host.KeepGoing(): the client is stopped, and the count line tells what it wrote until
// then. progress (when given) follows the client's progress at each poll and becomes 1 on success.
bool RunRepairWith(RunHost& host, const std::shared_ptr<LumoUtil::InstallDoor>& door, const RepairRunSeams& seams = {},
                   std::atomic<float>* progress = nullptr);

}  // namespace LumoPatch
