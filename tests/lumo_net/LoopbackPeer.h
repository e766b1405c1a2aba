#pragma once
// The other end of the socket layer's tests, written with plain blocking POSIX sockets: a peer on
// 127.0.0.1 at a free port that accepts one connection on a test thread and runs a script on it,
// and the helpers such scripts use. Also the stream of pseudo-random bytes that bulk transfers
// send and check, and a count of this process's open descriptors.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <thread>

#include "lumo/net/SocketAddress.h"

namespace nettest
{

constexpr uint32_t kLoopback = 0x7F000001;

inline bool SendAll(int fd, const void* data, size_t size)
{
    const char* at = static_cast<const char*>(data);
    while (size > 0)
    {
        const ssize_t n = send(fd, at, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Bytes received before the end of the stream or an error (errno then tells which).
inline size_t RecvAll(int fd, void* data, size_t size)
{
    char* at = static_cast<char*>(data);
    size_t got = 0;
    while (got < size)
    {
        const ssize_t n = recv(fd, at + got, size - got, 0);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

// A listening plain socket on 127.0.0.1 at a free port.
inline int ListenPlain(int backlog, uint16_t& port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(kLoopback);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    {
        close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

inline int ConnectPlain(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = AddressToSockAddr(SocketAddress{kLoopback, port});
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

class LoopbackPeer
{
public:
    using Script = std::function<void(int fd)>;

    explicit LoopbackPeer(Script script)
    {
        m_listener = ListenPlain(1, m_port);
        m_thread = std::thread([this, script] {
            const int fd = accept(m_listener, nullptr, nullptr);
            if (fd < 0)
                return;
            script(fd);
            close(fd);
        });
    }
    ~LoopbackPeer()
    {
        // A peer still waiting for its connection is released by closing the listener.
        shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        close(m_listener);
    }
    SocketAddress Address() const { return SocketAddress{kLoopback, m_port}; }

private:
    int m_listener = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
};

// A reproducible byte stream: both ends make the same bytes, so a receiver checks each block
// against its own copy.
class PatternStream
{
public:
    explicit PatternStream(uint64_t seed) : m_state(seed | 1) {}
    void Fill(uint8_t* data, size_t size)
    {
        for (size_t i = 0; i + 8 <= size; i += 8)
        {
            m_state ^= m_state << 13;
            m_state ^= m_state >> 7;
            m_state ^= m_state << 17;
            std::memcpy(data + i, &m_state, 8);
        }
    }

private:
    uint64_t m_state;
};

inline size_t OpenDescriptorCount()
{
    size_t count = 0;
    if (DIR* folder = opendir("/proc/self/fd"))
    {
        while (readdir(folder))
            ++count;
        closedir(folder);
    }
    return count;
}

} // namespace nettest
