#include "webview/ExternalLink.h"

#include <unistd.h>

#include <wx/uri.h>
#include <wx/utils.h>

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
