#pragma once
// A TCP stream under the transfer stall rule (lumo/net/TransferStall.h). The stream underneath
// waits without limit; this one closes the connection (abortively, so the waiting call fails)
// once reads and writes under way have moved less than the floor (1 KiB) within the stall limit
// (60 s by default), and adds the time spent below the floor to the server's account for the
// run. A transfer above the floor is never cut, however long the whole call takes: a 2 MB summary
// sent over a slow uplink keeps going, while a server that falls silent, or drips a byte now and
// then, is left after the limit.
//
// Every byte counts as it moves: reads take what each completion delivers (the stream's
// partial-data mode), and a write, however large, is one call on the stream underneath whose
// partial sends the socket layer counts as they complete (GetBytesSent); each look of the watch
// takes what was sent since the last one, so an upload at the floor is seen moving inside the one
// call. Time with no read or write under way (the client busy elsewhere) does not count: the watch
// starts over at a look that finds the stream idle. The watch thread looks every 100 ms, so a
// stall is seen between the limit and the limit plus two looks. The clock and the watch thread are
// seams for tests, which call CheckForStall themselves with a clock of their own.
//
// One thread may read and one may write at a time, as on the stream underneath.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "lumo/os/GuardedThread.h"
#include "lumo/net/LumoDataBufferTCP.h"
#include "lumo/net/TransferStall.h"

class StallWatchedStream : public LumoDataBuffer
{
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // Starts the watch thread when watchThread is set.
    explicit StallWatchedStream(std::chrono::milliseconds limit, Clock clock = &std::chrono::steady_clock::now,
                                bool watchThread = true);
    ~StallWatchedStream() override;
    StallWatchedStream(const StallWatchedStream&) = delete;
    StallWatchedStream& operator=(const StallWatchedStream&) = delete;

    uint64_t GetSize() const override { return tcp.GetSize(); }
    LUMORESULT SetSize(uint64_t size) override { return tcp.SetSize(size); }
    // Bytes handed out by ReadData (those read ahead and not yet handed out are not counted).
    uint64_t GetPosition() const override { return tcp.GetPosition() - m_aheadLeft.load(); }
    LUMORESULT SetPosition(uint64_t position) override { return tcp.SetPosition(position); }
    // Exactly length bytes, as on the stream underneath; LUMORESULT_ABORTED when the watch closed
    // the connection under the call. A short read takes whatever else has arrived with it and keeps
    // it for the next reads: a repair record's header is five small reads, and each read from the
    // socket is a round trip through the socket layer's worker thread.
    LUMORESULT WriteData(const void* data, uint32_t length) override;
    LUMORESULT ReadData(void* data, uint32_t length) override;

    // One look of the watch: closes the connection and returns true when a read or write is under
    // way and less than the floor has moved within the limit by the clock.
    bool CheckForStall();
    // Bytes written so far, counted as they go out (reads are counted by GetPosition).
    uint64_t GetBytesWritten() const { return tcp.GetBytesSent(); }
    // Why the watch thread asked for could not be started (it runs under the crash guard); empty
    // when it runs or was not asked for. Without it nothing gives up on a silent server.
    const std::string& GetWatchError() const { return m_watchError; }
    // What the watch saw when it last closed the connection, in words; empty when it never did.
    std::string GetStallReason();

    LumoDataBufferTCP tcp;

private:
    // Marks a read or write under way for its lifetime.
    class Busy
    {
    public:
        explicit Busy(StallWatchedStream& stream) : m_stream(stream) { ++m_stream.m_busy; }
        ~Busy() { --m_stream.m_busy; }

    private:
        StallWatchedStream& m_stream;
    };

    void Watch();
    // Under m_lock: counts for the watch what was sent since the last look.
    void TakeSent();

    std::atomic<int> m_busy{0};

    // Bytes read ahead (reading thread only), and how many of them are left (any thread).
    static constexpr uint32_t kReadAhead = 64 << 10;
    std::unique_ptr<uint8_t[]> m_ahead;
    uint32_t m_aheadAt = 0;
    std::atomic<uint32_t> m_aheadLeft{0};

    // The watch's own state, and what stops its thread.
    std::mutex m_lock;
    LumoNet::TransferStallWatch m_stall;
    bool m_stop = false;
    std::condition_variable m_wake;
    std::string m_watchError;
    std::string m_stallReason; // under m_lock
    uint64_t m_sentSeen = 0;   // under m_lock
    OS::GuardedThread m_watch;
};
