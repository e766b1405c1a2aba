// The repair connection's stall watch, against a peer the test drives, under a clock turned by hand.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "lumo/net/StallWatchedStream.h"
#include "tests/fixtures/WaitFor.h"
#include "tests/lumo_net/LoopbackPeer.h"

namespace
{
using TimePoint = std::chrono::steady_clock::time_point;

// The parameter: true when the stream reads, false when it writes.
class StallWatch : public ::testing::TestWithParam<bool>
{
protected:
    std::atomic<int64_t> m_seconds{0};
    StallWatchedStream stream{std::chrono::seconds(60), [this] { return TimePoint(std::chrono::seconds(m_seconds)); },
                              false};
    std::thread transfer;
    LUMORESULT result = LUMORESULT_INVALID_STATE;
    int listener = -1;
    int peer = -1;

    // A failed check must not leave the transfer's thread waiting on an open connection.
    void TearDown() override
    {
        if (transfer.joinable())
        {
            stream.tcp.Disconnect(true);
            transfer.join();
        }
        close(peer);
        close(listener);
    }
};

TEST_P(StallWatch, CutsOnlySilenceNeverATransferThatKeepsMoving)
{
    const bool reading = GetParam();
    uint16_t port = 0;
    ASSERT_GE(listener = nettest::ListenPlain(1, port), 0);
    ASSERT_EQ(stream.tcp.Connect(SocketAddress{nettest::kLoopback, port}), LUMORESULT_OK);
    ASSERT_GE(peer = accept(listener, nullptr, nullptr), 0);
    // The write is far more than both socket buffers hold (the peer's kept small); the read waits
    // for a fifth piece that never comes.
    const int buffer = 256 << 10;
    ASSERT_EQ(setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer), 0);
    const size_t piece = reading ? 1000 : 8u << 20;
    std::string data(reading ? 5 * piece : 64u << 20, 'w');
    const auto moved = [&] { return reading ? stream.GetPosition() : stream.GetBytesWritten(); };
    transfer = std::thread([&] {
        result = reading ? stream.ReadData(data.data(), uint32_t(data.size()))
                         : stream.WriteData(data.data(), uint32_t(data.size()));
    });
    // Four pieces 25 s apart: the one call lasts far beyond the 60 s limit, and is never cut.
    std::string sink(piece, 'r');
    for (int k = 0; k < 4; ++k)
    {
        const uint64_t before = moved();
        ASSERT_TRUE(reading ? nettest::SendAll(peer, sink.data(), piece)
                            : recv(peer, sink.data(), piece, MSG_WAITALL) == ssize_t(piece));
        ASSERT_TRUE(fixtures::WaitFor([&] { return moved() > before; }));
        m_seconds += 25;
        EXPECT_FALSE(stream.CheckForStall()) << "piece " << k;
    }
    // The peer moves no more: the call is cut once the limit passes without a byte.
    ASSERT_TRUE(fixtures::WaitFor([&] {
        m_seconds += 25;
        return stream.CheckForStall();
    }));
    transfer.join();
    EXPECT_NE(result, LUMORESULT_OK);
    EXPECT_LT(moved(), data.size());
}

INSTANTIATE_TEST_SUITE_P(ReadsAndWrites, StallWatch, ::testing::Bool());

} // namespace
