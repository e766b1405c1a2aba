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

// The patch main frame shows the page at url once loaded, in the colour given; the window's pixels are saved.
void ExpectPageShown(const fixtures::ScratchFolder& folder, const std::string& url, const char* savedAs, int red, int green, int blue)
{
    // WebKit draws nothing on a virtual display in compositing mode; its caches stay here.
    fixtures::ScopedEnv compositing("WEBKIT_DISABLE_COMPOSITING_MODE", "1");
    fixtures::ScopedEnv cache("XDG_CACHE_HOME", (folder / "cache").c_str());
    fixtures::ScopedEnv data("XDG_DATA_HOME", (folder / "data").c_str());
    fixtures::ScopedEnv page("SOLLEX_PAGE_URL", url.c_str());

    PatcherOptions::Instance() = PatcherOptions();
    PatcherOptions::Instance().installPath = L"/opt/Sollex/";
    SetPatchCallbacks(nullptr, KeepPatchingCallback, LogToFrame);
    auto* frame = new PatchMainFrame();
    frame->Show();
    wxWindow* view = frame->Page().GetWindow();
    EXPECT_FALSE(view->IsShown());
    ASSERT_TRUE(PumpUntil([&] { return view->IsShown(); }, 15000)) << "the page did not load";
    PumpUntil([] { return false; }, 1000);  // scroll bars gone, page painted, a script's requests made

    const wxImage shot = Screenshot(frame);
    wxImage::AddHandler(new wxPNGHandler);
    EXPECT_TRUE(shot.SaveFile(savedAs, wxBITMAP_TYPE_PNG));
    // The page's colour inside the view, away from its text, and the path row below it.
    const wxPoint probe = view->GetScreenPosition() - frame->GetScreenPosition() + view->GetSize() - wxSize(20, 10);
    EXPECT_EQ(shot.GetGreen(probe.x, probe.y), green);
    EXPECT_EQ(shot.GetRed(probe.x, probe.y), red);
    EXPECT_EQ(shot.GetBlue(probe.x, probe.y), blue);
    EXPECT_GE(frame->PathBox()->GetPosition().y, view->GetRect().GetBottom());

    frame->Destroy();
    EXPECT_TRUE(PumpUntil([] { return g_mainFrame.load() == nullptr; }));
}

TEST(PatchMainFramePageTest, ShowsItsPageOnceLoaded)
{
    fixtures::ScratchFolder folder;
    fixtures::WriteFile(folder / "patcher.html",
                        "<html><body style='background:rgb(0,192,0);margin:0;color:white;font-family:sans-serif'>"
                        "<h3 style='margin:8px'>Sollex news</h3><p style='margin:8px'>Build 102 is out.</p>"
                        "<div style='height:2000px'></div></body></html>");
    ExpectPageShown(folder, "file://" + folder / "patcher.html", LUMO_BINARY_DIR "/patcher-page.png", 0, 192, 0);
}

// The page's own script would turn it red and call its server back: the window's page runs none.
TEST(PatchMainFramePageTest, PageRunsNoScriptOfItsOwn)
{
    fixtures::ScratchFolder folder;
    fixtures::WriteFile(folder / "patcher.html",
                        "<html><body style='background:rgb(255,0,255)'><script>document.body.style.background"
                        " = 'rgb(255,0,0)'; fetch('/status/204?script');</script></body></html>");
    nettest::FaultServer server(folder.Path(), nullptr, folder / "requests.log");
    ASSERT_TRUE(server.Ok());
    ExpectPageShown(folder, server.Url("file/patcher.html"), LUMO_BINARY_DIR "/patcher-restricted-page.png", 255, 0, 255);
    EXPECT_EQ("GET /file/patcher.html\n", server.Log());
}

}  // namespace
