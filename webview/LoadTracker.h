#pragma once
// Decides whether the browser's "loaded" really means the page the window asked for is on
// screen. WebKit also reports "loaded" for its own error page, for the stale initial
// "about:blank" that finishes after a new load was asked for, and for a blocked port (which it
// turns into "about:blank" without an error). Only a load of the page the window asked for (or a
// link followed from it) that met no error counts.

#include <string>

class LoadTracker
{
public:
    // The window asked for url.
    void OnNavigateRequested(const std::wstring& url);
    // The browser is about to navigate its main frame; allowed is false when it was vetoed.
    // WebKit's error page comes without this, so it never clears a failure.
    void OnNavigating(bool allowed);
    void OnError(bool userCancelled);
    // The browser finished loading url: true when that load counts as complete.
    bool OnLoaded(const std::wstring& url) const;

private:
    std::wstring m_target;
    bool m_failed = false;
};
