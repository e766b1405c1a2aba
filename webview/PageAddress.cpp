#include "webview/PageAddress.h"

#include <unistd.h>

#include <cstdlib>

#include <wx/uri.h>
#include <wx/utils.h>

namespace
{
// The maker's web server; the path is the one the patcher has always shown.
const char kPatcherPageUrl[] = "https://www.kestin.example/patcher/patcher.html";
} // namespace

wxString PatcherPageUrl()
{
    const char* overridden = std::getenv("SOLLEX_PAGE_URL");
    return overridden && *overridden ? wxString::FromUTF8(overridden) : wxString(kPatcherPageUrl);
}

bool IsElevatedProcess()
{
    return ::geteuid() == 0 || ::getuid() != ::geteuid() || ::getgid() != ::getegid();
}

bool OpenLinkExternally(const wxString& url, const std::function<bool(const wxString&)>& launch)
{
    wxURI uri(url);
    wxString scheme = uri.GetScheme().Lower();
    if ((scheme != "http" && scheme != "https") || !uri.HasServer() || IsElevatedProcess())
        return false;
    return launch ? launch(url) : wxLaunchDefaultBrowser(url);
}
