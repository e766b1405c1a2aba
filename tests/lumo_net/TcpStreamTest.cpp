// The TCP stream against a scripted plain peer: exact-length reads and what ends them early.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "lumo/net/LumoDataBufferTCP.h"
#include "tests/fixtures/WaitFor.h"
#include "tests/lumo_net/LoopbackPeer.h"

using nettest::LoopbackPeer;

namespace
{

void SendText(int fd, const std::string& text) { nettest::SendAll(fd, text.data(), text.size()); }

// Waits for the reader's end of the stream, so that what was sent is read before the close.
void AwaitClose(int fd)
{
    char byte;
    recv(fd, &byte, 1, 0);
}

TEST(TcpStream, ReadsExactlyOrReportsWhatEndedTheRead)
{
    const std::string hundred(100, 'h');
    std::atomic<bool> connected{false};
    struct ReadCase { const char* name; LoopbackPeer::Script peer; bool returnOnPartialData; uint32_t length;
                      LUMORESULT result; uint64_t position; };
    const ReadCase cases[] = {
        {"arrives in two pieces",
         [&](int fd) {
             SendText(fd, hundred.substr(0, 60)), std::this_thread::sleep_for(std::chrono::milliseconds(20));
             SendText(fd, hundred.substr(60)), AwaitClose(fd);
         },
         false, 100, LUMORESULT_OK, 100},
        {"peer closes after 30 bytes", [&](int fd) { SendText(fd, hundred.substr(0, 30)); }, false, 100,
         LUMORESULT_ABORTED, 0},
        {"peer shuts down its side after 30 bytes",
         [&](int fd) { SendText(fd, hundred.substr(0, 30)), shutdown(fd, SHUT_WR), AwaitClose(fd); }, false, 100,
         LUMORESULT_ABORTED, 0},
        {"partial data allowed", [&](int fd) { SendText(fd, hundred.substr(0, 10)), AwaitClose(fd); }, true, 100,
         LUMORESULT_PARTIAL_DATA, 10},
        {"peer resets", [&](int fd) {
             // After the connect has completed on our side, or the connect itself sees the reset.
             fixtures::WaitFor([&] { return connected.load(); });
             const linger abortive{1, 0};
             setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
         },
         false, 100, LUMORESULT_NETWORK_ERROR, 0},
    };
    for (const ReadCase& c : cases)
    {
        connected = false;
        LoopbackPeer peer(c.peer);
        LumoDataBufferTCP stream;
        ASSERT_EQ(LUMORESULT_OK, stream.Connect(peer.Address())) << c.name;
        connected = true;
        stream.SetReturnOnPartialData(c.returnOnPartialData);
        std::vector<char> data(c.length);
        EXPECT_EQ(c.result, stream.ReadData(data.data(), c.length)) << c.name;
        EXPECT_EQ(c.position, stream.GetPosition()) << c.name;
        stream.Disconnect(true);
    }
}

TEST(TcpStream, PositionCountsReadsOnlyAndEmptyTransfersSendNothing)
{
    std::atomic<size_t> peerReceived{0};
    LoopbackPeer peer([&](int fd) {
        SendText(fd, std::string(104, 'r'));
        char buffer[64];
        size_t total = 0;
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            total += static_cast<size_t>(n);
        peerReceived = total;
    });
    LumoDataBufferTCP stream;
    ASSERT_EQ(LUMORESULT_OK, stream.Connect(peer.Address()));
    EXPECT_TRUE(stream.IsConnected());
    EXPECT_EQ(LUMORESULT_INVALID_STATE, stream.Connect(peer.Address()));
    EXPECT_EQ(peer.Address(), stream.GetRemoteAddress());

    char data[100];
    EXPECT_EQ(LUMORESULT_OK, stream.ReadData(data, 0));
    EXPECT_EQ(LUMORESULT_OK, stream.WriteData(data, 0));
    EXPECT_EQ(LUMORESULT_OK, stream.ReadData(data, 4));
    EXPECT_EQ(LUMORESULT_OK, stream.ReadData(data, 100));
    EXPECT_EQ(104u, stream.GetPosition());
    EXPECT_EQ(LUMORESULT_OK, stream.WriteData("abc", 3));
    EXPECT_EQ(104u, stream.GetPosition());
    // A graceful disconnect lets the peer see the end of the stream after all that was written.
    stream.Disconnect(false);
    EXPECT_FALSE(stream.IsConnected());
    ASSERT_TRUE(fixtures::WaitFor([&] { return peerReceived.load() != 0; }));
    EXPECT_EQ(3u, peerReceived.load());
}

TEST(TcpStream, ConnectToAClosedPortIsRefused)
{
    uint16_t port = 0;
    close(nettest::ListenPlain(1, port));
    LumoDataBufferTCP stream;
    EXPECT_EQ(LUMORESULT_CONNECTION_REFUSED, stream.Connect(SocketAddress{nettest::kLoopback, port}));
    EXPECT_FALSE(stream.IsConnected());
}

// Runs in a child: true when a stream whose socket could not be made refuses every call.
bool RefusesWithoutASocket()
{
    AcquireSocketManager(1);
    char byte = 0;
    {
        // Used once while descriptors remain: a sanitizer's first check of a type opens a pipe.
        LumoDataBufferTCP unconnected;
        unconnected.ReadData(&byte, 1);
    }
    // No descriptor is left for the stream's socket.
    const int lowestFree = dup(0);
    close(lowestFree);
    const rlimit cap{static_cast<rlim_t>(lowestFree), static_cast<rlim_t>(lowestFree)};
    setrlimit(RLIMIT_NOFILE, &cap);
    LumoDataBufferTCP stream;
    return stream.ReadData(&byte, 1) == LUMORESULT_INVALID_STATE &&
           stream.WriteData(&byte, 1) == LUMORESULT_INVALID_STATE &&
           stream.Connect(SocketAddress{nettest::kLoopback, 1}) == LUMORESULT_INVALID_STATE &&
           stream.Shutdown(2) == LUMORESULT_INVALID_STATE && !stream.IsConnected() &&
           stream.GetRemoteAddress() == SocketAddress{0, 0};
}

TEST(TcpStreamDeathTest, AStreamWithoutASocketRefusesEverything)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(_exit(RefusesWithoutASocket() ? 0 : 1), testing::ExitedWithCode(0), "");
}

// A stalled peer: the reader and a writer whose data the peer never takes both wait, until
// another thread disconnects abortively; every waiter returns an error, the peer sees a reset,
// and no descriptor is left open.
TEST(TcpStream, AbortiveDisconnectFromAnotherThreadEndsEveryWaiter)
{
    const size_t descriptorsBefore = nettest::OpenDescriptorCount();
    std::atomic<int> peerError{0};
    std::atomic<bool> disconnected{false};
    {
        LoopbackPeer peer([&](int fd) {
            const int small = 4096;
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            // Silent until the other end has gone; then draining shows how it went.
            fixtures::WaitFor([&] { return disconnected.load(); });
            char buffer[4096];
            ssize_t n;
            while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
                continue;
            peerError = n < 0 ? errno : 0;
        });
        LumoDataBufferTCP stream;
        ASSERT_EQ(LUMORESULT_OK, stream.Connect(peer.Address()));
        std::atomic<LUMORESULT> readResult{LUMORESULT_OK}, writeResult{LUMORESULT_OK};
        std::atomic<int> ended{0};
        std::thread reader([&] {
            char data[16];
            readResult = stream.ReadData(data, sizeof data);
            ++ended;
        });
        std::thread writer([&] {
            std::vector<char> data(64 << 20, 'w');
            writeResult = stream.WriteData(data.data(), static_cast<uint32_t>(data.size()));
            ++ended;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(0, ended.load());
        stream.Disconnect(true);
        disconnected = true;
        EXPECT_TRUE(fixtures::WaitFor([&] { return ended.load() == 2; }));
        reader.join();
        writer.join();
        EXPECT_EQ(LUMORESULT_ABORTED, readResult.load());
        EXPECT_EQ(LUMORESULT_ABORTED, writeResult.load());
        EXPECT_FALSE(stream.IsConnected());
        char byte;
        EXPECT_EQ(LUMORESULT_ABORTED, stream.ReadData(&byte, 1));
    }
    EXPECT_EQ(ECONNRESET, peerError.load());
    EXPECT_EQ(descriptorsBefore, nettest::OpenDescriptorCount());
}

// One write far larger than both socket buffers, to a peer that takes it piece by piece: the
// bytes sent are seen rising while the one call still waits; a write that the peer's close ends
// counts what went out before it, never all that was given.
TEST(TcpStream, AWriteCountsItsPartialSendsWhileItWaits)
{
    for (const bool peerTakesAll : {true, false})
    {
        SCOPED_TRACE(peerTakesAll ? "the peer takes every byte" : "the peer closes after two pieces");
        const size_t piece = 8u << 20, pieces = peerTakesAll ? 8 : 2;
        std::atomic<size_t> taken{0}, seen{0};
        LoopbackPeer peer([&](int fd) {
            std::vector<char> sink(piece);
            for (size_t k = 1; k <= pieces; ++k)
            {
                if (recv(fd, sink.data(), piece, MSG_WAITALL) != ssize_t(piece))
                    return;
                taken = k;
                // The next piece once the test has seen this one's effect.
                fixtures::WaitFor([&] { return seen.load() == k; });
            }
        });
        LumoDataBufferTCP stream;
        ASSERT_EQ(LUMORESULT_OK, stream.Connect(peer.Address()));
        std::vector<char> data(8 * piece, 'w');
        std::atomic<bool> ended{false};
        LUMORESULT result = LUMORESULT_INVALID_STATE;
        std::thread writer([&] {
            result = stream.WriteData(data.data(), uint32_t(data.size()));
            ended = true;
        });
        bool inStep = true;
        for (size_t k = 1; k <= pieces && inStep; ++k)
        {
            inStep = fixtures::WaitFor([&] { return taken.load() == k; });
            // Beyond what the peer has taken: the buffers between us fill again.
            if (inStep && k < 8)
                inStep = fixtures::WaitFor([&] { return stream.GetBytesSent() > k * piece; }) && !ended.load();
            EXPECT_TRUE(inStep) << "piece " << k;
            seen = k;
        }
        if (!inStep)
            stream.Disconnect(true); // releases the writer, to fail below
        writer.join();
        EXPECT_EQ(peerTakesAll, result == LUMORESULT_OK) << result;
        if (peerTakesAll)
            EXPECT_EQ(data.size(), stream.GetBytesSent());
        else
            EXPECT_LT(stream.GetBytesSent(), data.size());
        EXPECT_EQ(0u, stream.GetPosition());
    }
}

// More than 4 GiB through one stream: the position does not wrap.
TEST(TcpStream, PositionGoesBeyondFourGiB)
{
    const uint64_t total = 5ull << 30;
    const uint32_t block = 4 << 20;
    LoopbackPeer peer([&](int fd) {
        std::vector<char> data(block, 'p');
        for (uint64_t sent = 0; sent < total; sent += block)
            if (!nettest::SendAll(fd, data.data(), block))
                return;
    });
    LumoDataBufferTCP stream;
    ASSERT_EQ(LUMORESULT_OK, stream.Connect(peer.Address()));
    std::vector<char> data(block);
    LUMORESULT result = LUMORESULT_OK;
    for (uint64_t got = 0; got < total && result == LUMORESULT_OK; got += block)
        result = stream.ReadData(data.data(), block);
    EXPECT_EQ(LUMORESULT_OK, result);
    EXPECT_EQ(total, stream.GetPosition());
    EXPECT_EQ(LUMORESULT_ABORTED, stream.ReadData(data.data(), 1));
}

} // namespace
