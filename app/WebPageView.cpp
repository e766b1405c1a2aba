#include "app/WebPageView.h"

#include "app/PatchMainFrame.h"
#include "webview/ActiveXEvent.h"
#include "webview/IEHtmlWin.h"

#include <wx/weakref.h>

namespace LumoPatch {

namespace {

// Named globals above the event table: the table keeps references to the types it names.
const wxEventType kEvtBeforeNavigate2 = RegisterActiveXEvent("BeforeNavigate2");
const wxEventType kEvtProgressChange = RegisterActiveXEvent("ProgressChange");

// The browser window in the frame's panel; it hands the two events the frame listens to on.
class PatchPageWindow : public wxIEHtmlWin {
public:
    PatchPageWindow(wxWindow* parent, PageViewEvents& events)
        : wxIEHtmlWin(parent, kIdWebView, wxDefaultPosition, parent->FromDIP(wxSize(450, 100)),
                      wxNO_BORDER | wxWANTS_CHARS, "panel"),
          m_events(events)
    {
        if (CWebCtrlInterFace* handler = DocHostHandler()) {
            handler->m_bDialog = true;
            handler->m_bNo3DBorder = true;
        }
    }

private:
    // Inside WebKit's navigation decision: the frame must not close the window from here.
    void OnBeforeNavigate2(wxActiveXEvent& event)
    {
        const wxVariant& url = event["Url"];
        if (url.GetType() != "string")
            return;
        if (m_events.OnBeforeNavigate2(url.GetString()))
            event["Cancel"] = true;
    }

    void OnProgressChange(wxActiveXEvent& event)
    {
        long progress = 0;
        long progressMax = 0;
        if (!event["Progress"].Convert(&progress) || !event["ProgressMax"].Convert(&progressMax))
            return;
        m_events.OnProgressChange(progress, progressMax);
    }

    PageViewEvents& m_events;

    wxDECLARE_EVENT_TABLE();
};

wxBEGIN_EVENT_TABLE(PatchPageWindow, wxIEHtmlWin)
    EVT_ACTIVEX(kIdWebView, kEvtBeforeNavigate2, PatchPageWindow::OnBeforeNavigate2)
    EVT_ACTIVEX(kIdWebView, kEvtProgressChange, PatchPageWindow::OnProgressChange)
wxEND_EVENT_TABLE()

class WebPageView final : public PageView {
public:
    WebPageView(wxWindow* parent, PageViewEvents& events) : m_window(new PatchPageWindow(parent, events)) {}

    wxWindow* GetWindow() override { return m_window.get(); }
    void LoadUrl(const wxString& url) override
    {
        if (m_window)
            m_window->LoadUrl(url);
    }
    void HideScrollbars() override
    {
        if (m_window)
            m_window->HideScrollbars(true);
    }

private:
    wxWeakRef<PatchPageWindow> m_window;  // owned by its parent
};

}  // namespace

std::unique_ptr<PageView> MakeWebPageView(wxWindow* parent, wxWindowID, PageViewEvents& events)
{
    return std::make_unique<WebPageView>(parent, events);
}

}  // namespace LumoPatch
