#pragma once
// The toolkit window that hosts a control object (see ActiveXContainer): it creates the control
// from its class id in its constructor, forwards size and focus changes to it, and delivers the
// control's events to the window's handlers, so a parent's event table can catch them with
// EVT_ACTIVEX.
//
// Events with [out] or pointer parameters are handled inside the control's own call, which for
// the browser control is inside a WebKit callback. Destroy() asked for there is put off until the
// event loop is back: WebKit hangs when its view dies inside its own signal.

#include <wx/window.h>

#include "webview/ActiveXContainer.h"

class wxActiveX : public wxWindow, public ActiveXContainer
{
public:
    wxActiveX(wxWindow* parent, const LumoCom::Guid& clsid, wxWindowID id = wxID_ANY,
              const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize, long style = 0,
              const wxString& name = wxPanelNameStr);
    ~wxActiveX() override;

    bool Destroy() override;

    // ActiveXContainer
    wxWindow* HostWindow() override { return this; }
    wxSize HostClientSize() const override { return GetClientSize(); }
    int HostWindowId() const override { return GetId(); }
    wxSize ScreenPpi() override;
    wxColour SystemColour(wxSystemColour which) const override { return wxSystemSettings::GetColour(which); }
    void ProcessNow(wxEvent& event) override;
    void Queue(wxEvent* event) override;
    void ControlWindowKnown(wxWindow* window) override;

private:
    void OnSize(wxSizeEvent& event);
    void OnPaint(wxPaintEvent& event);
    void OnSetFocus(wxFocusEvent& event);
    void OnKillFocus(wxFocusEvent& event);

    wxDECLARE_EVENT_TABLE();
};
