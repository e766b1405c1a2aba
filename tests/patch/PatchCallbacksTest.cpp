#include "patch/PatchCallbacks.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "lumo/text/StringUtil.h"
#include "patch/PatchMessages.h"

namespace
{

std::vector<std::pair<int, std::wstring>> g_messages;
std::vector<int> g_totals;
int g_keepGoingCalls = 0;

void RecordMessage(int level, const std::wstring& text)
{
    g_messages.emplace_back(level, text);
}
void RecordTotal(int total)
{
    g_totals.push_back(total);
}
bool StopOnThirdCall()
{
    return ++g_keepGoingCalls < 3;
}

class PatchCallbacksTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_messages.clear();
        g_totals.clear();
        g_keepGoingCalls = 0;
    }
    void TearDown() override { SetPatchCallbacks(nullptr, nullptr, nullptr); }
};

TEST_F(PatchCallbacksTest, UnsetCallbacksAreSkippedOrMeanKeepGoing)
{
    ASSERT_TRUE(SetPatchCallbacks(nullptr, nullptr, nullptr));
    PatchSetTotal(5);
    PatchSendMessage(PATCH_LEVEL_ERROR, L"dropped");
    EXPECT_TRUE(PatchKeepGoing());
    EXPECT_TRUE(g_messages.empty());
    EXPECT_TRUE(g_totals.empty());
}

TEST_F(PatchCallbacksTest, SettingAgainReplacesAllThree)
{
    ASSERT_TRUE(SetPatchCallbacks(RecordTotal, StopOnThirdCall, RecordMessage));
    PatchSetTotal(7);
    PatchSendMessage(PATCH_LEVEL_WARNING, std::wstring(PatchMessages::kAlreadyRemoved) + L"a\\b.txt");
    EXPECT_TRUE(PatchKeepGoing());
    EXPECT_TRUE(PatchKeepGoing());
    EXPECT_FALSE(PatchKeepGoing());
    EXPECT_EQ(std::vector<int>{7}, g_totals);
    ASSERT_EQ(1u, g_messages.size());
    EXPECT_EQ(2, g_messages[0].first);
    EXPECT_EQ(L"File seems to have been removed already: a\\b.txt", g_messages[0].second);

    ASSERT_TRUE(SetPatchCallbacks(nullptr, nullptr, RecordMessage));
    PatchSetTotal(8);
    EXPECT_TRUE(PatchKeepGoing());
    EXPECT_EQ(std::vector<int>{7}, g_totals);
}

// Guards against editing slips in the table: count, order at its landmarks, and the
// placeholders the senders fill in.
TEST(PatchMessagesTest, TableKeepsItsOrderAndPlaceholders)
{
    using namespace PatchMessages;
    ASSERT_EQ(56u, kMessageCount);
    std::set<std::wstring> distinct;
    for (const wchar_t* text : kAll)
    {
        ASSERT_NE(nullptr, text);
        EXPECT_NE(L'\0', text[0]);
        distinct.insert(text);
    }
    EXPECT_EQ(56u, distinct.size());
    const struct
    {
        size_t number; // 1-based, as the texts are counted
        const wchar_t* text;
    } landmarks[] = {
        {1, L"Apply Update"},
        {6, L"Cancelling patch process..."},
        {13, L"Could not create the directory: "},
        {23, L"..."},
        {29, L"Failed adding: "},
        {38, L"Failed patch command: "},
        {46, L"Could not open: "},
        {47, L" for reading. The file might not be present"},
        {54, L"Failed to restore backup file %s"},
        {56, L"This version of Sollex requires the August 2009 release of DirectX9. \nThe patch can be retried once "
             L"DirectX is updated."},
    };
    for (const auto& landmark : landmarks)
        EXPECT_STREQ(landmark.text, kAll[landmark.number - 1]) << "text " << landmark.number;

    EXPECT_EQ(L"Could not open data file /i/data/x.diff for reading.",
              LumoUtil::FormatWString(kCannotOpenDataFile, L"/i/data/x.diff"));
    EXPECT_EQ(L"An unknown error (-3) occurred while patching file b\\x.dll",
              LumoUtil::FormatWString(kUnknownPatchError, -3, L"b\\x.dll"));
    EXPECT_EQ(L"Failed to patch \u0416.dll, file contents do not match",
              LumoUtil::FormatWString(kContentsDoNotMatch, L"\u0416.dll"));
    EXPECT_EQ(L"NumOk: 2 NumFailed: 1", LumoUtil::FormatWString(kNumOkNumFailed, 2, 1));
    EXPECT_EQ(L"Failed to create backup of file x", LumoUtil::FormatWString(kBackupFailed, L"x"));
}

} // namespace
