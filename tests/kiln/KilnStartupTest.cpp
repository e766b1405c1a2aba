#include "Kiln/Src/Kiln/KernelStandard/KilnStartup.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/DebugOutput.h"

namespace
{

using Kiln::RegisterKilnExit;

void Say(const char* text)
{
    (void)!write(2, text, std::char_traits<char>::length(text));
}

int g_ticks = 0;
uint32_t g_added = 0;

TEST(KilnExitTable, ExitFromAnEntryRunsTheRestOnce)
{
    EXPECT_EXIT(
        {
            RegisterKilnExit([] { Say("1"); });
            RegisterKilnExit([] {
                Say("2");
                std::exit(7);
            });
            RegisterKilnExit([] { Say("3"); });
            std::exit(0);
        },
        testing::ExitedWithCode(7), "^321$");
}

TEST(KilnExitTable, AFullTableRefusesMoreAndStillRuns)
{
    EXPECT_EXIT(
        {
            platform::SetDebugOutputHook([](const std::string& text) { Say(text.c_str()); });
            RegisterKilnExit([] { Say(g_added > 1000 && g_ticks == static_cast<int>(g_added) ? "all ran" : "lost some"); });
            while (RegisterKilnExit([] { ++g_ticks; }))
                ++g_added;
            if (Kiln::KilnExitCount() != Kiln::kKilnExitSlots || RegisterKilnExit([] { Say("never"); }))
                std::_Exit(3);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "exit table is full(.|\n)*all ran$");
}

}  // namespace
