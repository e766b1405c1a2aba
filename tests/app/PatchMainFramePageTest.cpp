// The patch main frame with its real page: WebKit loads a page from this machine, the frame shows
// it once loaded, and a screenshot of the window stays in the build folder for a person to look at
// (build/patcher-page.png, build/patcher-restricted-page.png).
#include "BuildConfig.h"
#include "app/LogToFrame.h"
#include "app/MainFrame.h"
#include "app/PatchMainFrame.h"
#include "app/core/PatcherOptions.h"
#include "patch/PatchCallbacks.h"
#include "tests/app/GuiTestSupport.h"
#include "tests/fixtures/ScopedEnv.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/TestServers.h"

#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/image.h>
#include <wx/textctrl.h>

using namespace LumoPatch;
using apptest::PumpUntil;

namespace {

// The window's pixels as the screen shows them.
wxImage Screenshot(wxWindow* window)
{
    const wxRect rect = window->GetScreenRect();
    wxBitmap bitmap(rect.width, rect.height);
    wxMemoryDC memory(bitmap);
    wxScreenDC screen;
    memory.Blit(0, 0, rect.width, rect.height, &screen, rect.x, rect.y);
    memory.SelectObject(wxNullBitmap);
    return bitmap.ConvertToImage();
}

// The patch main frame showing the page at url once it has loaded, with WebKit's caches and data
// in folder. WebKit draws nothing on a virtual display in compositing mode.
class PageFrame {
public:
    PageFrame(const fixtures::ScratchFolder& folder, const std::string& url)
        : m_compositing("WEBKIT_DISABLE_COMPOSITING_MODE", "1"),
          m_cache("XDG_CACHE_HOME", (folder / "cache").c_str()),
          m_data("XDG_DATA_HOME", (folder / "data").c_str()),
          m_page("SOLLEX_PAGE_URL", url.c_str())
    {
        PatcherOptions::Instance() = PatcherOptions();
        PatcherOptions::Instance().installPath = L"/opt/Sollex/";
        SetPatchCallbacks(nullptr, KeepPatchingCallback, LogToFrame);
        m_frame = new PatchMainFrame();
        m_frame->Show();
    }
    ~PageFrame()
    {
        m_frame->Destroy();
        EXPECT_TRUE(PumpUntil([] { return g_mainFrame.load() == nullptr; }));
    }

    PatchMainFrame* Frame() const { return m_frame; }
    wxWindow* View() const { return m_frame->Page().GetWindow(); }

    // The window's pixels, saved for a person to look at, and the point of the page to probe: inside
    // the view, away from its text.
    wxImage Shot(const char* savedAs, wxPoint& probe) const
    {
        const wxImage shot = Screenshot(m_frame);
        wxImage::AddHandler(new wxPNGHandler);
        EXPECT_TRUE(shot.SaveFile(savedAs, wxBITMAP_TYPE_PNG));
        probe = View()->GetScreenPosition() - m_frame->GetScreenPosition() + View()->GetSize() - wxSize(20, 10);
        return shot;
    }

private:
    fixtures::ScopedEnv m_compositing, m_cache, m_data, m_page;
    PatchMainFrame* m_frame = nullptr;
};

TEST(PatchMainFramePageTest, ShowsItsPageOnceLoaded)
{
    fixtures::ScratchFolder folder;
    fixtures::WriteFile(folder / "patcher.html",
                        "<html><body style='background:rgb(0,192,0);margin:0;color:white;font-family:sans-serif'>"
                        "<h3 style='margin:8px'>Sollex news</h3><p style='margin:8px'>Build 102 is out.</p>"
                        "<div style='height:2000px'></div></body></html>");
    PageFrame window(folder, "file://" + folder / "patcher.html");
    wxWindow* view = window.View();
    EXPECT_FALSE(view->IsShown());
    ASSERT_TRUE(PumpUntil([&] { return view->IsShown(); }, 15000)) << "the page did not load";
    PumpUntil([] { return false; }, 500);  // scroll bars gone, page painted

    wxPoint probe;
    const wxImage shot = window.Shot(LUMO_BINARY_DIR "/patcher-page.png", probe);
    EXPECT_EQ(shot.GetGreen(probe.x, probe.y), 192);
    EXPECT_EQ(shot.GetRed(probe.x, probe.y), 0);
    // The path row below the page.
    EXPECT_GE(window.Frame()->PathBox()->GetPosition().y, view->GetRect().GetBottom());
}

// The page's own script would turn it red and call its server back; the window's page runs
// restricted, so it stays magenta and the server hears of nothing but the page.
TEST(PatchMainFramePageTest, PageRunsNoScriptOfItsOwn)
{
    fixtures::ScratchFolder folder;
    fixtures::WriteFile(folder / "patcher.html",
                        "<html><body style='background:rgb(255,0,255);margin:0;color:white;font-family:sans-serif'"
                        " onload=\"fetch('/status/204?onload')\">"
                        "<h3 style='margin:8px'>Sollex news</h3>"
                        "<script>document.body.style.background = 'rgb(255,0,0)';"
                        " fetch('/status/204?script'); new Image().src = '/status/204?image';</script>"
                        "<div style='height:2000px'></div></body></html>");
    nettest::FaultServer server(folder.Path(), nullptr, folder / "requests.log");
    ASSERT_TRUE(server.Ok());
    PageFrame window(folder, server.Url("file/patcher.html"));
    wxWindow* view = window.View();
    ASSERT_TRUE(PumpUntil([&] { return view->IsShown(); }, 15000)) << "the page did not load";
    PumpUntil([] { return false; }, 1000);  // time for a script's requests and for painting

    wxPoint probe;
    const wxImage shot = window.Shot(LUMO_BINARY_DIR "/patcher-restricted-page.png", probe);
    EXPECT_EQ(255, shot.GetRed(probe.x, probe.y));
    EXPECT_EQ(0, shot.GetGreen(probe.x, probe.y));
    EXPECT_EQ(255, shot.GetBlue(probe.x, probe.y));
    EXPECT_EQ("GET /file/patcher.html\n", server.Log());
}

}  // namespace
