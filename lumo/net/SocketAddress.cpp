#include "lumo/net/SocketAddress.h"

#include <arpa/inet.h>

SocketAddress SockAddrToAddress(const sockaddr_in& from)
{
    if (from.sin_family != AF_INET)
        return SocketAddress{};
    return SocketAddress{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
}

sockaddr_in AddressToSockAddr(const SocketAddress& from)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(from.port);
    to.sin_addr.s_addr = htonl(from.address);
    return to;
}

std::string AddressText(const SocketAddress& address)
{
    const uint32_t a = address.address;
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) +
           "." + std::to_string(a & 0xFF) + ":" + std::to_string(address.port);
}
