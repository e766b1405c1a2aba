#pragma once
// The web-browser control of the web view: one WebKit view (through the toolkit's web view),
// made to look like the browser control the window code hosts. It is registered under the
// browser's class id; the container creates it, activates it in place (which creates the view as
// a child of the container) and connects to its events:
//
//   BeforeNavigate2(pDisp, URL*, Flags*, TargetFrameName*, PostData*, Headers*, [in,out] Cancel*)
//       raised inside WebKit's navigation decision; Cancel set to true vetoes the navigation.
//   ProgressChange(long Progress, long ProgressMax)
//       (0, 100) when a page is committed, (100, 100) when the page asked for has loaded
//       without error (see LoadTracker).
//
// At every commit the control asks its client site's document-host handler how to host the page:
// the dialog flag turns text selection off, the no-scroll flag hides the scroll bars, and a
// handler that suppresses the default context menu switches the view's menu off. The handler is
// asked then, not when it is installed, because the window sets its flags after construction.
//
// Navigate's flags are kept through WebKit (see WebKitNative): a restricted navigation runs none of
// the page's own script (the control's scripts still run), one untrusted for download starts no
// download, and one that may not use the cache leaves WebKit's caches off. Navigate refuses a
// navigation whose restrictions cannot be put in place. With RegisterAsDropTarget off the view
// refuses drops. A no-history navigation is made by the page itself with location.replace, which
// puts the new page in the current entry of WebKit's back-forward list (entries cannot be kept out
// of it otherwise); a local file that WebKit lets no script reach (from a page that is not a local
// file) is loaded by the view, and the page before it stays in the list.
//
// The view is never destroyed inside one of its own WebKit callbacks: a close asked for there
// hides it and destroys it once the event loop is back.

#include "platform/ComObject.h"

namespace LumoCom
{
struct CoClassDesc;
}

// The browser control's class id; the first call registers the control under it.
const LumoCom::Guid& WebBrowserClassId();

// Event ids of the control's event interface.
enum : int32_t
{
    DISPID_BEFORENAVIGATE2 = 1,
    DISPID_PROGRESSCHANGE = 2,
};

// The control's type description (default interface and event interface).
const LumoCom::CoClassDesc& WebBrowserClassDesc();

// Browser controls alive now, with the page helper objects they handed out (tests check teardown).
int LiveWebBrowserObjects();
