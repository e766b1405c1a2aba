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
#include <functional>
#include <thread>

#include "platform/ComConnectionPoint.h"
#include "webview/ActiveXEvent.h"
#include "webview/FrameSite.h"
#include "webview/IEHtmlWin.h"
#include "webview/WebKitBrowserControl.h"
#include "webview/WebKitNative.h"
#include "tests/fixtures/TestServers.h"

#include <filesystem>
#include <fstream>
#include <iterator>

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
    void* Native() { return View()->GetNativeBackend(); }

    // Navigates as the window does (with its page flags) or with no flags at all.
    void Load(const wxString& url, bool withPageFlags)
    {
        if (withPageFlags)
            return html->LoadUrl(url);
        auto browser = QueryAs<IWebBrowser2>(html->m_control.Get());
        ASSERT_TRUE(browser);
        ASSERT_EQ(S_OK, browser->Navigate(url.ToStdWstring(), nullptr, nullptr, nullptr, nullptr));
    }

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

// A page whose own script would turn it red and call its server back, served by a server that
// records every request.
class RestrictedPageTest : public WebViewWindowTest
{
protected:
    void SetUp() override
    {
        WebViewWindowTest::SetUp();
        WritePage("page.html",
                  "<html><body style='background:rgb(255,0,255);margin:0' onload=\"fetch('/status/204?onload')\">"
                  "<script>document.body.style.background = 'rgb(255,0,0)'; fetch('/status/204?script');</script>"
                  "<a id='link' href=\"javascript:fetch('/status/204?link')\">link</a>"
                  "<div style='height:3000px'>Sollex</div></body></html>");
        WritePage("next.html", "<html><body>next</body></html>");
        WritePage("data.bin", "not a page");
        server = std::make_unique<nettest::FaultServer>(m_folder.ToStdString(), nullptr,
                                                        (m_folder + "/requests.log").ToStdString());
        ASSERT_TRUE(server->Ok());
    }

    wxString PageUrl(const std::string& name) { return server->Url("file/" + name); }
    std::string Requests() { return server->Log(); }

    std::unique_ptr<nettest::FaultServer> server;
};

TEST_F(RestrictedPageTest, PageFlagsKeepThePagesOwnScriptFromRunning)
{
    struct Case
    {
        bool withPageFlags;
        const char* background;
        bool scriptCalledBack;
    } cases[] = {{false, "rgb(255, 0, 0)", true}, {true, "rgb(255, 0, 255)", false}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.withPageFlags ? "page flags" : "no flags");
        const int loadsBefore = loads;
        const size_t seen = Requests().size();
        Load(PageUrl("page.html"), c.withPageFlags);
        ASSERT_TRUE(PumpUntil([&] { return loads > loadsBefore; }, 15000));
        ASSERT_TRUE(webkit::RunScript(Native(), "document.getElementById('link').click();"));
        PumpFor(500); // time for a script's requests to reach the server
        EXPECT_EQ(c.background, RunScript("getComputedStyle(document.body).backgroundColor"));
        const std::string requests = Requests().substr(seen);
        EXPECT_EQ(c.scriptCalledBack, requests.find("/status/204?script") != std::string::npos) << requests;
        EXPECT_EQ(c.scriptCalledBack, requests.find("/status/204?onload") != std::string::npos) << requests;
        EXPECT_EQ(c.scriptCalledBack, requests.find("/status/204?link") != std::string::npos) << requests;
        // The window's own script still hides the scroll bars.
        EXPECT_TRUE(PumpUntil([&] { return RunScript("getComputedStyle(document.body).overflow") == "hidden"; },
                              5000));
    }
}

TEST_F(RestrictedPageTest, UntrustedPageStartsNoDownload)
{
    const std::filesystem::path downloads = std::getenv("LUMO_TEST_DOWNLOADS");
    for (bool withPageFlags : {true, false})
    {
        SCOPED_TRACE(withPageFlags ? "page flags" : "no flags");
        std::filesystem::remove_all(downloads);
        std::filesystem::create_directories(downloads);
        const int loadsBefore = loads;
        Load(PageUrl("next.html"), withPageFlags);
        ASSERT_TRUE(PumpUntil([&] { return loads > loadsBefore; }, 15000));
        const std::string query = withPageFlags ? "?flags" : "?none";
        ASSERT_TRUE(webkit::RunScript(Native(), ("location.href = '/attachment/data.bin" + query + "';").c_str()));
        ASSERT_TRUE(PumpUntil([&] { return Requests().find("data.bin" + query) != std::string::npos; }, 10000));
        const bool downloaded =
            PumpUntil([&] { return !std::filesystem::is_empty(downloads); }, withPageFlags ? 2000 : 10000);
        EXPECT_EQ(!withPageFlags, downloaded);
    }
}

// True when WebKit's disk cache holds a response for url (one file per response below a
// "Records" folder, beginning with the response's address).
bool Cached(const std::string& url)
{
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(std::getenv("XDG_CACHE_HOME"), error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
    {
        const std::string path = it->path().string();
        if (!it->is_regular_file() || path.find("/WebKitCache/") == std::string::npos ||
            path.find("/Records/") == std::string::npos)
            continue;
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.find(url) != std::string::npos)
            return true;
    }
    return false;
}

TEST_F(RestrictedPageTest, PageFlagsKeepThePageOutOfTheCache)
{
    for (bool withPageFlags : {true, false})
    {
        SCOPED_TRACE(withPageFlags ? "page flags" : "no flags");
        const wxString url = PageUrl(withPageFlags ? "next.html?flags" : "next.html?none");
        const int loadsBefore = loads;
        Load(url, withPageFlags);
        ASSERT_TRUE(PumpUntil([&] { return loads > loadsBefore; }, 15000));
        // WebKit writes its cache a moment after the load.
        EXPECT_EQ(!withPageFlags,
                  PumpUntil([&] { return Cached(url.ToStdString()); }, withPageFlags ? 3000 : 10000));
    }
}

TEST_F(WebViewWindowTest, NavigationFlagsMustBeANumber)
{
    auto browser = QueryAs<IWebBrowser2>(html->m_control.Get());
    const std::wstring url = Url("page.html").ToStdWstring();
    int32_t flags = navEnforceRestricted;
    struct Case { const char* name; Variant flags; HRESULT result; } cases[] = {
        {"short", Variant::Short(kPageNavigationFlags), S_OK},
        {"long by reference", Variant::Ref(VT_I4, &flags), S_OK},
        {"text", Variant::String(L"0x28E"), E_INVALIDARG},
        {"bool", Variant::Bool(true), E_INVALIDARG},
    };
    for (Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.result, browser->Navigate(url, &c.flags, nullptr, nullptr, nullptr));
    }
    EXPECT_TRUE(webkit::CurrentRestrictions(Native()).pageScript);
}

TEST_F(WebViewWindowTest, ViewRefusesDrops)
{
    ASSERT_NE(nullptr, View());
    EXPECT_FALSE(webkit::AcceptsDrops(Native()));
    // WebKit cannot set its drop destination up again: saying so beats pretending.
    auto browser = QueryAs<IWebBrowser2>(html->m_control.Get());
    EXPECT_EQ(E_FAIL, browser->put_RegisterAsDropTarget(VARIANT_TRUE));
    EXPECT_EQ(S_OK, browser->put_RegisterAsDropTarget(VARIANT_FALSE));
    // A view nobody told to refuse drops takes them.
    wxWebView* plain = wxWebView::New(frame, wxID_ANY, "about:blank", wxDefaultPosition, wxDefaultSize,
                                      wxWebViewBackendWebKit);
    ASSERT_NE(nullptr, plain);
    EXPECT_TRUE(webkit::AcceptsDrops(plain->GetNativeBackend()));
}

} // namespace
