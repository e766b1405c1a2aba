#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/ffile.h>
#include <wx/filename.h>
#include <wx/frame.h>
#include <wx/uiaction.h>
#include <wx/webview.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/ComConnectionPoint.h"
#include "webview/ActiveXEvent.h"
#include "webview/FrameSite.h"
#include "webview/IEHtmlWin.h"
#include "webview/WebKitBrowserControl.h"
#include "webview/WebKitNative.h"
#include "tests/fixtures/ShellCommand.h"
#include "tests/fixtures/TestServers.h"

using namespace LumoCom;

namespace
{

const wxEventType kEvtBeforeNavigate2 = RegisterActiveXEvent("BeforeNavigate2");
const wxEventType kEvtProgressChange = RegisterActiveXEvent("ProgressChange");

bool PumpUntil(const std::function<bool()>& done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        wxTheApp->ProcessPendingEvents();
        wxTheApp->ProcessIdle();
        wxYield();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void PumpFor(int ms)
{
    PumpUntil([] { return false; }, ms);
}

int LiveObjects()
{
    return LiveCounter<FrameSite>::Live() + LiveCounter<CWebCtrlInterFace>::Live() +
           LiveCounter<wxActiveXEvents>::Live() + LiveCounter<ConnectionPoint>::Live() + LiveWebBrowserObjects();
}

// A frame holding the browser window as the patcher's frame does: hidden until the page loaded.
class WebViewWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_folder = wxFileName::CreateTempFileName("webview-page");
        wxRemoveFile(m_folder);
        wxFileName::Mkdir(m_folder);
        WritePage("page.html", "<html><body style='background:rgb(0,192,0);margin:0'>"
                               "<div style='height:3000px'>Sollex</div></body></html>");

        frame = new wxFrame(nullptr, wxID_ANY, "web view test", wxDefaultPosition, wxSize(500, 200));
        html = new wxIEHtmlWin(frame, 501, wxPoint(0, 0), wxSize(450, 100), wxNO_BORDER | wxWANTS_CHARS);
        html->DocHostHandler()->m_bDialog = true;
        html->DocHostHandler()->m_bNo3DBorder = true;
        html->Hide();
        frame->Show();
        frame->Bind(wxEventTypeTag<wxActiveXEvent>(kEvtBeforeNavigate2), [this](wxActiveXEvent& event) {
            urls.push_back(event["Url"].GetString());
            if (onNavigate)
                onNavigate(event);
        }, 501);
        frame->Bind(wxEventTypeTag<wxActiveXEvent>(kEvtProgressChange), [this](wxActiveXEvent& event) {
            if (event["Progress"].GetLong() == event["ProgressMax"].GetLong() && event["ProgressMax"].GetLong() > 0)
            {
                ++loads;
                html->Show();
            }
            html->HideScrollbars(true);
        }, 501);
    }

    void TearDown() override
    {
        if (frame)
            frame->Destroy();
        frame = nullptr;
        EXPECT_TRUE(PumpUntil([] { return LiveObjects() == 0 && wxTopLevelWindows.empty(); }, 5000))
            << LiveObjects() << " web view objects alive";
        wxFileName::Rmdir(m_folder, wxPATH_RMDIR_RECURSIVE);
    }

    wxString WritePage(const wxString& name, const wxString& text)
    {
        wxString path = m_folder + "/" + name;
        wxFFile(path, "w").Write(text);
        return path;
    }
    wxString Url(const wxString& name) { return wxFileName::FileNameToURL(m_folder + "/" + name); }
    wxWebView* View() { return dynamic_cast<wxWebView*>(html->m_controlHwnd); }

    wxString RunScript(const wxString& script)
    {
        wxString result;
        View()->RunScript(script, &result);
        return result;
    }

    wxFrame* frame = nullptr;
    wxIEHtmlWin* html = nullptr;
    std::vector<wxString> urls;
    int loads = 0;
    std::function<void(wxActiveXEvent&)> onNavigate;
    wxString m_folder;
};

TEST_F(WebViewWindowTest, PageIsShownOnceLoadedWithoutMenuOrScrollBars)
{
    ASSERT_NE(nullptr, View());
    html->LoadUrl(Url("page.html"));
    html->HideScrollbars(true);
    ASSERT_TRUE(PumpUntil([&] { return loads > 0; }, 15000));
    EXPECT_TRUE(html->IsShown());
    EXPECT_FALSE(View()->IsContextMenuEnabled());
    EXPECT_EQ(Url("page.html"), urls.back());

    EXPECT_TRUE(PumpUntil([&] { return RunScript("getComputedStyle(document.body).overflow") == "hidden"; }, 5000));
    EXPECT_EQ("0", RunScript("String(window.innerWidth - document.documentElement.clientWidth)"));
    html->HideScrollbars(false);
    EXPECT_TRUE(PumpUntil([&] { return RunScript("getComputedStyle(document.body).overflow") == "scroll"; }, 5000));

    // The page really is on the screen: its colour inside the window, away from the text.
    html->HideScrollbars(true);
    PumpFor(300);
    wxRect rect = html->GetScreenRect();
    wxBitmap shot(rect.width, rect.height);
    wxMemoryDC memory(shot);
    wxScreenDC screen;
    memory.Blit(0, 0, rect.width, rect.height, &screen, rect.x, rect.y);
    memory.SelectObject(wxNullBitmap);
    wxImage image = shot.ConvertToImage();
    EXPECT_EQ(192, image.GetGreen(rect.width - 20, rect.height - 20));
    EXPECT_EQ(0, image.GetRed(rect.width - 20, rect.height - 20));

    // A right click on the page opens no menu and breaks nothing.
    wxUIActionSimulator simulator;
    simulator.MouseMove(rect.GetPosition() + wxPoint(60, 60));
    PumpFor(50);
    simulator.MouseClick(wxMOUSE_BTN_RIGHT);
    PumpFor(300);
    EXPECT_TRUE(html->IsShown());
    EXPECT_EQ(Url("page.html"), View()->GetCurrentURL());
}

TEST_F(WebViewWindowTest, MissingPageKeepsTheWindowHidden)
{
    html->LoadUrl(Url("no-such-page.html"));
    PumpFor(3000);
    EXPECT_EQ(0, loads);
    EXPECT_FALSE(html->IsShown());
}

TEST_F(WebViewWindowTest, VetoedNavigationDoesNotHappen)
{
    WritePage("elsewhere.html", "<html><body>elsewhere</body></html>");
    html->LoadUrl(Url("page.html"));
    ASSERT_TRUE(PumpUntil([&] { return loads > 0; }, 15000));
    onNavigate = [](wxActiveXEvent& event) {
        if (event["URL"].GetString().EndsWith("elsewhere.html"))
            event["Cancel"] = true;
    };
    View()->RunScriptAsync("location.href = 'elsewhere.html';");
    ASSERT_TRUE(PumpUntil([&] { return urls.back().EndsWith("elsewhere.html"); }, 5000));
    PumpFor(500);
    EXPECT_EQ(Url("page.html"), View()->GetCurrentURL());
    EXPECT_EQ(1, loads);
}

TEST_F(WebViewWindowTest, WindowDestroyedInsideANavigationGoesOnceTheLoopIsBack)
{
    wxWeakRef<wxWindow> alive(html);
    onNavigate = [&](wxActiveXEvent&) {
        html->Destroy(); // inside WebKit's navigation decision
        EXPECT_TRUE(alive);
    };
    html->LoadUrl(Url("page.html"));
    ASSERT_TRUE(PumpUntil([&] { return !alive; }, 10000));
}

TEST_F(WebViewWindowTest, FrameClosesCleanlyWhileAPageLoads)
{
    html->LoadUrl(Url("page.html"));
    PumpFor(20);
    frame->Destroy();
    frame = nullptr; // TearDown checks that every object went with it
}

// True when WebKit's disk cache holds a response for url (a file of its cache that names it).
bool Cached(const std::string& url)
{
    return !fixtures::RunShell("grep -rlF -- '" + url + "' \"$XDG_CACHE_HOME\" | grep /WebKitCache/").empty();
}

// The page's own script would turn it red and call its server back. With no flags it does, is cached
// and starts a download; with the window's flags it stays magenta and does neither.
TEST_F(WebViewWindowTest, PageFlagsStopPageScriptCacheAndDownloads)
{
    WritePage("page.html", "<html><body style='background:rgb(255,0,255)'><script>document.body.style.background ="
                           " 'rgb(255,0,0)'; fetch('/status/204?script');</script></body></html>");
    nettest::FaultServer server(m_folder.ToStdString(), nullptr, (m_folder + "/requests.log").ToStdString());
    ASSERT_TRUE(server.Ok());
    for (bool flags : {true, false})  // the flagged page first: the server's log and the downloads start empty
    {
        SCOPED_TRACE(flags ? "page flags" : "no flags");
        const std::string query = flags ? "?flags" : "?none", url = server.Url("file/page.html" + query);
        const int loadsBefore = loads;
        if (flags)  // as the window navigates, else with no flags at all
            html->LoadUrl(url);
        else
            ASSERT_EQ(S_OK, QueryAs<IWebBrowser2>(html->m_control.Get())
                                ->Navigate(wxString(url).ToStdWstring(), nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(PumpUntil([&] { return loads > loadsBefore; }, 15000));
        PumpFor(500);  // time for a script's requests to reach the server
        EXPECT_EQ(flags ? "rgb(255, 0, 255)" : "rgb(255, 0, 0)", RunScript("getComputedStyle(document.body).backgroundColor"));
        EXPECT_EQ(!flags, server.Log().find("?script") != std::string::npos) << server.Log();
        EXPECT_EQ(!flags, PumpUntil([&] { return Cached(url); }, flags ? 3000 : 10000));
        ASSERT_TRUE(webkit::RunScript(View()->GetNativeBackend(), ("location.href = '/attachment/page.html" + query + "';").c_str()));
        ASSERT_TRUE(PumpUntil([&] { return server.Log().find("attachment/page.html" + query) != std::string::npos; }, 10000));
        EXPECT_EQ(!flags, PumpUntil([] { return !std::filesystem::is_empty(std::getenv("LUMO_TEST_DOWNLOADS")); }, flags ? 2000 : 10000));
    }
}

// Navigation flags must be numbers; the view refuses drops for good (WebKit cannot set them up again).
TEST_F(WebViewWindowTest, NavigationFlagsMustBeNumbersAndDropsStayRefused)
{
    auto browser = QueryAs<IWebBrowser2>(html->m_control.Get());
    int32_t restricted = navEnforceRestricted;
    Variant flags[] = {Variant::Short(kPageNavigationFlags), Variant::Ref(VT_I4, &restricted),
                       Variant::String(L"0x28E"), Variant::Bool(true)};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(i < 2 ? S_OK : E_INVALIDARG, browser->Navigate(Url("page.html").ToStdWstring(), &flags[i], nullptr, nullptr, nullptr)) << i;
    EXPECT_TRUE(webkit::CurrentRestrictions(View()->GetNativeBackend()).pageScript);
    EXPECT_EQ(E_FAIL, browser->put_RegisterAsDropTarget(VARIANT_TRUE));
    EXPECT_FALSE(webkit::AcceptsDrops(View()->GetNativeBackend()));
    EXPECT_TRUE(webkit::AcceptsDrops(wxWebView::New(frame, wxID_ANY)->GetNativeBackend())) << "a view nobody told to refuse drops";
}

// A no-history navigation takes the place of the page before it in the back-forward list, the first
// blank page included; a navigation without the flag adds one. A local file that WebKit lets no
// script reach (from a web page) still loads, keeping the page before it. A name that needs
// escaping in script reaches the view whole.
TEST_F(WebViewWindowTest, NoHistoryNavigationTakesThePlaceOfThePageBefore)
{
    const wxString oddName = "second page's \\ \"name\".html";
    WritePage(oddName, "<html><body>second</body></html>");
    WritePage("third.html", "<html><body>third</body></html>");
    nettest::FaultServer server(m_folder.ToStdString());
    ASSERT_TRUE(server.Ok());
    auto browser = QueryAs<IWebBrowser2>(html->m_control.Get());
    const struct { wxString url; bool noHistory; size_t backSteps; } steps[] = {
        {server.Url("file/page.html"), true, 0},   // from the blank page
        {server.Url("file/third.html"), true, 0},  // web page to web page
        {Url("page.html"), true, 1},               // a local file from a web page: loaded, history kept
        {Url(oddName), true, 1},                   // local file to local file
        {server.Url("file/third.html"), false, 2},
    };
    for (const auto& step : steps)
    {
        SCOPED_TRACE(step.url.ToStdString());
        const int loadsBefore = loads;
        if (step.noHistory)
            html->LoadUrl(step.url);  // with the window's flags
        else
            ASSERT_EQ(S_OK, browser->Navigate(step.url.ToStdWstring(), nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(PumpUntil([&] { return loads > loadsBefore; }, 15000));
        EXPECT_EQ(step.url, View()->GetCurrentURL());
        EXPECT_EQ(step.backSteps, View()->GetBackwardHistory().size());
        EXPECT_EQ(step.backSteps > 0, View()->CanGoBack());
        EXPECT_FALSE(View()->CanGoForward());
    }
}

} // namespace
