// The window with a worker the test controls: log colours, the close confirmation, the finished
// event, a worker that cannot start, and what the bridge carries over from worker threads.
#include "app/FrameSplitter.h"
#include "app/LogToFrame.h"
#include "app/PatchMainFrame.h"
#include "app/core/PatcherOptions.h"
#include "lumo/diagnostics/CrashHandlers.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchMessages.h"
#include "tests/app/GuiTestSupport.h"
#include "tests/fixtures/ScratchFolder.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

using namespace LumoPatch;
using apptest::ExpectMessage;
using apptest::FakeWorker;
using apptest::PumpUntil;

namespace {

class MainFrameTest : public testing::Test {
protected:
    void SetUp() override
    {
        SetPatchCallbacks(nullptr, KeepPatchingCallback, LogToFrame);
        PatcherOptions::Instance() = PatcherOptions();
    }
    void TearDown() override
    {
        if (MainFrame* frame = g_mainFrame.load())
            frame->Destroy();
        apptest::PumpUntil([] { return g_mainFrame.load() == nullptr; });
    }

    PatchMainFrame* MakeFrame(WorkerFactory factory = {})
    {
        if (!factory)
            factory = [this](MainFrame* frame) { return m_worker = new FakeWorker(frame); };
        auto* frame = new PatchMainFrame(apptest::FakePageSeams(factory));
        frame->Show();
        return frame;
    }
    static void Apply(MainFrame* frame)
    {
        wxCommandEvent click(wxEVT_BUTTON, kIdApplyButton);
        frame->ProcessWindowEvent(click);
    }
    static wxString LastLine(MainFrame* frame)
    {
        return frame->LogView()->GetValue().AfterLast('\n');
    }

    FakeWorker* m_worker = nullptr;
};

TEST_F(MainFrameTest, LinesTakeTheirLevelsColourAndOtherLevelsKeepThePreviousOne)
{
    struct Line {
        int level;
        const wchar_t* text;
        wxColour colour;  // the colour the line shows
    };
    const Line lines[] = {
        {1, L"status", wxColour(0, 0, 0)},      {2, L"child said", wxColour(128, 128, 128)},
        {3, L"failed", wxColour(255, 0, 0)},    {7, L"odd level", wxColour(255, 0, 0)},
        {0, L"detail", wxColour()},             {1, L"after detail", wxColour(0, 0, 0)},
    };
    PatchMainFrame* frame = MakeFrame();
    for (const Line& line : lines)
        LogToFrame(line.level, line.text);
    ASSERT_TRUE(PumpUntil([&] { return LastLine(frame) == "after detail"; }));

    // No leading line feed; the detail line is dropped without debug and the lock is free again.
    EXPECT_EQ(frame->LogView()->GetValue(), "status\nchild said\nfailed\nodd level\nafter detail");
    long position = 0;
    for (const Line& line : lines) {
        if (!line.colour.IsOk())
            continue;
        wxTextAttr style;
        ASSERT_TRUE(frame->LogView()->GetStyle(position, style)) << line.text;
        EXPECT_EQ(style.GetTextColour(), line.colour) << line.text;
        position += wxString(line.text).length() + 1;
    }
}

TEST_F(MainFrameTest, CloseWhileRunningAsksThenCancelsAndWaitsForTheWorker)
{
    PatchMainFrame* frame = MakeFrame();
    Apply(frame);
    ASSERT_NE(m_worker, nullptr);
    EXPECT_FALSE(frame->ApplyButton()->IsEnabled());
    EXPECT_FALSE(frame->BrowseButton()->IsEnabled());

    wxTEST_DIALOG(frame->Close(), ExpectMessage(L"Do you really want to cancel?", wxID_NO));
    EXPECT_FALSE(frame->IsCancelled());
    EXPECT_TRUE(frame->ExitButton()->IsEnabled());
    EXPECT_TRUE(KeepPatchingCallback());

    // Once a patch is installed the question warns.
    frame->Host().PatchInstalled();
    ASSERT_TRUE(PumpUntil([&] { return frame->PatchesInstalled() == 1; }));
    wxTEST_DIALOG(frame->Close(), ExpectMessage(PatchMessages::kConfirmCancelAfterInstall, wxID_YES));
    EXPECT_TRUE(frame->IsCancelled());
    EXPECT_FALSE(KeepPatchingCallback());
    EXPECT_FALSE(frame->ExitButton()->IsEnabled());
    EXPECT_EQ(g_mainFrame.load(), frame);  // still there while the worker ends

    ASSERT_TRUE(PumpUntil([&] { return frame->ExitButton()->IsEnabled(); }));
    EXPECT_EQ(frame->ExitButton()->GetLabel(), "Exit");
    EXPECT_EQ(LastLine(frame), "Cancelling patch process...");
    wxTextAttr style;
    ASSERT_TRUE(frame->LogView()->GetStyle(frame->LogView()->GetLastPosition() - 3, style));
    EXPECT_EQ(style.GetTextColour(), *wxRED);

    wxCommandEvent exit(wxEVT_BUTTON, kIdExitButton);
    frame->ProcessWindowEvent(exit);
    EXPECT_TRUE(PumpUntil([] { return g_mainFrame.load() == nullptr; }));
}

TEST_F(MainFrameTest, AWorkerThatCannotStartLeavesApplyAndBrowseUsableAndNoDanglingWorker)
{
    PatchMainFrame* frame =
        MakeFrame([](MainFrame* owner) { return new apptest::UnstartableWorker(owner); });
    Apply(frame);
    EXPECT_TRUE(frame->ApplyButton()->IsEnabled());
    EXPECT_TRUE(frame->BrowseButton()->IsEnabled());
    EXPECT_EQ(frame->Worker(), nullptr);
    EXPECT_EQ(g_currentWorkerThread.load(), nullptr);
    EXPECT_FALSE(frame->IsRunning());
    EXPECT_TRUE(PumpUntil([&] {
        return LastLine(frame) == "The run cannot start: the system has no thread to give it (too many threads, or no memory).";
    })) << LastLine(frame);
    frame->Close();  // nothing runs: closes at once, no question
    EXPECT_TRUE(PumpUntil([] { return g_mainFrame.load() == nullptr; }));
}

TEST_F(MainFrameTest, ASecondRunReplacesTheJoinedWorker)
{
    PatchMainFrame* frame = MakeFrame();
    Apply(frame);
    FakeWorker* first = m_worker;
    first->Release();
    ASSERT_TRUE(PumpUntil([&] { return frame->ExitButton()->GetLabel() == "Exit"; }));
    EXPECT_FALSE(first->IsAlive());  // joined, not leaked
    frame->ApplyButton()->Enable();
    Apply(frame);
    EXPECT_NE(m_worker, first);
    EXPECT_EQ(g_currentWorkerThread.load(), m_worker);
    m_worker->Release();
    ASSERT_TRUE(PumpUntil([&] { return !frame->IsRunning(); }));
}

TEST_F(MainFrameTest, SplitCommandsFollowTheSplitterAndItsEventsReachTheStatusLine)
{
    PatchMainFrame* frame = MakeFrame();
    auto states = [frame] {  // per split command (horizontal, vertical, unsplit): enabled 1, disabled 0
        std::string enabled;
        for (wxUpdateUIEvent update : {wxUpdateUIEvent(kIdSplitHorizontal), wxUpdateUIEvent(kIdSplitVertical), wxUpdateUIEvent(kIdUnsplit)})
            enabled += frame->ProcessWindowEvent(update) && update.GetSetEnabled() ? "01"[update.GetEnabled()] : '-';
        return enabled;
    };
    EXPECT_EQ(states(), "000");  // the patcher's window: no splitter
    auto* splitter = new FrameSplitter(frame->LogView()->GetParent(), frame);
    wxWindow *left = new wxWindow(splitter, wxID_ANY), *right = new wxWindow(splitter, wxID_ANY);
    splitter->SplitVertically(left, right, 150);
    EXPECT_EQ(states(), "101");
    splitter->Unsplit();
    EXPECT_EQ(states(), "110");
    splitter->SplitHorizontally(left, right, 80);
    EXPECT_EQ(states(), "011");
    const wxString now = wxString::Format("%d", splitter->GetSashPosition());
    const struct { wxEventType type; int sash; wxString line; } rows[] = {
        {wxEVT_SPLITTER_SASH_POS_CHANGED, 120, "Position has changed, now = 120 (or " + now + ")"},
        {wxEVT_SPLITTER_SASH_POS_CHANGING, 90, "Position is changing, now = 90 (or " + now + ")"},
        {wxEVT_SPLITTER_DOUBLECLICKED, -1, "Splitter double clicked"},
        {wxEVT_SPLITTER_UNSPLIT, -1, "Splitter unsplit"},
    };
    for (const auto& row : rows) {
        wxSplitterEvent event(row.type, splitter);
        if (row.sash >= 0)
            event.SetSashPosition(row.sash);
        EXPECT_FALSE(splitter->ProcessWindowEvent(event)) << "every handler lets the event go on";
        EXPECT_EQ(frame->StatusText()->GetLabel(), row.line);
    }
    splitter->Destroy();
    apptest::Pump();
    EXPECT_EQ(states(), "000");
}

TEST(GuardedThreadDeathTest, AnExceptionInABodyEndsTheProcessWith255)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A folder of its own for what the dying child writes (a fixed name in the shared temporary
    // folder may be another user's). The child runs this test again from its start, so it is
    // handed the parent's folder, which the parent removes afterwards.
    constexpr char kFolderVariable[] = "LUMO_GUARDED_DEATH_FOLDER";
    std::string folder = std::getenv(kFolderVariable) ? std::getenv(kFolderVariable) : "";
    if (folder.empty()) {
        folder = testing::TempDir() + "guarded-death-XXXXXX";
        ASSERT_NE(mkdtemp(folder.data()), nullptr);
        setenv(kFolderVariable, folder.c_str(), 1);
    }
    EXPECT_EXIT(
        {
            if (chdir(folder.c_str()) != 0)
                _exit(1);
            InstallCrashHandlers(true);
            BuildMinidumpName(L"patcher");
            FakeWorker worker(nullptr, true);
            worker.Release();
            worker.Run();
            worker.Wait();
            _exit(0);
        },
        testing::ExitedWithCode(255), "Unhandled Exception");
    unsetenv(kFolderVariable);
    EXPECT_TRUE(fixtures::RemoveTree(folder)) << folder;
}

TEST_F(MainFrameTest, BridgeCarriesGaugePathApplyAndMessagesFromAWorkerThread)
{
    PatchMainFrame* frame = MakeFrame();
    frame->ApplyButton()->Disable();
    RunHost& host = frame->Host();
    std::thread worker([&] {
        for (int value = 0; value <= 400; ++value)
            host.SetGauge(400, value);
        host.SetPathText(L"/games/Sollex Jürgen/");
        host.EnableApply();
        host.ShowMessage(L"Files in use", L"Sollex");
    });
    wxTEST_DIALOG(EXPECT_TRUE(PumpUntil([&] { return frame->ApplyButton()->IsEnabled(); })),
                  ExpectMessage(L"Files in use", wxID_OK));
    worker.join();
    apptest::Pump();
    EXPECT_EQ(frame->Gauge()->GetRange(), 400);
    EXPECT_EQ(frame->Gauge()->GetValue(), 400);
    EXPECT_EQ(frame->PathBox()->GetValue(), L"/games/Sollex Jürgen/");
}

TEST_F(MainFrameTest, LinesFromManyThreadsAllArriveWholeAndInTheirOrder)
{
    PatchMainFrame* frame = MakeFrame();
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                LogToFrame(1, wxString::Format("thread %d line %d", t, i).ToStdWstring());
        });
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(PumpUntil([&] { return frame->LogView()->GetNumberOfLines() >= kThreads * kLines; }));
    int next[kThreads] = {};
    for (const wxString& line : wxSplit(frame->LogView()->GetValue(), '\n')) {
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(line.utf8_str(), "thread %d line %d", &t, &i), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++);
    }
    for (int count : next)
        EXPECT_EQ(count, kLines);
}

TEST_F(MainFrameTest, LinesLoggedBeforeTheWindowExistsAppearFirstOnceItDoes)
{
    // Lines a previous test left behind go to a frame of their own first.
    MakeFrame()->Destroy();
    ASSERT_TRUE(PumpUntil([] { return g_mainFrame.load() == nullptr; }));
    for (size_t i = 0; i < kEarlyLogLines + 5; ++i)
        LogToFrame(3, L"early " + std::to_wstring(i));
    PatchMainFrame* frame = MakeFrame();
    LogToFrame(1, L"late");
    ASSERT_TRUE(PumpUntil([&] { return LastLine(frame) == "late"; }));
    const wxArrayString lines = wxSplit(frame->LogView()->GetValue(), '\n');
    ASSERT_EQ(lines.size(), kEarlyLogLines + 1);  // the bound holds; the rest reached the system log
    EXPECT_EQ(lines[0], "early 0");
    EXPECT_EQ(lines[kEarlyLogLines - 1], wxString::Format("early %zu", kEarlyLogLines - 1));
}

}  // namespace
