#pragma once
// The completion port: a locked FIFO of completion packets, an eventfd that wakes the one worker
// thread, and an epoll instance that tells the worker when a watched descriptor is ready. Any
// thread posts packets; only the worker takes them (GetStatus). While no packet is queued the
// worker sleeps in epoll_wait and hands every readiness event to the descriptor's handler, which
// turns it into completion packets (platform/OverlappedSocket.h).
//
// Readiness is dispatched whole, batch by batch, between two packets, and a handler stops being
// watched only while the worker runs a packet: so no event of a batch can name a descriptor that
// was closed after the batch was read.

#include <sys/epoll.h>

#include <cstdint>
#include <deque>
#include <mutex>

namespace platform
{

// What a completion packet points back to: the record at the start of an operation.
struct Overlapped
{
};

struct CompletionPacket
{
    uintptr_t key = 0;
    uint32_t bytes = 0;
    Overlapped* overlapped = nullptr;
    uint32_t error = 0;  // Winsock-style number, 0 on success
};

// A watched descriptor's owner; OnReady runs on the worker with the epoll event mask.
class ReadinessHandler
{
public:
    virtual void OnReady(uint32_t events) = 0;

protected:
    ~ReadinessHandler() = default;
};

class CompletionPort
{
public:
    CompletionPort();
    ~CompletionPort();
    CompletionPort(const CompletionPort&) = delete;
    CompletionPort& operator=(const CompletionPort&) = delete;

    // False when the eventfd or the epoll instance could not be made (errno tells why).
    bool IsValid() const { return m_epoll >= 0 && m_wake >= 0; }

    // Any thread. False when the worker could not be woken.
    bool Post(const CompletionPacket& packet);

    // Worker only: the next packet, waiting without limit.
    void GetStatus(CompletionPacket& packet);

    // Edge-triggered readiness of fd (in, out, peer hang-up) goes to handler. False when epoll
    // refuses the descriptor (errno tells why).
    bool Watch(int fd, ReadinessHandler* handler);
    // Worker only, so that no batch in hand still names fd.
    void Unwatch(int fd);

private:
    // Waits for readiness (timeout in ms, -1 without limit) and dispatches one batch.
    void PollOnce(int timeout);

    std::mutex m_lock;
    std::deque<CompletionPacket> m_queue;
    bool m_workerAsleep = false;   // the worker is in (or about to enter) epoll_wait
    unsigned m_sincePoll = 0;      // packets taken since readiness was last looked at; worker only
    int m_epoll = -1;
    int m_wake = -1;
};

}  // namespace platform
