#pragma once
// Overlapped socket calls over a completion port (platform/CompletionPort.h): the worker issues a
// receive, send, connect, accept or disconnect, and exactly one completion packet is later queued
// for every call that did not fail at once. A call the socket can serve now is served at issue
// time and its packet queued; one that would block is parked in the socket's read slot (receive,
// accept) or write slot (send, connect) and retried on every readiness event of the descriptor.
// Sockets are non-blocking and close-on-exec; sends never raise SIGPIPE.
//
// Every member runs on the worker, except Attach before the socket's first operation.
//
// Errors are Winsock numbers (the layer above maps them through one table); errno is translated
// once, by WinsockErrorFromErrno.

#include <netinet/in.h>

#include <cstdint>

#include "platform/CompletionPort.h"

namespace platform
{

enum : uint32_t
{
    kWsaNetnameDeleted = 64,
    kWsaOperationAborted = 995,  // the operation was ended by our own close
    kWsaIoPending = 997,
    kWsaEFault = 10014,
    kWsaEInval = 10022,
    kWsaEMFile = 10024,
    kWsaEWouldBlock = 10035,
    kWsaEAlready = 10037,
    kWsaENotSock = 10038,
    kWsaEAfNoSupport = 10047,
    kWsaEAddrInUse = 10048,
    kWsaEAddrNotAvail = 10049,
    kWsaENetDown = 10050,
    kWsaENetUnreach = 10051,
    kWsaEConnAborted = 10053,
    kWsaEConnReset = 10054,
    kWsaENoBufs = 10055,
    kWsaEIsConn = 10056,
    kWsaENotConn = 10057,
    kWsaEShutdown = 10058,
    kWsaETimedOut = 10060,
    kWsaEConnRefused = 10061,
    kWsaEHostUnreach = 10065,
    kWsaNotInitialised = 10093,
};

// The Winsock number for an errno value; an errno without a twin gives 0x20000000 | errno, which
// lies outside every Winsock number.
uint32_t WinsockErrorFromErrno(int errnoValue);

// A TCP socket descriptor for IPv4, non-blocking and close-on-exec; -1 with errno on failure.
int CreateStreamSocket();

class OverlappedSocket : public ReadinessHandler
{
public:
    // key: what the socket's completion packets carry.
    explicit OverlappedSocket(uintptr_t key) : m_key(key) {}
    OverlappedSocket(const OverlappedSocket&) = delete;
    OverlappedSocket& operator=(const OverlappedSocket&) = delete;

    // Takes fd and watches it on port. False (fd not taken) when epoll refuses it.
    bool Attach(CompletionPort& port, int fd);
    // The descriptor, -1 when none.
    int Fd() const { return m_fd; }

    // Each returns 0 when the call's packet is queued, kWsaIoPending when it is parked (a packet
    // follows), or the Winsock error of a call that failed at once (no packet). After CloseAbortive
    // every call fails at once with kWsaOperationAborted.
    uint32_t Recv(void* data, uint32_t length, Overlapped* operation);
    uint32_t Send(const void* data, uint32_t length, Overlapped* operation);
    uint32_t Connect(const sockaddr_in& to, Overlapped* operation);
    // The accepted connection replaces into's descriptor (a placeholder is closed) and is
    // watched on this socket's port; the packet is this socket's.
    uint32_t Accept(OverlappedSocket& into, Overlapped* operation);
    // Both directions shut down; the descriptor stays open until CloseAbortive.
    uint32_t Disconnect(Overlapped* operation);

    // Completes every parked call with kWsaOperationAborted, stops watching, and closes with a
    // zero linger, so the peer sees a reset.
    void CloseAbortive();

    void OnReady(uint32_t events) override;

private:
    enum class Call
    {
        None,
        Recv,
        Send,
        Connect,
        Accept,
    };
    struct Parked
    {
        Call call = Call::None;
        Overlapped* operation = nullptr;
        char* data = nullptr;
        uint32_t length = 0;
        OverlappedSocket* into = nullptr;
    };

    // Issues call now; parks it in slot when it would block.
    uint32_t Issue(Parked& slot, const Parked& call);
    // Runs the call once: 0 (bytes moved), kWsaIoPending (would block) or its error.
    uint32_t Attempt(const Parked& call, uint32_t& bytes);
    uint32_t RefusedNow() const { return m_closed ? kWsaOperationAborted : kWsaENotSock; }
    void Complete(Overlapped* operation, uint32_t bytes, uint32_t error);
    void Replace(int fd);

    const uintptr_t m_key;
    CompletionPort* m_port = nullptr;
    int m_fd = -1;
    bool m_closed = false;
    Parked m_read;
    Parked m_write;
};

}  // namespace platform
