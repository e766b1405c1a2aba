#pragma once
// A TCP stream that gives up on a silent peer. The stream underneath waits without limit; this one
// closes the connection (abortively, so the waiting call fails) once a read or write has been
// under way while no byte moved for longer than the stall limit. A transfer that keeps moving is
// never cut, however long the whole call takes: a 2 MB summary sent over a slow uplink keeps
// going, and a server that falls silent is left after the limit.
//
// To see bytes move inside one call, reads take what each completion delivers (the stream's
// partial-data mode) and writes go out in steps of kWriteStep bytes; every step counts as
// activity. The watch compares the activity count with the one it saw last: a change restarts its
// clock. The watch thread looks every 100 ms, so a stall is seen between the limit and the limit
// plus two looks after the last byte moved. The clock and the watch thread are seams for tests,
// which call CheckForStall themselves with a clock of their own.
//
// One thread may read and one may write at a time, as on the stream underneath.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "lumo/os/GuardedThread.h"
#include "lumo/net/LumoDataBufferTCP.h"

class StallWatchedStream : public LumoDataBuffer
{
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr uint32_t kWriteStep = 64u << 10;

    // Starts the watch thread when watchThread is set.
    explicit StallWatchedStream(std::chrono::milliseconds limit, Clock clock = &std::chrono::steady_clock::now,
                                bool watchThread = true);
    ~StallWatchedStream() override;
    StallWatchedStream(const StallWatchedStream&) = delete;
    StallWatchedStream& operator=(const StallWatchedStream&) = delete;

    uint64_t GetSize() const override { return tcp.GetSize(); }
    LUMORESULT SetSize(uint64_t size) override { return tcp.SetSize(size); }
    uint64_t GetPosition() const override { return tcp.GetPosition(); }
    LUMORESULT SetPosition(uint64_t position) override { return tcp.SetPosition(position); }
    // Exactly length bytes, as on the stream underneath; LUMORESULT_ABORTED when the watch closed
    // the connection under the call.
    LUMORESULT WriteData(const void* data, uint32_t length) override;
    LUMORESULT ReadData(void* data, uint32_t length) override;

    // One look of the watch: closes the connection and returns true when a read or write is under
    // way and the activity count has not changed for longer than the limit by the clock.
    bool CheckForStall();
    // Bytes written so far (reads are counted by GetPosition).
    uint64_t GetBytesWritten() const { return m_written.load(); }
    // Why the watch thread asked for could not be started (it runs under the crash guard); empty
    // when it runs or was not asked for. Without it nothing gives up on a silent server.
    const std::string& GetWatchError() const { return m_watchError; }

    LumoDataBufferTCP tcp;

private:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Marks a read or write under way for its lifetime; its start counts as activity.
    class Busy
    {
    public:
        explicit Busy(StallWatchedStream& stream);
        ~Busy();

    private:
        StallWatchedStream& m_stream;
    };

    void Watch();

    const std::chrono::milliseconds m_limit;
    const Clock m_clock;
    std::atomic<int> m_busy{0};
    std::atomic<uint64_t> m_activity{0};
    std::atomic<uint64_t> m_written{0};

    // The watch's own state, and what stops its thread.
    std::mutex m_lock;
    uint64_t m_seenActivity = 0;
    TimePoint m_quietSince{};
    bool m_stop = false;
    std::condition_variable m_wake;
    std::string m_watchError;
    OS::GuardedThread m_watch;
};
