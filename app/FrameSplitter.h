// A splitter window that reports its sash and its unsplitting on the status line of the main
// frame it belongs to. The frame enables its split commands (ids 18 to 20) by the state of the
// splitter it was given; the patcher's own window has none, so those commands stay disabled.
#pragma once

#include <wx/splitter.h>

namespace LumoPatch {

class MainFrame;

class FrameSplitter : public wxSplitterWindow {
public:
    // Becomes the splitter whose state frame's split commands follow.
    FrameSplitter(wxWindow* parent, MainFrame* frame);

private:
    // Each writes its line and lets the event go on to the splitter's own handling.
    void OnPositionChanged(wxSplitterEvent& event);
    void OnPositionChanging(wxSplitterEvent& event);
    void OnDoubleClick(wxSplitterEvent& event);
    void OnUnsplit(wxSplitterEvent& event);

    MainFrame* m_frame;

    wxDECLARE_EVENT_TABLE();
};

}  // namespace LumoPatch
