// The web view's window tests: the toolkit and WebKit are started once for the binary, WebKit's
// caches go to a folder of the run's own, and toolkit assertions fail the test instead of opening
// a dialog that would hang a run without a user.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/init.h>
#include <wx/log.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

class TestApp : public wxApp
{
public:
    bool OnInit() override
    {
        SetExitOnFrameDelete(false);
        return true;
    }
};

void FailOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond, const wxString& msg)
{
    ADD_FAILURE_AT(file.utf8_str(), line) << "wx assertion in " << func.utf8_str() << ": " << cond.utf8_str() << " "
                                          << msg.utf8_str();
}

// WebKit on a virtual display: no compositing (nothing would be drawn), classic scroll bars (so
// hiding them is measurable), no accessibility bus, and its folders kept out of the user's home.
void PrepareEnvironment()
{
    setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 0);
    setenv("GTK_OVERLAY_SCROLLING", "0", 0);
    setenv("NO_AT_BRIDGE", "1", 0);
    setenv("GDK_BACKEND", "x11", 0);
    char folder[] = "/tmp/webview-gui-XXXXXX";
    if (!mkdtemp(folder))
        return;
    for (const char* name : {"XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
        setenv(name, (std::string(folder) + "/" + name).c_str(), 1);
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    if (!std::getenv("DISPLAY"))
    {
        std::fprintf(stderr, "test_webview_gui: skipped, no DISPLAY (run under xvfb-run)\n");
        return std::getenv("CI") ? 1 : 0;
    }
    PrepareEnvironment();
    wxSetAssertHandler(FailOnAssert);
    wxApp::SetInstance(new TestApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit())
    {
        std::fprintf(stderr, "test_webview_gui: the toolkit did not start\n");
        return 1;
    }
    delete wxLog::SetActiveTarget(new wxLogStderr);
    const int result = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
