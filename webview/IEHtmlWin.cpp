#include "webview/IEHtmlWin.h"

#include "webview/WebKitBrowserControl.h"

wxIEHtmlWin::wxIEHtmlWin(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size, long style,
                         const wxString& name, const ReadyStateWait& wait)
    : wxActiveX(parent, WebBrowserClassId(), id, pos, size, style, name)
{
    SetupBrowser(wait);
}

wxIEHtmlWin::~wxIEHtmlWin()
{
    m_docHostHandler.Reset();
    m_webBrowser.Reset();
}

void wxIEHtmlWin::SetupBrowser(const ReadyStateWait& wait)
{
    m_webBrowser.Reset();
    m_docHostHandler = SetupBrowserOn(m_control.Get(), m_webBrowser, wait);
}

void wxIEHtmlWin::LoadUrl(const wxString& url, const wxString& target)
{
    LoadUrlOn(m_webBrowser.Get(), url.ToStdWstring(), target.ToStdWstring());
}

void wxIEHtmlWin::HideScrollbars(bool hide)
{
    HideScrollbarsOn(m_webBrowser.Get(), hide);
}
