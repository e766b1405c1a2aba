#pragma once
// What the toolkit's web view does not offer, done on its WebKitGTK view directly (the pointer
// that wxWebView::GetNativeBackend gives). WebKitGTK, GTK and GLib are the libraries the toolkit's
// web view has already loaded; their functions are looked up there at run time, so the project
// builds without their development headers. Every call answers false when a function it needs is
// missing, and the caller decides what that means.
//
// The restrictions of a navigation are kept on the native view itself, so that WebKit's signals
// (a response about to become a download) can be answered without a pointer into our objects,
// which may be gone before WebKit lets go of the view.

#include <cstdint>

namespace webkit
{

// What a navigation may not do.
struct Restrictions
{
    bool pageScript = false; // the page's own script does not run; RunScript still does
    bool downloads = false;  // responses that would be downloaded are refused
    bool cache = false;      // nothing read from or written to WebKit's caches
};

// Applies the restrictions of the navigation about to start on view (a WebKitWebView*); a
// navigation without restrictions lifts those of the last one.
bool Restrict(void* view, const Restrictions& restrictions);

// The restrictions view carries now.
Restrictions CurrentRestrictions(void* view);

// Runs script in view's page without waiting for it and without a callback into our objects.
// It runs even where the page's own script may not.
bool RunScript(void* view, const char* script);

// True from the moment a load is asked of view (before WebKit has started it) until no load is
// pending or going on: a page's script run meanwhile runs in a page that is about to be replaced.
bool IsLoading(void* view);

// Makes view refuse everything dropped on it (it stops being a drop destination).
bool RefuseDrops(void* view);

// True while view accepts drops.
bool AcceptsDrops(void* view);

} // namespace webkit
