// The transfer stall rule under a clock turned by hand: what a transfer must move to stay alive,
// and a server's account of stalled time over a run.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "lumo/net/TransferStall.h"

namespace
{
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// A transfer that moves `bytes` every `everyMs` for `forMs`: the time of its first stall (ms since
// its start), or -1 when it is never stalled.
int64_t FirstStall(uint64_t bytes, int64_t everyMs, int64_t forMs, uint64_t burstAtStart = 0)
{
    int64_t now = 0;
    LumoNet::TransferStallWatch watch(LumoNet::StallPolicy(), [&] { return Clock::time_point(milliseconds(now)); });
    watch.Moved(burstAtStart);
    // The watch looks every 100 ms, as the download's cancel check and the stream's watch do.
    for (int64_t next = everyMs; now <= forMs; now += 100)
    {
        if (now >= next)
        {
            watch.Moved(bytes);
            next += everyMs;
        }
        if (watch.IsStalled())
            return now;
    }
    return -1;
}

TEST(TransferStall, OnlyATransferBelowTheFloorForAWholeWindowIsStalled)
{
    const struct { const char* what; uint64_t bytes; int64_t everyMs; uint64_t burst; int64_t stalledAt; } cases[] = {
        {"silent", 0, 1000, 0, 60000},
        {"a byte every 20 s", 1, 20000, 0, 60000},
        {"1000 bytes every 59 s (under the floor)", 1000, 59000, 0, 60000},
        {"a large burst, then silence", 0, 1000, 100 << 10, 60000},
        {"250 bytes every 1.3 s for 10 minutes", 250, 1300, 0, -1},
        {"1200 bytes every 1.3 s for 10 minutes", 1200, 1300, 0, -1},
        {"1 KiB every 59 s for 10 minutes", 1024, 59000, 0, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.stalledAt, FirstStall(c.bytes, c.everyMs, 600000, c.burst)) << c.what;
}

TEST(TransferStall, ARestartedAttemptStartsAFreshWindowAndQuietTimeIsMeasuredFromTheLastFloor)
{
    int64_t now = 0;
    LumoNet::TransferStallWatch watch(LumoNet::StallPolicy(), [&] { return Clock::time_point(seconds(now)); });
    now = 100;
    EXPECT_TRUE(watch.IsStalled());
    watch.Restart();
    EXPECT_FALSE(watch.IsStalled());
    now = 130;
    watch.Moved(2000);
    EXPECT_FALSE(watch.IsStalled());
    now = 150;
    EXPECT_EQ(seconds(20), watch.QuietFor());
}

TEST(TransferStall, AServerIsGivenUpOnceItsStallsReachThreeMinutesInAll)
{
    LumoNet::ServerStallLedger ledger;
    const std::string server = LumoNet::ServerKey("Patches.Example.COM", 80);
    EXPECT_EQ("patches.example.com:80", server);
    const std::vector<seconds> stalls = {seconds(60), seconds(30), seconds(0), seconds(89)};
    for (const seconds stall : stalls)
    {
        ledger.Add(server, stall);
        EXPECT_FALSE(ledger.IsGivenUp(server));
    }
    ledger.Add(server, seconds(1));
    EXPECT_TRUE(ledger.IsGivenUp(server));
    EXPECT_EQ(seconds(180), ledger.Stalled(server));
    // Another port is another server.
    EXPECT_FALSE(ledger.IsGivenUp(LumoNet::ServerKey("patches.example.com", 8080)));
    ledger.Clear();
    EXPECT_FALSE(ledger.IsGivenUp(server));
}

} // namespace
