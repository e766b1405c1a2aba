// The web view's window tests' main: WebKit on a virtual display, with its folders of its own.
#include "tests/fixtures/WxGuiTestMain.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

int main(int argc, char** argv)
{
    // No compositing (nothing would be drawn), classic scroll bars (so hiding them is measurable),
    // no accessibility bus, and WebKit's caches kept out of the user's home.
    setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 0);
    setenv("GTK_OVERLAY_SCROLLING", "0", 0);
    setenv("NO_AT_BRIDGE", "1", 0);
    setenv("GDK_BACKEND", "x11", 0);
    char folder[] = "/tmp/webview-gui-XXXXXX";
    const bool ownFolder = mkdtemp(folder) != nullptr;
    if (ownFolder)
    {
        for (const char* name : {"XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
            setenv(name, (std::string(folder) + "/" + name).c_str(), 1);
        // Downloads, when a test lets one happen, land in a folder of their own.
        const std::string config = std::string(folder) + "/XDG_CONFIG_HOME";
        std::filesystem::create_directories(config);
        std::filesystem::create_directories(std::string(folder) + "/downloads");
        std::ofstream(config + "/user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"" << folder << "/downloads\"\n";
        setenv("LUMO_TEST_DOWNLOADS", (std::string(folder) + "/downloads").c_str(), 1);
    }
    const int result = fixtures::RunWxGuiTests(argc, argv, "test_webview_gui");
    std::error_code ignored;
    if (ownFolder)
        std::filesystem::remove_all(folder, ignored);
    return result;
}
