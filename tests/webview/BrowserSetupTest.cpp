#include "webview/BrowserSetup.h"

#include <gtest/gtest.h>

#include "tests/webview/WebViewFakes.h"
#include "webview/LoadTracker.h"
#include "webview/WebCtrlInterface.h"

using namespace LumoCom;
using namespace fakes;

namespace
{

ComPtr<FakeObject> NewBrowser()
{
    CallLog().clear();
    return MakeFake<IWebBrowser2, IOleObject, IHTMLDocument2, IHTMLElement, IHTMLBodyElement>();
}

TEST(BrowserSetupTest, SetupSwitchesFurnitureOffAndInstallsTheHandlerOverTheOldSite)
{
    auto browser = NewBrowser();
    auto oldSite = ComPtr<CWebCtrlInterFace>(new CWebCtrlInterFace()); // any client site will do
    browser->SetClientSite(oldSite.Get());
    CallLog().clear();
    ComPtr<IWebBrowser2> kept;
    auto handler = SetupBrowserOn(static_cast<IWebBrowser2*>(browser.Get()), kept);
    ASSERT_TRUE(handler);
    EXPECT_EQ((std::vector<std::string>{"MenuBar=0", "AddressBar=0", "StatusBar=0", "ToolBar=0", "RegisterAsBrowser=0",
                                        "RegisterAsDropTarget=0", "Navigate about:blank", "SetClientSite"}),
              CallLog());
    EXPECT_EQ(static_cast<IOleClientSite*>(handler.Get()), browser->site.Get());
    EXPECT_EQ(1u, handler->ContextMenuMode());
    EXPECT_EQ(S_OK, handler->ShowObject());
    browser->site.Reset();
    handler.Reset();
    oldSite.Reset();
    EXPECT_EQ(0, LiveCounter<CWebCtrlInterFace>::Live()); // the old site was released once, not leaked
}

TEST(BrowserSetupTest, SetupWithoutABrowserInstallsNothing)
{
    auto handler = ComPtr<CWebCtrlInterFace>(new CWebCtrlInterFace());
    ComPtr<IWebBrowser2> kept;
    EXPECT_FALSE(SetupBrowserOn(static_cast<IOleClientSite*>(handler.Get()), kept));
    EXPECT_FALSE(kept);
}

TEST(BrowserSetupTest, ReadyStateWaitIsBounded)
{
    auto browser = NewBrowser();
    browser->readyAfter = 1000000;
    std::chrono::milliseconds slept{0};
    ReadyStateWait wait{std::chrono::milliseconds(5000), std::chrono::milliseconds(10),
                        [&](std::chrono::milliseconds step) { slept += step; }};
    EXPECT_FALSE(WaitForReadyState(browser.Get(), wait));
    EXPECT_EQ(5000, slept.count());
    EXPECT_EQ(501, browser->polls);

    browser->polls = 0;
    browser->readyAfter = 3;
    slept = {};
    EXPECT_TRUE(WaitForReadyState(browser.Get(), wait));
    EXPECT_EQ(20, slept.count());
}

TEST(BrowserSetupTest, LoadUrlGoesOnlineThenNavigatesWithThePageFlags)
{
    auto browser = NewBrowser();
    LoadUrlOn(browser.Get(), L"http://127.0.0.1/p.html", L"");
    LoadUrlOn(browser.Get(), L"http://127.0.0.1/p.html", L"side");
    EXPECT_EQ((std::vector<std::string>{"Offline=0", "Navigate http://127.0.0.1/p.html flags=2:654 target=0:",
                                        "Offline=0", "Navigate http://127.0.0.1/p.html flags=2:654 target=8:side"}),
              CallLog());
}

TEST(BrowserSetupTest, ScrollbarsOnlyWhereADocumentBodyExists)
{
    auto browser = NewBrowser();
    HideScrollbarsOn(browser.Get(), true); // no document
    browser->withDocument = true;
    HideScrollbarsOn(browser.Get(), true); // a document without a body
    EXPECT_TRUE(CallLog().empty());
    browser->withBody = true;
    HideScrollbarsOn(browser.Get(), true);
    HideScrollbarsOn(browser.Get(), false);
    HideScrollbarsOn(browser.Get(), true);
    EXPECT_EQ((std::vector<std::string>{"scroll=no", "scroll=yes", "scroll=no"}), CallLog());
    HideScrollbarsOn(nullptr, true);
}

TEST(LoadTrackerTest, OnlyAnErrorFreeLoadOfTheAskedPageCompletes)
{
    // Each step: 'R' url = load requested, 'N' = allowed navigation, 'V' = vetoed one,
    // 'E' = error, 'C' = cancelled error, 'L' url = loaded (the expected answer follows).
    struct Step { char kind; const wchar_t* url = L""; bool complete = false; };
    struct Case { const char* name; std::vector<Step> steps; } cases[] = {
        {"start-up with the stale blank page",
         {{'R', L"about:blank"}, {'R', L"http://p/"}, {'L', L"about:blank", false}, {'N'}, {'N'},
          {'L', L"http://p/", true}}},
        {"refused, then WebKit's error page", {{'R', L"http://p/"}, {'N'}, {'E'}, {'L', L"about:blank", false},
                                               {'L', L"http://p/", false}}},
        {"restricted port turned into blank", {{'R', L"http://p:9/"}, {'N'}, {'L', L"about:blank", false}}},
        {"an HTTP error page still counts", {{'R', L"http://p/404"}, {'N'}, {'L', L"http://p/404", true}}},
        {"vetoed link keeps the failure", {{'R', L"http://p/"}, {'E'}, {'V'}, {'L', L"http://p/", false}}},
        {"link after a failed load", {{'R', L"http://p/"}, {'E'}, {'N'}, {'L', L"http://p/other", true}}},
        {"cancelled error, then the page", {{'R', L"http://p/"}, {'N'}, {'C'}, {'L', L"http://p/", true}}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        LoadTracker tracker;
        for (const Step& step : c.steps)
        {
            switch (step.kind)
            {
            case 'R': tracker.OnNavigateRequested(step.url); break;
            case 'N': tracker.OnNavigating(true); break;
            case 'V': tracker.OnNavigating(false); break;
            case 'E': tracker.OnError(false); break;
            case 'C': tracker.OnError(true); break;
            case 'L': EXPECT_EQ(step.complete, tracker.OnLoaded(step.url)) << std::string(step.url, step.url + 3); break;
            }
        }
    }
}

TEST(LoadTrackerTest, NeverCompleteAfterAnErrorUntilANewAllowedNavigation)
{
    uint32_t seed = 12345;
    auto next = [&] { return (seed = seed * 1103515245 + 12345) >> 16; };
    LoadTracker tracker;
    bool failed = false;
    for (int i = 0; i < 20000; ++i)
    {
        switch (next() % 5)
        {
        case 0: tracker.OnNavigateRequested(L"http://p/"), failed = false; break;
        case 1: tracker.OnNavigating(true), failed = false; break;
        case 2: tracker.OnNavigating(false); break;
        case 3: tracker.OnError(false), failed = true; break;
        case 4:
            if (failed)
            {
                ASSERT_FALSE(tracker.OnLoaded(next() % 2 ? L"http://p/" : L"about:blank")) << i;
            }
            break;
        }
    }
}

} // namespace
