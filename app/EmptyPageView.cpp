#include "app/PageView.h"

#include <wx/panel.h>

namespace LumoPatch {

namespace {

class EmptyPageView final : public PageView {
public:
    EmptyPageView(wxWindow* parent, wxWindowID id)
        : m_window(new wxPanel(parent, id, wxDefaultPosition, parent->FromDIP(wxSize(450, 100)),
                               wxBORDER_NONE | wxWANTS_CHARS, "panel"))
    {
    }
    wxWindow* GetWindow() override { return m_window; }
    void LoadUrl(const wxString&) override {}
    void HideScrollbars() override {}

private:
    wxPanel* m_window;
};

}  // namespace

std::unique_ptr<PageView> MakeEmptyPageView(wxWindow* parent, wxWindowID id, PageViewEvents&)
{
    return std::make_unique<EmptyPageView>(parent, id);
}

}  // namespace LumoPatch
