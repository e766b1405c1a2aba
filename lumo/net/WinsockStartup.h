#pragma once
// The socket library's start-up, once per program before any socket is made. On this system the
// sockets need no start; what remains is the version handshake the callers check, and ignoring
// SIGPIPE for the whole process, so that a send to a peer that has gone returns an error instead
// of ending the program.

#include <cstdint>

class WinsockStartup
{
public:
    WinsockStartup() = default;
    ~WinsockStartup() = default;
    WinsockStartup(const WinsockStartup&) = delete;
    WinsockStartup& operator=(const WinsockStartup&) = delete;

    // Asks for version major.minor. The library offers the lower of that and 2.2; versionOk is
    // set when it offers exactly what was asked. A major version 0 fails the start. True when started and the version is the one
    // asked for.
    bool Startup(uint8_t major, uint8_t minor);

    uint32_t requestedMajor = 0;
    uint32_t requestedMinor = 0;
    bool versionOk = false;
    bool started = false;
};
