#include "app/FrameSplitter.h"

#include "app/MainFrame.h"

namespace LumoPatch {

wxBEGIN_EVENT_TABLE(FrameSplitter, wxSplitterWindow)
    EVT_SPLITTER_SASH_POS_CHANGED(wxID_ANY, FrameSplitter::OnPositionChanged)
    EVT_SPLITTER_SASH_POS_CHANGING(wxID_ANY, FrameSplitter::OnPositionChanging)
    EVT_SPLITTER_DCLICK(wxID_ANY, FrameSplitter::OnDoubleClick)
    EVT_SPLITTER_UNSPLIT(wxID_ANY, FrameSplitter::OnUnsplit)
wxEND_EVENT_TABLE()

FrameSplitter::FrameSplitter(wxWindow* parent, MainFrame* frame)
    : wxSplitterWindow(parent, wxID_ANY), m_frame(frame)
{
    m_frame->SetSplitter(this);
}

void FrameSplitter::OnPositionChanged(wxSplitterEvent& event)
{
    m_frame->SetStatusLine(
        wxString::Format("Position has changed, now = %d (or %d)", event.GetSashPosition(), GetSashPosition()));
    event.Skip();
}

void FrameSplitter::OnPositionChanging(wxSplitterEvent& event)
{
    m_frame->SetStatusLine(
        wxString::Format("Position is changing, now = %d (or %d)", event.GetSashPosition(), GetSashPosition()));
    event.Skip();
}

void FrameSplitter::OnDoubleClick(wxSplitterEvent& event)
{
    m_frame->SetStatusLine("Splitter double clicked");
    event.Skip();
}

void FrameSplitter::OnUnsplit(wxSplitterEvent& event)
{
    m_frame->SetStatusLine("Splitter unsplit");
    event.Skip();
}

}  // namespace LumoPatch
