// The web view's window tests' main: WebKit on a virtual display, with its folders of its own.
#include "tests/fixtures/WxGuiTestMain.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

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
    // Below TMPDIR, as every test's folders are.
    const char* tmp = getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/webview-gui-XXXXXX";
    const bool ownFolder = mkdtemp(folder.data()) != nullptr;
    if (ownFolder)
    {
        for (const char* name : {"XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
            setenv(name, (folder + "/" + name).c_str(), 1);
        // Downloads, when a test lets one happen, land in a folder of their own.
        const std::string config = folder + "/XDG_CONFIG_HOME";
        std::filesystem::create_directories(config);
        std::filesystem::create_directories(folder + "/downloads");
        std::ofstream(config + "/user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"" << folder << "/downloads\"\n";
        setenv("LUMO_TEST_DOWNLOADS", (folder + "/downloads").c_str(), 1);
    }
    // WebKit's own processes outlive the tests by a moment and may still write below the folder:
    // the tests run in a child, this process adopts whatever the child leaves running (a
    // subreaper), and the folder goes once every one of them has ended (or after a minute, when
    // one hangs on, which is then killed).
    if (ownFolder)
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    const pid_t tests = ownFolder ? fork() : 0;
    if (tests == 0)
    {
        if (ownFolder)
            setpgid(0, 0);
        return fixtures::RunWxGuiTests(argc, argv, "test_webview_gui");
    }
    int status = 0;
    if (tests < 0 || waitpid(tests, &status, 0) != tests)
        status = 1 << 8;
    for (int waited = 0; waited < 600;)
    {
        const pid_t ended = waitpid(-1, nullptr, WNOHANG);
        if (ended < 0)
            break; // no process of the tests is left
        if (ended == 0)
        {
            usleep(100 * 1000);
            ++waited;
        }
    }
    if (tests > 0)
        ::kill(-tests, SIGKILL);
    while (waitpid(-1, nullptr, WNOHANG) > 0)
        continue;
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
