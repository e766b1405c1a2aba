#include <gtest/gtest.h>

#include "lumo/net/HostPort.h"

namespace
{

// The same texts are read from the command line (the port must be written) and from the
// environment (a port of its own stands in).
TEST(HostPortTest, AddressesAndTheWordsForWhatIsWrong)
{
    const struct { const char* text; uint16_t defaultPort; const char* host; uint16_t port; const char* wrong; } cases[] = {
        {"127.0.0.1:6000", 0, "127.0.0.1", 6000, ""},
        {"repair.example:1", 0, "repair.example", 1, ""},
        {"localhost:65535", 6000, "localhost", 65535, ""},
        {"127.0.0.1", 6000, "127.0.0.1", 6000, ""},
        {"localhost", 0, "", 0, "the port is missing (HOST:PORT)"},
        {"host:99999", 0, "", 0, "the port \"99999\" is not a number from 1 to 65535"},
        {"host:65536", 6000, "", 0, "the port \"65536\" is not a number from 1 to 65535"},
        {"host:0", 0, "", 0, "the port \"0\" is not a number from 1 to 65535"},
        {"host:18446744073709557616", 0, "", 0, "the port \"18446744073709557616\" is not a number from 1 to 65535"},
        {"127.0.0.1:", 6000, "", 0, "the port after \":\" is missing"},
        {":6000", 6000, "", 0, "the host is missing"},
        {"", 6000, "", 0, "the host is missing"},
        {"127.0.0.1:abc", 0, "", 0, "the port \"abc\" is not a number from 1 to 65535"},
        {"127.0.0.1:+80", 0, "", 0, "the port \"+80\" is not a number from 1 to 65535"},
        {"127.0.0.1: 80", 0, "", 0, "the port \" 80\" is not a number from 1 to 65535"},
        {"host:80:81", 0, "", 0, "the port \"80:81\" is not a number from 1 to 65535"},
        {"my host:80", 0, "", 0, "the host \"my host\" holds a blank"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        HostPort address{"untouched", 7};
        EXPECT_EQ(ParseHostPort(c.text, c.defaultPort, address), c.wrong);
        const bool ok = *c.wrong == '\0';
        EXPECT_EQ(address.host, ok ? c.host : "untouched");
        EXPECT_EQ(address.port, ok ? c.port : 7);
    }
}

} // namespace
