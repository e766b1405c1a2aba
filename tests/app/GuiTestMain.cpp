// The window tests' own main (tests/fixtures/WxGuiTestMain.h).
#include "tests/fixtures/WxGuiTestMain.h"

int main(int argc, char** argv)
{
    return fixtures::RunWxGuiTests(argc, argv, "test_app");
}
