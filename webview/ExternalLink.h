#pragma once
// Where links from the web page may go: the user's browser, for web addresses only, and never
// from an elevated process.

#include <functional>

#include <wx/string.h>

// Opens url in the user's browser, only when it is an http or https address and this process is
// not elevated (a browser started from an elevated process would run with its rights). `launch`
// is the toolkit's default-browser call unless a test gives its own. True when launched.
bool OpenLinkExternally(const wxString& url, const std::function<bool(const wxString&)>& launch = {});

// True when the process runs with rights it was not started with by its user (root, or set-id).
bool IsElevatedProcess();
