// The window tests' own main (tests/fixtures/WxGuiTestMain.h).
#include "tests/fixtures/WxGuiTestMain.h"

#include <wx/strconv.h>

int main(int argc, char** argv)
{
    // Quiet, self-contained toolkit: no accessibility bus, no settings daemon, X11 only.
    setenv("NO_AT_BRIDGE", "1", 0);
    setenv("GSETTINGS_BACKEND", "memory", 0);
    setenv("GDK_BACKEND", "x11", 0);
    // As in the patcher: file names are UTF-8 whatever the locale.
    wxConvFileName = &wxConvUTF8;
    return fixtures::RunInTemporaryFolderOfItsOwn(argc, argv, "test_app");
}
