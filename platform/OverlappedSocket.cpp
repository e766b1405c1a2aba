#include "platform/OverlappedSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform
{

uint32_t WinsockErrorFromErrno(int errnoValue)
{
    switch (errnoValue)
    {
    case 0: return 0;
    case ECONNREFUSED: return kWsaEConnRefused;
    case ECONNRESET:
    case EPIPE: return kWsaEConnReset;
    case ETIMEDOUT: return kWsaETimedOut;
    case ENETUNREACH: return kWsaENetUnreach;
    case EHOSTUNREACH: return kWsaEHostUnreach;
    case ENETDOWN: return kWsaENetDown;
    case EADDRNOTAVAIL: return kWsaEAddrNotAvail;
    case EADDRINUSE: return kWsaEAddrInUse;
    case EAFNOSUPPORT: return kWsaEAfNoSupport;
    case EFAULT: return kWsaEFault;
    case EINVAL: return kWsaEInval;
    case EALREADY: return kWsaEAlready;
    case EBADF:
    case ENOTSOCK: return kWsaENotSock;
    case ENOBUFS:
    case ENOMEM: return kWsaENoBufs;
    case EMFILE: return kWsaEMFile;
    case ECONNABORTED: return kWsaEConnAborted;
    case EISCONN: return kWsaEIsConn;
    case ENOTCONN: return kWsaENotConn;
    case ESHUTDOWN: return kWsaEShutdown;
    default: return 0x20000000u | static_cast<uint32_t>(errnoValue);
    }
}

int CreateStreamSocket()
{
    return socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

namespace
{
bool WouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS;
}

// A descriptor's pending connect, checked on readiness: done, failed, or still under way.
uint32_t ConnectOutcome(int fd)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return WinsockErrorFromErrno(errno);
    if (error != 0)
        return WinsockErrorFromErrno(error);
    sockaddr_in peer{};
    length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
        return 0;
    return errno == ENOTCONN ? kWsaIoPending : WinsockErrorFromErrno(errno);
}
}  // namespace

bool OverlappedSocket::Attach(CompletionPort& port, int fd)
{
    if (!port.Watch(fd, this))
        return false;
    m_port = &port;
    m_fd = fd;
    m_closed = false;
    return true;
}

uint32_t OverlappedSocket::Recv(void* data, uint32_t length, Overlapped* operation)
{
    return Issue(m_read, Parked{Call::Recv, operation, static_cast<char*>(data), length, nullptr});
}

uint32_t OverlappedSocket::Send(const void* data, uint32_t length, Overlapped* operation)
{
    return Issue(m_write,
                 Parked{Call::Send, operation, static_cast<char*>(const_cast<void*>(data)), length, nullptr});
}

uint32_t OverlappedSocket::Accept(OverlappedSocket& into, Overlapped* operation)
{
    return Issue(m_read, Parked{Call::Accept, operation, nullptr, 0, &into});
}

uint32_t OverlappedSocket::Connect(const sockaddr_in& to, Overlapped* operation)
{
    if (m_fd < 0)
        return RefusedNow();
    if (m_write.call != Call::None)
        return kWsaEAlready;
    if (connect(m_fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
    {
        Complete(operation, 0, 0);
        return 0;
    }
    if (errno != EINPROGRESS)
        return WinsockErrorFromErrno(errno);
    m_write = Parked{Call::Connect, operation, nullptr, 0, nullptr};
    return kWsaIoPending;
}

uint32_t OverlappedSocket::Disconnect(Overlapped* operation)
{
    if (m_fd < 0)
        return RefusedNow();
    if (shutdown(m_fd, SHUT_RDWR) != 0)
        return WinsockErrorFromErrno(errno);
    Complete(operation, 0, 0);
    return 0;
}

uint32_t OverlappedSocket::Issue(Parked& slot, const Parked& call)
{
    if (m_fd < 0)
        return RefusedNow();
    if (slot.call != Call::None)
        return kWsaEAlready;
    uint32_t bytes = 0;
    const uint32_t error = Attempt(call, bytes);
    if (error == kWsaIoPending)
        slot = call;
    else if (error == 0)
        Complete(call.operation, bytes, 0);
    return error;
}

uint32_t OverlappedSocket::Attempt(const Parked& call, uint32_t& bytes)
{
    bytes = 0;
    for (;;)
    {
        ssize_t n = 0;
        switch (call.call)
        {
        case Call::Recv:
            n = recv(m_fd, call.data, call.length, 0);
            break;
        case Call::Send:
            n = send(m_fd, call.data, call.length, MSG_NOSIGNAL);
            break;
        case Call::Connect:
            return ConnectOutcome(m_fd);
        case Call::Accept:
            n = accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (n >= 0)
            {
                const int accepted = static_cast<int>(n);
                call.into->Replace(-1);
                if (call.into->Attach(*m_port, accepted))
                    return 0;
                const uint32_t error = WinsockErrorFromErrno(errno);
                close(accepted);
                return error;
            }
            break;
        case Call::None:
            return kWsaEInval;
        }
        if (n >= 0)
        {
            bytes = static_cast<uint32_t>(n);
            return 0;
        }
        if (errno == EINTR || (call.call == Call::Accept && errno == ECONNABORTED))
            continue;
        return WouldBlock(errno) ? kWsaIoPending : WinsockErrorFromErrno(errno);
    }
}

void OverlappedSocket::OnReady(uint32_t)
{
    // Edge-triggered: every parked call is tried, whatever the event; a call that would still
    // block stays parked for the next edge.
    for (Parked* parked : {&m_read, &m_write})
    {
        if (parked->call == Call::None)
            continue;
        uint32_t bytes = 0;
        const uint32_t error = Attempt(*parked, bytes);
        if (error == kWsaIoPending)
            continue;
        Overlapped* operation = parked->operation;
        *parked = Parked{};
        Complete(operation, bytes, error);
    }
}

void OverlappedSocket::Complete(Overlapped* operation, uint32_t bytes, uint32_t error)
{
    m_port->Post(CompletionPacket{m_key, bytes, operation, error});
}

void OverlappedSocket::Replace(int fd)
{
    if (m_fd >= 0)
    {
        m_port->Unwatch(m_fd);
        close(m_fd);
    }
    m_fd = fd;
}

void OverlappedSocket::CloseAbortive()
{
    for (Parked* parked : {&m_read, &m_write})
        if (parked->call != Call::None)
        {
            Overlapped* operation = parked->operation;
            *parked = Parked{};
            Complete(operation, 0, kWsaOperationAborted);
        }
    m_closed = true;
    if (m_fd < 0)
        return;
    m_port->Unwatch(m_fd);
    const linger abortive{1, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(m_fd);
    m_fd = -1;
}

}  // namespace platform
