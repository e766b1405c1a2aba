// The stall watch of the repair connection against a loopback peer that moves bytes only when the
// test says so, under a clock the test turns by hand: a read or write that keeps moving is never
// cut however long it lasts, and one that moves nothing is cut once the limit has passed.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "lumo/net/StallWatchedStream.h"
#include "tests/fixtures/WaitFor.h"
#include "tests/lumo_net/LoopbackPeer.h"
#include "tests/lumo_net/RepairWire.h"

namespace
{
using namespace std::chrono_literals;
using nettest::LoopbackPeer;
using TimePoint = std::chrono::steady_clock::time_point;

constexpr auto kLimit = 60s;
constexpr auto kStep = 25s;

// A peer that runs the test's steps on its connection one at a time, each when it is given.
class SteppedPeer
{
public:
    using Step = std::function<bool(int fd)>;

    SteppedPeer()
        : m_peer([this](int fd) {
              for (;;)
              {
                  Step step;
                  {
                      std::unique_lock<std::mutex> hold(m_lock);
                      m_changed.wait(hold, [&] { return !m_steps.empty(); });
                      step = std::move(m_steps.front());
                      m_steps.pop_front();
                  }
                  const bool goOn = step && step(fd);
                  {
                      std::lock_guard<std::mutex> hold(m_lock);
                      ++m_done;
                  }
                  m_changed.notify_all();
                  if (!goOn)
                      return;
              }
          })
    {
    }
    ~SteppedPeer() { Give(nullptr); }

    // Runs step on the peer's thread and waits until it is done.
    void Run(Step step)
    {
        const int target = Give(std::move(step));
        std::unique_lock<std::mutex> hold(m_lock);
        m_changed.wait(hold, [&] { return m_done >= target; });
    }

    SocketAddress Address() const { return m_peer.Address(); }

private:
    int Give(Step step)
    {
        int target;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_steps.push_back(std::move(step));
            target = m_done + int(m_steps.size());
        }
        m_changed.notify_all();
        return target;
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Step> m_steps;
    int m_done = 0;
    LoopbackPeer m_peer; // last: its thread uses the members above
};

class StallWatch : public ::testing::Test
{
protected:
    std::atomic<int64_t> m_seconds{0};
    StallWatchedStream stream{kLimit, [this] { return TimePoint(std::chrono::seconds(m_seconds.load())); }, false};
    // What the transfer's thread uses: members, so that they outlive it whatever the test does.
    std::thread transfer;
    std::string data;
    LUMORESULT result = LUMORESULT_INVALID_STATE;

    // A failed check must not leave the transfer's thread waiting on an open connection.
    void TearDown() override
    {
        if (transfer.joinable())
        {
            stream.tcp.Disconnect(true);
            transfer.join();
        }
    }

    void Advance(std::chrono::seconds by) { m_seconds += by.count(); }
};

TEST_F(StallWatch, AReadThatKeepsReceivingIsNeverCutAndASilentOneIs)
{
    SteppedPeer peer;
    ASSERT_EQ(stream.tcp.Connect(peer.Address()), LUMORESULT_OK);
    constexpr size_t kPiece = 1000;
    constexpr int kPieces = 5; // 5 x 25 s: the one read lasts twice the limit
    data.assign(kPiece * kPieces, '\0');
    transfer = std::thread([&] { result = stream.ReadData(data.data(), uint32_t(data.size())); });
    std::string sent;
    for (int k = 0; k < kPieces; ++k)
    {
        const std::string piece(kPiece, char('a' + k));
        sent += piece;
        peer.Run([piece](int fd) { return nettest::SendAll(fd, piece.data(), piece.size()); });
        ASSERT_TRUE(fixtures::WaitFor([&] { return stream.GetPosition() == sent.size(); }));
        Advance(kStep);
        EXPECT_FALSE(stream.CheckForStall()) << "piece " << k;
    }
    transfer.join();
    EXPECT_EQ(result, LUMORESULT_OK);
    EXPECT_TRUE(data == sent);

    // Nothing more comes: the next read is cut once the limit has passed without a byte.
    transfer = std::thread([&] { result = stream.ReadData(data.data(), 10); });
    ASSERT_TRUE(fixtures::WaitFor([&] {
        Advance(kStep);
        return stream.CheckForStall();
    }));
    transfer.join();
    EXPECT_EQ(result, LUMORESULT_ABORTED);
    EXPECT_FALSE(stream.tcp.IsConnected());
}

TEST_F(StallWatch, AWriteThatKeepsSendingIsNeverCutAndAStuckOneIs)
{
    SteppedPeer peer;
    ASSERT_EQ(stream.tcp.Connect(peer.Address()), LUMORESULT_OK);
    // Far more than the socket buffers of both ends hold (the peer's kept small), so the write
    // waits for the peer.
    peer.Run([](int fd) {
        const int size = 256 << 10;
        return setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0;
    });
    data.assign(64u << 20, 'w');
    transfer = std::thread([&] { result = stream.WriteData(data.data(), uint32_t(data.size())); });
    uint64_t written = 0;
    for (int k = 0; k < 4; ++k)
    {
        peer.Run([](int fd) {
            std::string sink(8u << 20, '\0');
            return repairtest::ReceiveExactly(fd, sink.data(), sink.size());
        });
        ASSERT_TRUE(fixtures::WaitFor([&] { return stream.GetBytesWritten() > written; }));
        written = stream.GetBytesWritten();
        Advance(kStep);
        EXPECT_FALSE(stream.CheckForStall()) << "step " << k;
    }
    // The peer reads no more: once the buffers are full nothing moves, and the write is cut.
    ASSERT_TRUE(fixtures::WaitFor([&] {
        Advance(kStep);
        return stream.CheckForStall();
    }));
    transfer.join();
    EXPECT_NE(result, LUMORESULT_OK);
    EXPECT_LT(stream.GetBytesWritten(), data.size());
}

} // namespace
