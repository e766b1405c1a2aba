#include "webview/ExternalLink.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

TEST(ExternalLinkTest, LinksOpenOnlyOnTheWebAndNeverElevated)
{
    std::vector<wxString> launched;
    auto launch = [&](const wxString& url) {
        launched.push_back(url);
        return true;
    };
    const bool mayLaunch = !IsElevatedProcess();
    EXPECT_EQ(mayLaunch, OpenLinkExternally("https://example.invalid/a", launch));
    EXPECT_EQ(mayLaunch, OpenLinkExternally("HTTP://example.invalid/", launch));
    for (const char* refused : {"file:///etc/passwd", "javascript:alert(1)", "about:blank", "ftp://h/x", "http:/x",
                                "/usr/bin/xterm", "smb://h/share"})
        EXPECT_FALSE(OpenLinkExternally(refused, launch)) << refused;
    EXPECT_EQ(mayLaunch ? 2u : 0u, launched.size());
}

} // namespace
