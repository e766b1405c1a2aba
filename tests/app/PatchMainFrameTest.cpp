// The patch main frame's own parts: labels in repair mode, the page, browsing, the download line.
#include "app/DownloadEta.h"
#include "app/LogToFrame.h"
#include "app/PatchMainFrame.h"
#include "app/core/PatcherOptions.h"
#include "app/core/StringTable.h"
#include "patch/PatchCallbacks.h"
#include "tests/app/GuiTestSupport.h"

#include <wx/button.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

using namespace LumoPatch;
using apptest::PumpUntil;

namespace {

apptest::FakePageView* g_page = nullptr;

PatchMainFrame* MakeFrame()
{
    SetPatchCallbacks(nullptr, KeepPatchingCallback, LogToFrame);
    auto* frame = new PatchMainFrame(apptest::FakePageSeams({}, &g_page));
    frame->Show();
    return frame;
}

void Close(PatchMainFrame* frame)
{
    frame->Destroy();
    PumpUntil([] { return g_mainFrame.load() == nullptr; });
}

TEST(PatchMainFrameTest, StartsWithItsPageHiddenAndThePathRowDisabled)
{
    PatcherOptions::Instance() = PatcherOptions();
    PatcherOptions::Instance().installPath = L"/opt/Sollex/";
    PatchMainFrame* frame = MakeFrame();
    EXPECT_EQ(g_page->loaded, std::vector<wxString>{PatcherPageUrl()});
    EXPECT_FALSE(g_page->GetWindow()->IsShown());
    EXPECT_EQ(frame->PathBox()->GetValue(), "/opt/Sollex/");
    EXPECT_FALSE(frame->PathBox()->IsEnabled());
    EXPECT_FALSE(frame->BrowseButton()->IsEnabled());
    EXPECT_TRUE(frame->ApplyButton()->IsEnabled());
    EXPECT_TRUE(frame->IsTimerRunning());
    // Every control fits: the frame is at least as large as its layout asks.
    EXPECT_GE(frame->GetClientSize().x, frame->ApplyButton()->GetBestSize().x * 2);

    // A load that reports no size keeps the page hidden; a finished one shows it for good.
    g_page->Events().OnProgressChange(0, 0);
    EXPECT_FALSE(g_page->GetWindow()->IsShown());
    g_page->Events().OnProgressChange(100, 100);
    EXPECT_TRUE(g_page->GetWindow()->IsShown());
    EXPECT_GE(g_page->scrollbarsHidden, 3);
    EXPECT_FALSE(g_page->Events().OnBeforeNavigate2("http://elsewhere.example/"));  // links stay inside
    Close(frame);
}

TEST(PatchMainFrameTest, BrowseClearsTheLogOrWithDebugAddsASeparator)
{
    for (bool debug : {false, true}) {
        PatcherOptions::Instance() = PatcherOptions();
        PatchMainFrame* frame = MakeFrame();
        frame->SetDebug(debug);
        LogToFrame(1, L"before");
        ASSERT_TRUE(PumpUntil([&] { return !frame->LogView()->IsEmpty(); }));
        // The test binary carries no archive: discovery says nothing more and opens no dialog.
        wxCommandEvent click(wxEVT_BUTTON, kIdBrowseButton);
        frame->ProcessWindowEvent(click);
        apptest::Pump();
        // With debug the separator is followed by discovery's detail line.
        const wxString expected = debug ? "before\n\n-------------------------\n\nChecking embedded patch: " : "";
        EXPECT_TRUE(frame->LogView()->GetValue().StartsWith(expected)) << frame->LogView()->GetValue();
        EXPECT_EQ(frame->LogView()->IsEmpty(), !debug);
        Close(frame);
    }
}

TEST(DownloadEtaTest, TextsAndMinutesLeft)
{
    SetResourceLanguageEnglish();
    struct Case { uint64_t done, total; double elapsed; const wchar_t* text; };
    const Case cases[] = {
        {100 << 10, 900 << 10, 600, L"Download Progress 100 kB of 900 kB, 1 hr 20 min remaining"},
        {300 << 10, 900 << 10, 30, L"Download Progress 300 kB of 900 kB, 1 min remaining"},
        {0, 900 << 10, 30, L"Download Progress 0 kB of 900 kB, 1 min remaining"},
        {300 << 10, 900 << 10, 0, L"Download Progress 300 kB of 900 kB, 1 min remaining"},
        // More done than in all (a torn read): nothing left, never a wrapped-around figure.
        {950 << 10, 900 << 10, 30, L"Download Progress 950 kB of 900 kB, 1 min remaining"},
        // Sizes beyond 4 TB: kilobytes stop at the 32-bit limit instead of wrapping.
        {1ull << 10, 1ull << 53, 1e9, L"Download Progress 1 kB of 4294967295 kB, 71582788 hr 15 min remaining"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DownloadEtaText(c.done, c.total, c.elapsed), c.text) << c.done << " of " << c.total;
    EXPECT_EQ(DownloadMinutesLeft(1, UINT32_MAX, 1e12), UINT32_MAX);
}

}  // namespace
