// The web page at the top of the patch main frame, behind a small interface: the frame loads a
// fixed page into it and shows it once the page has loaded; a page that never loads (no network)
// keeps it hidden.
#pragma once

#include <wx/string.h>
#include <wx/window.h>

#include <functional>
#include <memory>

namespace LumoPatch {

// What the page tells the frame, on the GUI thread.
class PageViewEvents {
public:
    virtual ~PageViewEvents() = default;
    // The page is about to navigate to url; true cancels the navigation.
    virtual bool OnBeforeNavigate2(const wxString& url) = 0;
    // Loading progress; progress == progressMax > 0 means loaded.
    virtual void OnProgressChange(long progress, long progressMax) = 0;
};

class PageView {
public:
    virtual ~PageView() = default;
    // The control placed in the frame (owned by its parent window).
    virtual wxWindow* GetWindow() = 0;
    virtual void LoadUrl(const wxString& url) = 0;
    virtual void HideScrollbars() = 0;
};

using PageViewFactory =
    std::function<std::unique_ptr<PageView>(wxWindow* parent, wxWindowID id, PageViewEvents& events)>;

}  // namespace LumoPatch
