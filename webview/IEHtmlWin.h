#pragma once
// The window that shows a web page: the browser control hosted by wxActiveX, set up with no
// furniture, no context menu and a document-host handler as its client site. Its events reach the
// parent as wxActiveXEvents: "BeforeNavigate2" (URL, Cancel, ...; handled at once, Cancel goes
// back to the browser) and "ProgressChange" (Progress, ProgressMax; queued).

#include "webview/ActiveX.h"
#include "webview/BrowserSetup.h"
#include "webview/WebCtrlInterface.h"

class wxIEHtmlWin : public wxActiveX
{
public:
    wxIEHtmlWin(wxWindow* parent, wxWindowID id = wxID_ANY, const wxPoint& pos = wxDefaultPosition,
                const wxSize& size = wxDefaultSize, long style = 0, const wxString& name = wxPanelNameStr,
                const ReadyStateWait& wait = {});
    ~wxIEHtmlWin() override;

    void SetupBrowser(const ReadyStateWait& wait = {});
    void LoadUrl(const wxString& url, const wxString& target = wxString());
    void HideScrollbars(bool hide);

    // The handler installed as the browser's client site; null when the control has no browser.
    CWebCtrlInterFace* DocHostHandler() const { return m_docHostHandler.Get(); }

private:
    LumoCom::ComPtr<LumoCom::IWebBrowser2> m_webBrowser;
    LumoCom::ComPtr<CWebCtrlInterFace> m_docHostHandler;
};
