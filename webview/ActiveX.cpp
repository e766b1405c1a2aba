#include "webview/ActiveX.h"

#include <wx/dcclient.h>
#include <wx/dcscreen.h>

wxBEGIN_EVENT_TABLE(wxActiveX, wxWindow)
    EVT_SIZE(wxActiveX::OnSize)
    EVT_PAINT(wxActiveX::OnPaint)
    EVT_SET_FOCUS(wxActiveX::OnSetFocus)
    EVT_KILL_FOCUS(wxActiveX::OnKillFocus)
wxEND_EVENT_TABLE()

wxActiveX::wxActiveX(wxWindow* parent, const LumoCom::Guid& clsid, wxWindowID id, const wxPoint& pos,
                     const wxSize& size, long style, const wxString& name)
    : wxWindow(parent, id, pos, size, style, name)
{
    CreateActiveX(clsid);
}

wxActiveX::~wxActiveX()
{
    DestroyActiveX(); // while the control's child window still exists
}

bool wxActiveX::Destroy()
{
    if (InSynchronousEvent())
    {
        Hide();
        CallAfter([this] { Destroy(); });
        return true;
    }
    return wxWindow::Destroy();
}

wxSize wxActiveX::ScreenPpi()
{
    return wxScreenDC().GetPPI();
}

void wxActiveX::ProcessNow(wxEvent& event)
{
    GetEventHandler()->ProcessEvent(event);
}

void wxActiveX::Queue(wxEvent* event)
{
    GetEventHandler()->QueueEvent(event);
}

void wxActiveX::ControlWindowKnown(wxWindow* window)
{
    window->Show();
    auto* size = new wxSizeEvent(GetSize(), GetId());
    size->SetEventObject(this);
    GetEventHandler()->QueueEvent(size);
}

void wxActiveX::OnSize(wxSizeEvent&)
{
    wxSize client = GetClientSize();
    ResizeControl(client.x, client.y);
}

void wxActiveX::OnPaint(wxPaintEvent&)
{
    wxPaintDC dc(this);
    if (m_viewObject)
    {
        wxSize client = GetClientSize();
        LumoCom::Rect bounds{0, 0, client.x, client.y};
        m_viewObject->Draw(LumoCom::DVASPECT_CONTENT, -1, &dc, &bounds);
        return;
    }
    // No control to draw: a red area shows where it should have been.
    dc.SetBrush(*wxRED_BRUSH);
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.DrawRectangle(wxPoint(0, 0), GetClientSize());
}

void wxActiveX::OnSetFocus(wxFocusEvent& event)
{
    FocusChanged(true);
    event.Skip();
}

void wxActiveX::OnKillFocus(wxFocusEvent& event)
{
    FocusChanged(false);
    event.Skip();
}
