#pragma once
// The one rule for transfers that stop moving, used by the URL downloads (lumo/net/DownloadURL.h)
// and by the repair's stream (lumo/net/StallWatchedStream.h):
//
//   - A transfer under way that moves fewer than kFloorBytes (1 KiB) within kWindow (60 s) is
//     stalled, and that attempt ends. Every byte counts as it moves, partial reads and writes
//     included: the watch keeps a mark (a time and a byte count), moved on each time a further
//     floor's worth of bytes has gone through; the transfer is stalled once the mark is a window
//     old.
//   - The time a server's transfers spent below the floor when they ended (a stall, or a failure
//     that came while nothing moved: connecting, a silent server that closes) is added up for the
//     whole run, over every attempt and every call, keyed by the server's "host:port". A server
//     at kGiveUpAfter (3 minutes) in all is given up: no further attempt on it starts in this run.
//   - A transfer above the floor is never cut, however long it takes.
//
// The clock is a seam: tests turn time by hand (SetStallRule).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace LumoNet
{

using StallClock = std::function<std::chrono::steady_clock::time_point()>;

struct StallPolicy
{
    static constexpr uint64_t kFloorBytes = 1024;
    static constexpr std::chrono::milliseconds kWindow{60000};
    static constexpr std::chrono::milliseconds kGiveUpAfter{180000};

    uint64_t floorBytes = kFloorBytes;
    std::chrono::milliseconds window = kWindow;
    std::chrono::milliseconds giveUpAfter = kGiveUpAfter;
};

// The rule of the run and its clock; tests replace both (an empty clock restores the steady
// clock) and put the defaults back with ResetStallRule.
void SetStallRule(const StallPolicy& policy, StallClock clock);
void ResetStallRule();
StallPolicy GetStallPolicy();
std::chrono::steady_clock::time_point StallNow();

// The watch of one transfer attempt. Moved may be called from any thread; the rest from one.
class TransferStallWatch
{
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    // The run's rule and clock, or the ones given.
    TransferStallWatch();
    TransferStallWatch(const StallPolicy& policy, StallClock clock);

    // A new attempt starts now: the mark is set to now and what has moved so far.
    void Restart();
    // Counts bytes moved (read or written).
    void Moved(uint64_t bytes) { m_moved.fetch_add(bytes, std::memory_order_relaxed); }
    uint64_t GetMoved() const { return m_moved.load(std::memory_order_relaxed); }
    // One look: moves the mark on when a floor's worth has gone through since it, and says whether
    // the mark is a whole window old.
    bool IsStalled();
    // How long the transfer has stayed below the floor by now (since the mark).
    Duration QuietFor();
    const StallPolicy& GetPolicy() const { return m_policy; }

private:
    TimePoint Now() const { return m_clock ? m_clock() : StallNow(); }
    void Look(TimePoint now);

    StallPolicy m_policy;
    StallClock m_clock;
    std::atomic<uint64_t> m_moved{0};
    TimePoint m_markTime;
    uint64_t m_markCount = 0;
};

// The stalled time of every server of the run. Thread-safe.
class ServerStallLedger
{
public:
    using Duration = std::chrono::steady_clock::duration;

    // The run's ledger (one per process: every driver is one run).
    static ServerStallLedger& ForRun();

    // Adds stalled time to a server; the new total.
    Duration Add(const std::string& server, Duration stalled);
    Duration Stalled(const std::string& server) const;
    // The server's stalled time has reached the run's give-up time.
    bool IsGivenUp(const std::string& server) const;
    // Forgets every server (a new run; tests).
    void Clear();

private:
    mutable std::mutex m_lock;
    std::map<std::string, Duration> m_stalled;
};

// "host:port" as the ledger keys a server: the host in lower case.
std::string ServerKey(const std::string& host, int port);

// Whole seconds of a duration, for messages.
long long WholeSeconds(std::chrono::steady_clock::duration duration);

} // namespace LumoNet
