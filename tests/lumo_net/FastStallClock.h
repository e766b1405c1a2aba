#pragma once
// The transfer stall rule on a clock that runs 50 times faster than the steady clock while a
// condition holds (always, unless one is given): a silent server's minute of stall passes in
// 1.2 s. Once the condition fails (typically: the silent server has been given up) the clock goes
// on at the steady clock's pace, so that a healthy server asked next gets the real window however
// slow the machine is. Every server's account is empty while it lives and after.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#include "lumo/net/TransferStall.h"

namespace nettest
{
class FastStallClock
{
public:
    static constexpr int kSpeed = 50;

    explicit FastStallClock(std::function<bool()> fastWhile = [] { return true; })
    {
        LumoNet::ServerStallLedger::ForRun().Clear();
        auto state = std::make_shared<State>();
        state->fastWhile = std::move(fastWhile);
        state->lastReal = state->now = std::chrono::steady_clock::now();
        LumoNet::SetStallRule(LumoNet::StallPolicy(), [state] {
            std::lock_guard<std::mutex> hold(state->lock);
            const auto real = std::chrono::steady_clock::now();
            state->now += (real - state->lastReal) * (state->fastWhile() ? kSpeed : 1);
            state->lastReal = real;
            return state->now;
        });
    }
    ~FastStallClock()
    {
        LumoNet::ResetStallRule();
        LumoNet::ServerStallLedger::ForRun().Clear();
    }
    FastStallClock(const FastStallClock&) = delete;
    FastStallClock& operator=(const FastStallClock&) = delete;

private:
    struct State
    {
        std::mutex lock;
        std::function<bool()> fastWhile;
        std::chrono::steady_clock::time_point lastReal, now;
    };
};
} // namespace nettest
