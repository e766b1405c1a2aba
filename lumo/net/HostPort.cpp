#include "lumo/net/HostPort.h"

std::string ParseHostPort(const std::string& text, uint16_t defaultPort, HostPort& address)
{
    const size_t colon = text.find(':');
    const std::string host = text.substr(0, colon);
    if (host.empty())
        return "the host is missing";
    if (host.find_first_of(" \t\r\n") != std::string::npos)
        return "the host \"" + host + "\" holds a blank";
    uint32_t port = defaultPort;
    if (colon == std::string::npos)
    {
        if (port == 0)
            return "the port is missing (HOST:PORT)";
    }
    else
    {
        const std::string digits = text.substr(colon + 1);
        if (digits.empty())
            return "the port after \":\" is missing";
        port = 0;
        for (char c : digits)
        {
            // Capped so that a long run of digits cannot wrap back into the range.
            if (c < '0' || c > '9' || (port = port * 10 + uint32_t(c - '0')) > 65535)
                return "the port \"" + digits + "\" is not a number from 1 to 65535";
        }
        if (port == 0)
            return "the port \"" + digits + "\" is not a number from 1 to 65535";
    }
    address.host = host;
    address.port = uint16_t(port);
    return "";
}
