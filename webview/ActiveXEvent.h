#pragma once
// The toolkit event that carries one event of a hosted control, and the registry that gives each
// control event name its own toolkit event type.
//
// Static event tables keep a reference to the event type they name, so register the type into a
// named global defined above the table:
//
//   const wxEventType kEvtBeforeNavigate2 = RegisterActiveXEvent(L"BeforeNavigate2");
//   ... EVT_ACTIVEX(501, kEvtBeforeNavigate2, MyFrame::OnBeforeNavigate2)

#include <wx/event.h>
#include <wx/variant.h>

class wxActiveXEvent : public wxCommandEvent
{
public:
    wxActiveXEvent(wxEventType type = wxEVT_NULL, int id = 0) : wxCommandEvent(type, id) {}
    wxActiveXEvent(const wxActiveXEvent& other) = default;

    wxEvent* Clone() const override { return new wxActiveXEvent(*this); }

    // The parameter named `name` (letter case ignored). An unknown name gives a shared empty
    // variant, emptied again on every such call, so writing to it reaches nobody.
    wxVariant& operator[](const wxString& name);
    // The parameter at `index`, or the shared empty variant.
    wxVariant& operator[](size_t index);
    size_t ParamCount() const { return m_params.GetCount(); }

    // Named after the event; one item per parameter, named after the parameter.
    wxVariant m_params{wxVariantList()};
};

typedef void (wxEvtHandler::*wxActiveXEventFunction)(wxActiveXEvent&);
#define wxActiveXEventHandler(func) wxEVENT_HANDLER_CAST(wxActiveXEventFunction, func)
#define EVT_ACTIVEX(id, eventType, fn) wx__DECLARE_EVT1(eventType, id, wxActiveXEventHandler(fn))

// The event type of a control event name (letter case ignored): the first call for a name makes a
// new type. Safe to call from static initialisers.
wxEventType RegisterActiveXEvent(const wxString& name);

// The event type registered for name; false when no one registered it.
bool FindActiveXEvent(const wxString& name, wxEventType& type);
