#pragma once
// An IPv4 socket address as the socket layer passes it around: address and port in host byte
// order, the address 0xFFFFFFFF (INADDR_NONE) meaning "no address".

#include <netinet/in.h>

#include <cstdint>
#include <string>

struct SocketAddress
{
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    uint32_t address = kNone;
    uint16_t port = 0;

    bool operator==(const SocketAddress&) const = default;
};

// The 16-byte sockaddr_in (family AF_INET, both fields in network byte order, padding zeroed) and
// back; a family other than AF_INET gives no address.
SocketAddress SockAddrToAddress(const sockaddr_in& from);
sockaddr_in AddressToSockAddr(const SocketAddress& from);

// "a.b.c.d:port", as messages name a server.
std::string AddressText(const SocketAddress& address);
