#include "platform/CompletionPort.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace platform
{
namespace
{
constexpr int kBatch = 256;
// A stream of packets that never lets the queue run dry must not starve parked operations.
constexpr unsigned kPacketsBetweenPolls = 64;
}  // namespace

CompletionPort::CompletionPort()
{
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!IsValid())
        return;
    // Level-triggered and without a handler: a wake that arrives while the worker is busy is
    // still seen at its next wait.
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event) != 0)
    {
        close(m_wake);
        m_wake = -1;
    }
}

CompletionPort::~CompletionPort()
{
    if (m_wake >= 0)
        close(m_wake);
    if (m_epoll >= 0)
        close(m_epoll);
}

bool CompletionPort::Post(const CompletionPacket& packet)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.push_back(packet);
        wake = m_workerAsleep;
        m_workerAsleep = false;
    }
    if (!wake)
        return true;
    const uint64_t one = 1;
    for (;;)
    {
        if (write(m_wake, &one, sizeof one) == static_cast<ssize_t>(sizeof one))
            return true;
        // EAGAIN: the counter is full, so the worker is certainly due to wake.
        if (errno == EAGAIN)
            return true;
        if (errno != EINTR)
            return false;
    }
}

void CompletionPort::GetStatus(CompletionPacket& packet)
{
    for (;;)
    {
        if (m_sincePoll >= kPacketsBetweenPolls)
        {
            m_sincePoll = 0;
            PollOnce(0);
        }
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (!m_queue.empty())
            {
                packet = m_queue.front();
                m_queue.pop_front();
                ++m_sincePoll;
                return;
            }
            m_workerAsleep = true;
        }
        m_sincePoll = 0;
        PollOnce(-1);
    }
}

void CompletionPort::PollOnce(int timeout)
{
    epoll_event events[kBatch];
    const int count = epoll_wait(m_epoll, events, kBatch, timeout);
    {
        // Taking the lock also orders this thread after every Watch whose events the batch holds.
        std::lock_guard<std::mutex> lock(m_lock);
        m_workerAsleep = false;
    }
    for (int i = 0; i < count; ++i)
    {
        if (events[i].data.ptr == nullptr)
        {
            uint64_t ignored = 0;
            (void)!read(m_wake, &ignored, sizeof ignored);
            continue;
        }
        static_cast<ReadinessHandler*>(events[i].data.ptr)->OnReady(events[i].events);
    }
}

bool CompletionPort::Watch(int fd, ReadinessHandler* handler)
{
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.ptr = handler;
    std::lock_guard<std::mutex> lock(m_lock);
    return epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

void CompletionPort::Unwatch(int fd)
{
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
}

}  // namespace platform
