#pragma once
// What the web-browser window does to its browser, written over the browser's interfaces so it
// runs the same against the WebKit control and a test's fake.

#include <chrono>
#include <functional>
#include <string>

#include "webview/OleInterfaces.h"

class CWebCtrlInterFace;

// The ready-state wait of the set-up: polls every `step` for at most `limit`, then goes on (a
// browser that never reports ready must not freeze the window). Tests replace the sleep.
struct ReadyStateWait
{
    std::chrono::milliseconds limit{5000};
    std::chrono::milliseconds step{10};
    std::function<void(std::chrono::milliseconds)> sleep;
};

// True when the browser reported READYSTATE_COMPLETE within the limit.
bool WaitForReadyState(LumoCom::IWebBrowser2* browser, const ReadyStateWait& wait);

// Finds the control's browser interface into `browser`; waits for it to be ready; switches the
// furniture off; navigates to "about:blank"; installs a new document-host handler as the browser's
// client site (forwarding to the site it replaces) with no context menu. Returns the handler, or
// nothing when the control has no browser interface.
LumoCom::ComPtr<CWebCtrlInterFace> SetupBrowserOn(LumoCom::IUnknown* control,
                                                 LumoCom::ComPtr<LumoCom::IWebBrowser2>& browser,
                                                 const ReadyStateWait& wait = {});

// Navigation flags of the window's page: no history, no cache read or write, restricted, not
// trusted for download.
constexpr int16_t kPageNavigationFlags =
    LumoCom::navNoHistory | LumoCom::navNoReadFromCache | LumoCom::navNoWriteToCache | LumoCom::navEnforceRestricted |
    LumoCom::navUntrustedForDownload;
static_assert(kPageNavigationFlags == 0x28E);

// Goes online, then navigates to url with the page's flags, in `target` when it is not empty.
void LoadUrlOn(LumoCom::IWebBrowser2* browser, const std::wstring& url, const std::wstring& target);

// Sets the page body's scroll attribute to "no" (hide) or "yes"; nothing while there is no
// document or body.
void HideScrollbarsOn(LumoCom::IWebBrowser2* browser, bool hide);
