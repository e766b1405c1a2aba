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
using StallWatch = ::testing::TestWithParam<bool>; // true when the stream reads, false when it writes
using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

TEST_P(StallWatch, CutsOnlySilenceNeverATransferThatKeepsMoving)
{
    const bool reading = GetParam();
    std::atomic<int64_t> now{0}; // seconds on the watch's clock
    StallWatchedStream stream(seconds(60), [&] { return Clock::time_point(seconds(now)); }, false);
    uint16_t port = 0;
    const int listener = nettest::ListenPlain(1, port);
    ASSERT_EQ(stream.tcp.Connect(SocketAddress{nettest::kLoopback, port}), LUMORESULT_OK);
    const int peer = accept(listener, nullptr, nullptr);
    // The write is far more than both socket buffers hold (the peer's kept small), one call on the
    // socket underneath; the read waits for a fifth piece that never comes.
    const int buffer = 256 << 10;
    ASSERT_EQ(setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer), 0);
    const size_t piece = reading ? 1000 : 8u << 20;
    std::string data(reading ? 5 * piece : 64u << 20, 'w'), sink(piece, 'r');
    const auto moved = [&] { return reading ? stream.GetPosition() : stream.GetBytesWritten(); };
    LUMORESULT result = LUMORESULT_INVALID_STATE;
    std::thread transfer([&] {
        result = reading ? stream.ReadData(data.data(), uint32_t(data.size()))
                         : stream.WriteData(data.data(), uint32_t(data.size()));
    });
    // Four pieces 25 s apart: the one call lasts far beyond the 60 s limit, and is never cut.
    for (int k = 0; k < 4; ++k)
    {
        const uint64_t before = moved();
        EXPECT_TRUE(reading ? nettest::SendAll(peer, sink.data(), piece)
                            : recv(peer, sink.data(), piece, MSG_WAITALL) == ssize_t(piece));
        EXPECT_TRUE(fixtures::WaitFor([&] { return moved() > before; }));
        now += 25;
        EXPECT_FALSE(stream.CheckForStall()) << "piece " << k;
    }
    // The peer moves no more: the call is cut once the limit passes without a byte.
    const bool cut = fixtures::WaitFor([&] { now += 25; return stream.CheckForStall(); });
    if (!cut)
        stream.tcp.Disconnect(true); // releases the transfer, to fail below
    transfer.join();
    EXPECT_TRUE(cut && result != LUMORESULT_OK && moved() < data.size());
    close(peer);
    close(listener);
}

INSTANTIATE_TEST_SUITE_P(ReadsAndWrites, StallWatch, ::testing::Bool());

// A peer that drips a byte every 20 s keeps the read moving, but below the floor: the read is cut
// once a minute has passed without a floor's worth, and the server's account holds the stall.
TEST(StallWatchFloor, APeerDrippingBelowTheFloorIsCut)
{
    LumoNet::ServerStallLedger::ForRun().Clear();
    std::atomic<int64_t> now{0};
    StallWatchedStream stream(seconds(60), [&] { return Clock::time_point(seconds(now)); }, false);
    uint16_t port = 0;
    const int listener = nettest::ListenPlain(1, port);
    ASSERT_EQ(stream.tcp.Connect(SocketAddress{nettest::kLoopback, port}), LUMORESULT_OK);
    const int peer = accept(listener, nullptr, nullptr);
    std::string data(100, '\0');
    LUMORESULT result = LUMORESULT_INVALID_STATE;
    std::thread transfer([&] { result = stream.ReadData(data.data(), uint32_t(data.size())); });
    bool cut = false;
    for (int k = 0; k < 10 && !cut; ++k)
    {
        const uint64_t before = stream.GetPosition();
        EXPECT_TRUE(nettest::SendAll(peer, "d", 1));
        EXPECT_TRUE(fixtures::WaitFor([&] { return stream.GetPosition() > before || !stream.tcp.IsConnected(); }));
        now += 20;
        cut = stream.CheckForStall();
        EXPECT_TRUE(!cut || now >= 60) << now;
    }
    if (!cut)
        stream.tcp.Disconnect(true);
    transfer.join();
    EXPECT_TRUE(cut && result != LUMORESULT_OK);
    EXPECT_GE(LumoNet::ServerStallLedger::ForRun().Stalled("127.0.0.1:" + std::to_string(port)), seconds(60));
    LumoNet::ServerStallLedger::ForRun().Clear();
    close(peer);
    close(listener);
}
// The upload's mirror: a peer that takes 100 bytes now and then keeps one large write below the
// floor, and it is cut; what went out before the peer stopped keeping up is never read as a stall.
TEST(StallWatchFloor, AnUploadToAPeerTakingLessThanTheFloorIsCut)
{
    LumoNet::ServerStallLedger::ForRun().Clear();
    std::atomic<int64_t> now{0};
    StallWatchedStream stream(seconds(60), [&] { return Clock::time_point(seconds(now)); }, false);
    uint16_t port = 0;
    const int listener = nettest::ListenPlain(1, port);
    ASSERT_EQ(stream.tcp.Connect(SocketAddress{nettest::kLoopback, port}), LUMORESULT_OK);
    const int peer = accept(listener, nullptr, nullptr);
    std::string data(64u << 20, 'u'), sink(100, '\0');
    LUMORESULT result = LUMORESULT_INVALID_STATE;
    std::thread transfer([&] { result = stream.WriteData(data.data(), uint32_t(data.size())); });
    EXPECT_TRUE(fixtures::WaitFor([&] { return stream.GetBytesWritten() > 0; }));
    // Each look 20 s after the last: a cut needs a whole minute since the last floor's worth went out.
    uint64_t lastMoved = 0;
    int64_t movedAt = 0;
    const bool cut = fixtures::WaitFor([&] {
        recv(peer, sink.data(), sink.size(), MSG_DONTWAIT);
        now += 20;
        const uint64_t written = stream.GetBytesWritten();
        const bool stalled = stream.CheckForStall();
        if (!stalled && written - lastMoved >= 1024)
            lastMoved = written, movedAt = now;
        EXPECT_TRUE(!stalled || now - movedAt >= 60) << now;
        return stalled;
    });
    if (!cut)
        stream.tcp.Disconnect(true);
    transfer.join();
    EXPECT_TRUE(cut && result != LUMORESULT_OK && stream.GetBytesWritten() < data.size());
    EXPECT_GE(LumoNet::ServerStallLedger::ForRun().Stalled("127.0.0.1:" + std::to_string(port)), seconds(60));
    LumoNet::ServerStallLedger::ForRun().Clear();
    close(peer);
    close(listener);
}
} // namespace

// Small reads are served from what arrived with an earlier one, a large read takes the rest of it
// first: every byte comes out once, in order, and the position counts only what was handed out.
TEST(StallWatchedStreamReads, SmallAndLargeReadsHandOutEachByteOnceInOrder)
{
    StallWatchedStream stream(seconds(60), Clock::now, false);
    uint16_t port = 0;
    const int listener = nettest::ListenPlain(1, port);
    ASSERT_EQ(stream.tcp.Connect(SocketAddress{nettest::kLoopback, port}), LUMORESULT_OK);
    const int peer = accept(listener, nullptr, nullptr);
    std::string sent(300000, '\0');
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = char(i * 7 + i / 251);
    std::thread sender([&] { EXPECT_TRUE(nettest::SendAll(peer, sent.data(), sent.size())); });
    std::string got;
    for (const uint32_t length : {1u, 3u, 4u, 2u, 150000u, 9u, 50000u})
    {
        std::string part(length, '\0');
        ASSERT_EQ(stream.ReadData(part.data(), length), LUMORESULT_OK) << length;
        got += part;
        EXPECT_EQ(stream.GetPosition(), got.size());
    }
    sender.join();
    EXPECT_EQ(got, sent.substr(0, got.size()));
    close(peer);
    close(listener);
}
