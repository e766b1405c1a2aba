// The window tests' own main: the toolkit is started once for the whole binary (a test app, not
// the patcher's), and every toolkit assertion or unexpected dialog becomes a test failure instead
// of a modal box that would hang a run without a user.
#include "tests/app/GuiTestSupport.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/init.h>
#include <wx/log.h>

#include <cstdio>
#include <cstdlib>

namespace {

class TestApp : public wxApp {
public:
    bool OnInit() override
    {
        SetExitOnFrameDelete(false);
        return true;
    }
};

void FailOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond, const wxString& msg)
{
    ADD_FAILURE_AT(file.utf8_str(), line) << "wx assertion in " << func.utf8_str() << ": " << cond.utf8_str()
                                          << " " << msg.utf8_str();
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    if (!std::getenv("DISPLAY")) {
        if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true") {
            std::fprintf(stderr, "test_app: DISPLAY is not set (run under xvfb-run)\n");
            return 1;
        }
        std::fprintf(stderr, "test_app: skipped, no DISPLAY (run under xvfb-run)\n");
        return 0;
    }
    wxSetAssertHandler(FailOnAssert);
    wxApp::SetInstance(new TestApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "test_app: the toolkit did not start\n");
        return 1;
    }
    // Log messages go to stderr, never to a dialog.
    delete wxLog::SetActiveTarget(new wxLogStderr);
    const int result = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
