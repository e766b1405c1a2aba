#include "webview/ActiveXEvent.h"

#include <map>

namespace
{

wxVariant& EmptyVariant()
{
    static wxVariant empty;
    empty.MakeNull();
    empty.SetName(wxString());
    return empty;
}

// Created on first use, so static event tables in any file may register before main runs.
std::map<wxString, wxEventType>& EventTypes()
{
    static std::map<wxString, wxEventType> types;
    return types;
}

} // namespace

wxVariant& wxActiveXEvent::operator[](const wxString& name)
{
    for (size_t i = 0; i < m_params.GetCount(); ++i)
        if (m_params[i].GetName().CmpNoCase(name) == 0)
            return m_params[i];
    return EmptyVariant();
}

wxVariant& wxActiveXEvent::operator[](size_t index)
{
    return index < m_params.GetCount() ? m_params[index] : EmptyVariant();
}

wxEventType RegisterActiveXEvent(const wxString& name)
{
    auto [entry, added] = EventTypes().try_emplace(name.Lower(), wxEVT_NULL);
    if (added)
        entry->second = wxNewEventType();
    return entry->second;
}

bool FindActiveXEvent(const wxString& name, wxEventType& type)
{
    auto found = EventTypes().find(name.Lower());
    if (found == EventTypes().end())
        return false;
    type = found->second;
    return true;
}
