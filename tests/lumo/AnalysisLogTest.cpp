#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "lumo/diagnostics/AnalysisLog.h"
#include "lumo/diagnostics/LogFilePath.h"
#include "lumo/diagnostics/TimeBase.h"
#include "platform/NativePath.h"
#include "tests/fixtures/ScratchFolder.h"

namespace
{
class AnalysisLogTest : public ::testing::Test
{
protected:
    void SetUp() override { SetLogFolders(FromNativePath(m_root + "/").c_str(), L""); }
    void TearDown() override
    {
        SetLogFolders(nullptr, nullptr);
        SetLogTimestamps(false);
    }
    static std::string Read(const std::wstring& path) { return fixtures::ReadFile(ToNativePath(path)); }

    fixtures::ScratchFolder m_scratch;
    const std::string& m_root = m_scratch.Path();
};

TEST_F(AnalysisLogTest, RepeatedLinesAreSuppressedAndCounted)
{
    std::wstring path;
    {
        AnalysisLog log(L"run.log");
        for (int i = 0; i < 10; ++i)
            log.Write("same\r\n", 6);
        log.Write("other\r\n", 7);
        log.Write("other\r\n", 7);
        log.Write("other\r\n", 7);
        path = log.GetPath();
    }  // closing writes the pending note
    EXPECT_EQ(Read(path), "same\r\n[9 lines suppressed]\r\nother\r\n[2 lines suppressed]\r\n");
}

TEST_F(AnalysisLogTest, DisabledLogDropsLinesAndReopensAtItsEnd)
{
    AnalysisLog log(L"toggle.log");
    log.Write("one\r\n", 5);
    const std::wstring path = log.GetPath();
    log.SetEnabled(false);
    log.Write("dropped\r\n", 9);
    log.SetEnabled(true);
    log.Write("two\r\n", 5);
    log.Flush();
    EXPECT_EQ(log.GetPath(), path);
    EXPECT_EQ(Read(path), "one\r\ntwo\r\n");
}

TEST_F(AnalysisLogTest, TimestampPrefixOnLinesAndNotes)
{
    SetLogTimestamps(true);
    AnalysisLog log(L"stamped.log");
    log.Write("x\r\n", 3);
    log.Write("x\r\n", 3);
    log.Close();
    const std::string text = Read(log.GetPath());
    ASSERT_EQ(text.size(), 2 * TIMESTAMP_LENGTH + 3 + 22);
    EXPECT_EQ(text.substr(TIMESTAMP_LENGTH - 2, 5), "| x\r\n");
    EXPECT_EQ(text.substr(text.size() - 22), "[1 lines suppressed]\r\n");
}

TEST_F(AnalysisLogTest, MakeLogFilePathNumbersTakenNames)
{
    const std::string folder = m_root + "/dumps/";
    struct Case
    {
        const wchar_t* name;
        const char* expected[3];
    } cases[] = {
        {L"Sollex-44088.dmp", {"Sollex-44088.dmp", "Sollex-44088_1.dmp", "Sollex-44088_2.dmp"}},
        {L"plain", {"plain", "plain_1", "plain_2"}},
    };
    for (const Case& c : cases)
    {
        for (const char* expected : c.expected)
        {
            std::wstring path;
            MakeLogFilePath(c.name, L"dumps\\", path);
            EXPECT_EQ(ToNativePath(path), folder + expected);
            std::ofstream(ToNativePath(path)) << "taken";
        }
    }
}

double g_counter = 50000.0;
double Counter()
{
    return g_counter;
}
void Local(LocalTimeParts& parts)
{
    parts = {2024, 2, 4, 29, 10, 0, 0, 0};
}

TEST_F(AnalysisLogTest, GlobalLogEntriesAndResync)
{
    SetTimeBaseClock(&Counter, &Local);
    OpenAnalysisLog(L"global.log");
    AnalysisLog* log = GetAnalysisLog();
    ASSERT_NE(log, nullptr);
    OpenAnalysisLog(L"second.log");
    EXPECT_EQ(GetAnalysisLog(), log) << "one process-wide log";

    ResyncTime(20240229, 36000.9f);  // within a second: nothing
    ResyncTime(20240301, 60.0f);
    EXPECT_EQ(GetBaseDate(), 20240301u);
    EXPECT_NEAR(GetTimeOfDay(), 60.0, 1e-3);
    const std::wstring path = log->GetPath();
    CloseAnalysisLog();
    EXPECT_EQ(GetAnalysisLog(), nullptr);
    SetTimeBaseClock(nullptr, nullptr);

    EXPECT_EQ(Read(path), "Local time: 02/29/24 10:00:00\r\n"
                          "AnalysisLog: Build Version: 35673\r\n"
                          "Time resync: 20240229:36000 -> 20240301:60\r\n");
}
}  // namespace
