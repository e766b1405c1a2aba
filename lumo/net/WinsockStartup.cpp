#include "lumo/net/WinsockStartup.h"

#include <signal.h>

namespace
{
// The highest version the socket library offers, major in the low byte.
constexpr uint16_t kOfferedVersion = 2 | (2 << 8);

uint16_t VersionWord(uint8_t major, uint8_t minor)
{
    return static_cast<uint16_t>(major | (minor << 8));
}

// Compares versions in the order major, then minor.
bool IsBelow(uint16_t a, uint16_t b)
{
    const int ka = (a & 0xFF) * 256 + (a >> 8);
    const int kb = (b & 0xFF) * 256 + (b >> 8);
    return ka < kb;
}
}  // namespace

bool WinsockStartup::Startup(uint8_t major, uint8_t minor)
{
    signal(SIGPIPE, SIG_IGN);
    versionOk = false;
    // No version below 1.0 exists: the start fails.
    if (major == 0)
        return false;
    const uint16_t requested = VersionWord(major, minor);
    const uint16_t offered = IsBelow(requested, kOfferedVersion) ? requested : kOfferedVersion;
    requestedMajor = major;
    requestedMinor = minor;
    started = true;
    versionOk = offered == requested;
    return started && versionOk;
}
