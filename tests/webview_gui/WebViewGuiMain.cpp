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
    // WebKit's caches and data in a folder of the run's own (below TMPDIR, removed with it once
    // every process WebKit started has ended).
    return fixtures::RunInTemporaryFolderOfItsOwn(argc, argv, "test_webview_gui", [](const std::string& folder) {
        for (const char* name : {"XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
            setenv(name, (folder + "/" + name).c_str(), 1);
        // Downloads, when a test lets one happen, land in a folder of their own.
        const std::string config = folder + "/XDG_CONFIG_HOME";
        std::filesystem::create_directories(config);
        std::filesystem::create_directories(folder + "/downloads");
        std::ofstream(config + "/user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"" << folder << "/downloads\"\n";
        setenv("LUMO_TEST_DOWNLOADS", (folder + "/downloads").c_str(), 1);
    });
}
