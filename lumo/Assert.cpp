#include "lumo/Assert.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

// Until the crash handlers report assertions through the system log and a dump, a failed check
// still says what failed and stops at once.
void Assert(bool condition, const char* text)
{
    if (condition)
        return;
    const char prefix[] = "Assertion failed: ";
    const char* what = text ? text : "";
    ssize_t ignored = write(STDERR_FILENO, prefix, sizeof prefix - 1);
    ignored = write(STDERR_FILENO, what, strlen(what));
    ignored = write(STDERR_FILENO, "\n", 1);
    (void)ignored;
    abort();
}
