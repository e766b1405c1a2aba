#pragma once
// The transfer stall rule on a clock that runs 50 times faster than the steady clock: a silent
// server's minute of stall passes in 1.2 s, while a loopback transfer, done in milliseconds, never
// comes near the floor's window. Every server's account is empty while it lives and after.

#include <chrono>

#include "lumo/net/TransferStall.h"

namespace nettest
{
class FastStallClock
{
public:
    static constexpr int kSpeed = 50;

    FastStallClock()
    {
        LumoNet::ServerStallLedger::ForRun().Clear();
        const auto start = std::chrono::steady_clock::now();
        LumoNet::SetStallRule(LumoNet::StallPolicy(), [start] {
            return start + (std::chrono::steady_clock::now() - start) * kSpeed;
        });
    }
    ~FastStallClock()
    {
        LumoNet::ResetStallRule();
        LumoNet::ServerStallLedger::ForRun().Clear();
    }
    FastStallClock(const FastStallClock&) = delete;
    FastStallClock& operator=(const FastStallClock&) = delete;
};
} // namespace nettest
