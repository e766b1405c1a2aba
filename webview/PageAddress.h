#pragma once
// The address of the page the patcher window shows, and where links from it may go.

#include <functional>

#include <wx/string.h>

// The maker's page, or the value of SOLLEX_PAGE_URL when that is set and not empty (tests and
// demos point the window at a local page with it).
wxString PatcherPageUrl();

// Opens url in the user's browser, only when it is an http or https address and this process is
// not elevated (a browser started from an elevated process would run with its rights). `launch`
// is the toolkit's default-browser call unless a test gives its own. True when launched.
bool OpenLinkExternally(const wxString& url, const std::function<bool(const wxString&)>& launch = {});

// True when the process runs with rights it was not started with by its user (root, or set-id).
bool IsElevatedProcess();
