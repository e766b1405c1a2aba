#pragma once
// A server's address as a user writes it: "HOST:PORT", or "HOST" alone where the server has a
// port of its own. One reader serves the command line and the environment, so both refuse the
// same texts with the same words.

#include <cstdint>
#include <string>

struct HostPort
{
    std::string host;
    uint16_t port = 0;
};

// Splits text at its first ":" into a host and a decimal port from 1 to 65535. Without a ":" the
// port is defaultPort; a defaultPort of 0 means the port must be written. Empty on success, else
// why text is no address, in words ("the port \"abc\" is not a number from 1 to 65535").
std::string ParseHostPort(const std::string& text, uint16_t defaultPort, HostPort& address);
