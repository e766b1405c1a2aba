#include <gtest/gtest.h>

#include <signal.h>
#include <ucontext.h>

#include "platform/StackCapture.h"
#include "platform/SymbolLookup.h"

namespace
{

uint64_t g_signalFrames[32];
size_t g_signalFrameCount = 0;

// What a crash handler does: walk from the interrupted place, no allocation, no lock.
void CaptureFromSignal(int, siginfo_t*, void* raw)
{
    const ucontext_t* context = static_cast<const ucontext_t*>(raw);
    platform::StackStart start;
    start.pc = static_cast<uint64_t>(context->uc_mcontext.gregs[REG_RIP]);
    start.sp = static_cast<uint64_t>(context->uc_mcontext.gregs[REG_RSP]);
    g_signalFrameCount = platform::CaptureReturnAddressesFrom(start, g_signalFrames, 32);
}

__attribute__((noinline)) void RaiseHere()
{
    raise(SIGUSR1);
    asm volatile("");
}

std::string FunctionAt(uint64_t address)
{
    platform::SymbolInfo info;
    return platform::LookUpSymbol(address, info) ? info.function : std::string();
}

}  // namespace

TEST(StackCapture, WalksFromASignalContextThroughTheInterruptedCode)
{
    ASSERT_TRUE(platform::InitialiseSymbolLookup());
    platform::PrepareStackCapture();
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_sigaction = CaptureFromSignal;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    RaiseHere();
    sigaction(SIGUSR1, &previous, nullptr);

    ASSERT_GT(g_signalFrameCount, 2u);
    bool sawRaiser = false;
    for (size_t i = 0; i < g_signalFrameCount && !sawRaiser; ++i)
        sawRaiser = FunctionAt(g_signalFrames[i]).find("RaiseHere") != std::string::npos;
    EXPECT_TRUE(sawRaiser);
    // The handler's own frames are not part of it.
    for (size_t i = 0; i < g_signalFrameCount; ++i)
        EXPECT_EQ(FunctionAt(g_signalFrames[i]).find("CaptureFromSignal"), std::string::npos);
}

