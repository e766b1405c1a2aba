// The completion-port socket layer: its error table, start-up, manager, server side, bulk and
// many-connection traffic with both ends in the layer, and closing under a pending operation.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "lumo/net/LumoDataBufferTCP.h"
#include "lumo/net/SocketError.h"
#include "lumo/net/WinsockStartup.h"
#include "tests/fixtures/WaitFor.h"
#include "tests/lumo_net/LayerServer.h"
#include "tests/lumo_net/LoopbackPeer.h"

namespace
{

#if defined(__SANITIZE_THREAD__)
// The sanitizer slows the byte checks, not the transfer; races show at any size.
constexpr uint64_t kBulkBytes = 64ull << 20;
#else
constexpr uint64_t kBulkBytes = 1ull << 30;
#endif

TEST(MapSocketError, OneTableForEveryNumber)
{
    const struct { uint32_t error; LUMORESULT result; } cases[] = {
        {0, 0},      {64, 3},     {995, 13},   {10014, 5},  {10022, 7},  {10037, 7},  {10038, 7},
        {10047, 5},  {10049, 5},  {10050, 3},  {10051, 3},  {10054, 3},  {10055, 11}, {10060, 3},
        {10061, 12}, {10065, 3},  {10093, 7},  {10048, 11}, {1, 11},     {0x20000000u | 99, 11},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.result, MapSocketError(c.error)) << c.error;
    const struct { int errnoValue; LUMORESULT result; } translated[] = {
        {ECONNREFUSED, 12}, {ECONNRESET, 3}, {EPIPE, 3},   {ETIMEDOUT, 3},     {ENETUNREACH, 3},
        {EHOSTUNREACH, 3},  {ENETDOWN, 3},   {EBADF, 7},   {EADDRNOTAVAIL, 5}, {ENOBUFS, 11},
        {EADDRINUSE, 11},   {ENONET, 11},    {EINVAL, 7},
    };
    for (const auto& c : translated)
        EXPECT_EQ(c.result, MapSocketError(platform::WinsockErrorFromErrno(c.errnoValue))) << c.errnoValue;
}

TEST(WinsockStartup, OffersAtMostVersionTwoTwoAndIgnoresSigpipe)
{
    const struct { uint8_t major, minor; bool result, started; } cases[] = {
        {2, 2, true, true}, {1, 1, true, true}, {2, 3, false, true}, {0, 9, false, false}};
    for (const auto& c : cases)
    {
        WinsockStartup startup;
        EXPECT_EQ(c.result, startup.Startup(c.major, c.minor)) << int(c.major) << "." << int(c.minor);
        EXPECT_EQ(c.result, startup.versionOk);
        EXPECT_EQ(c.started, startup.started);
    }
    // Sends carry MSG_NOSIGNAL, but a pipe written elsewhere in the process must not end it either.
    signal(SIGPIPE, SIG_DFL);
    WinsockStartup().Startup(2, 2);
    struct sigaction current{};
    sigaction(SIGPIPE, nullptr, &current);
    EXPECT_EQ(SIG_IGN, current.sa_handler);
}

TEST(SocketManager, LastReleaseStopsTheWorker)
{
    ASSERT_EQ(nullptr, g_socketManager.load());
    AcquireSocketManager(1);
    CPSocketManager* manager = g_socketManager.load();
    AcquireSocketManager(1);
    ReleaseSocketManager();
    EXPECT_EQ(manager, g_socketManager.load());
    EXPECT_TRUE(fixtures::WaitFor([] { return g_iocpThreadId.load() != 0xFFFFFFFFu; }));
    EXPECT_FALSE(IsInIOCPThread());
    ReleaseSocketManager();
    EXPECT_EQ(nullptr, g_socketManager.load());
    EXPECT_EQ(0xFFFFFFFFu, g_iocpThreadId.load());
}

TEST(TCPSocketDeathTest, ASecondReaderStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            dup2(2, 1);
            TCPSocket socket;
            std::thread([&] { socket.EnterUserland(TCPSocket::USERLAND_OPERATION_CLASS_READ); }).join();
            socket.EnterUserland(TCPSocket::USERLAND_OPERATION_CLASS_READ);
        },
        "Assertion failed: wasThreadID == -1 \\|\\| wasThreadID == myThreadID");
}

// Reads blocks and writes each back until the stream ends.
void Echo(LumoDataBufferTCP& stream, uint32_t block)
{
    std::vector<uint8_t> data(block);
    while (stream.ReadData(data.data(), block) == LUMORESULT_OK && stream.WriteData(data.data(), block) == LUMORESULT_OK)
        continue;
}

// Both ends in the layer, one worker for all: a writer and a reader share the client stream while
// the server echoes, and every byte comes back where it was sent.
TEST(TCPSocket, EchoesBulkDataBothWaysWithoutLoss)
{
    const uint32_t block = 1 << 20;
    nettest::LayerServer server(4);
    ASSERT_TRUE(server.Ok());
    std::unique_ptr<LumoDataBufferTCP> accepted;
    std::thread echo([&] {
        if ((accepted = server.Accept()))
            Echo(*accepted, block);
    });
    LumoDataBufferTCP client;
    ASSERT_EQ(LUMORESULT_OK, client.Connect(server.Address()));
    std::atomic<LUMORESULT> written{LUMORESULT_OK};
    std::thread writer([&] {
        nettest::PatternStream pattern(7);
        std::vector<uint8_t> data(block);
        for (uint64_t sent = 0; sent < kBulkBytes && written == LUMORESULT_OK; sent += block)
        {
            pattern.Fill(data.data(), block);
            written = client.WriteData(data.data(), block);
        }
    });
    nettest::PatternStream expected(7);
    std::vector<uint8_t> data(block), want(block);
    uint64_t matched = 0;
    for (LUMORESULT read = LUMORESULT_OK; matched < kBulkBytes && read == LUMORESULT_OK;)
    {
        read = client.ReadData(data.data(), block);
        expected.Fill(want.data(), block);
        if (read != LUMORESULT_OK || memcmp(data.data(), want.data(), block) != 0)
            break;
        matched += block;
    }
    writer.join();
    EXPECT_EQ(LUMORESULT_OK, written.load());
    EXPECT_EQ(kBulkBytes, matched);
    EXPECT_EQ(kBulkBytes, client.GetPosition());
    client.Disconnect(false);
    echo.join();
    ASSERT_TRUE(accepted);
    EXPECT_EQ(kBulkBytes, accepted->GetPosition());
    EXPECT_TRUE(accepted->IsConnected());
    EXPECT_EQ(server.Address(), accepted->GetLocalAddress());
    EXPECT_EQ(client.GetLocalAddress().port, accepted->GetRemoteAddress().port);
}

// Runs body(i) for i in [0, count) on a few threads.
template <class Body>
void InParallel(size_t count, Body body)
{
    std::vector<std::thread> threads;
    for (size_t lane = 0, lanes = 8; lane < lanes; ++lane)
        threads.emplace_back([&, lane, lanes] {
            for (size_t i = lane; i < count; i += lanes)
                body(i);
        });
    for (auto& thread : threads)
        thread.join();
}

TEST(TCPSocket, CarriesAThousandConnectionsAtOnce)
{
    // Both ends of every connection live in this process.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    const size_t count = std::min<size_t>(1000, (limit.rlim_cur - 64) / 2);

    nettest::LayerServer server(1024);
    ASSERT_TRUE(server.Ok());
    std::vector<std::unique_ptr<LumoDataBufferTCP>> accepted(count);
    std::thread acceptor([&] {
        for (auto& stream : accepted)
            stream = server.Accept();
    });
    std::vector<std::unique_ptr<LumoDataBufferTCP>> clients(count);
    std::atomic<size_t> connected{0};
    InParallel(count, [&](size_t i) {
        clients[i] = std::make_unique<LumoDataBufferTCP>();
        connected += clients[i]->Connect(server.Address()) == LUMORESULT_OK;
    });
    acceptor.join();
    ASSERT_EQ(count, connected.load());

    auto message = [](size_t i) { return "connection " + std::to_string(i) + std::string(48, '.'); };
    std::atomic<size_t> sent{0}, echoed{0}, matched{0};
    InParallel(count, [&](size_t i) {
        const std::string text = message(i).substr(0, 48);
        sent += clients[i]->WriteData(text.data(), 48) == LUMORESULT_OK;
    });
    InParallel(count, [&](size_t i) {
        char data[48];
        echoed += accepted[i] && accepted[i]->ReadData(data, 48) == LUMORESULT_OK &&
                  accepted[i]->WriteData(data, 48) == LUMORESULT_OK;
    });
    InParallel(count, [&](size_t i) {
        char data[48];
        matched += clients[i]->ReadData(data, 48) == LUMORESULT_OK && message(i).compare(0, 48, data, 48) == 0;
    });
    EXPECT_EQ(count, sent.load());
    EXPECT_EQ(count, echoed.load());
    EXPECT_EQ(count, matched.load());
}

// Whether a connect to port on the loopback is pending in the kernel (SYN_SENT in /proc/net/tcp).
bool ConnectPendingTo(uint16_t port)
{
    std::ifstream table("/proc/net/tcp");
    char wanted[8];
    snprintf(wanted, sizeof wanted, ":%04X", port);
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (remote.ends_with(wanted) && state == "02")
            return true;
    }
    return false;
}

// A connect that stays pending (the listener's queue is full and it never accepts) ends when the
// stream is closed from another thread.
TEST(TCPSocket, CloseEndsAPendingConnect)
{
    uint16_t port = 0;
    const int listener = nettest::ListenPlain(0, port);
    ASSERT_GE(listener, 0);
    const int first = nettest::ConnectPlain(port);  // fills the queue
    ASSERT_GE(first, 0);
    LumoDataBufferTCP stream;
    std::atomic<LUMORESULT> result{LUMORESULT_OK};
    std::atomic<bool> ended{false};
    std::thread connecting([&] { result = stream.Connect(SocketAddress{nettest::kLoopback, port}), ended = true; });
    // Closed once the kernel holds the connect pending, not before it was made.
    ASSERT_TRUE(fixtures::WaitFor([&] { return ended || ConnectPendingTo(port); }));
    EXPECT_FALSE(ended.load());
    stream.Disconnect(true);
    EXPECT_TRUE(fixtures::WaitFor([&] { return ended.load(); }));
    connecting.join();
    EXPECT_EQ(LUMORESULT_ABORTED, result.load());
    close(first);
    close(listener);
}

// A send to a peer that has reset is an error, not the end of the process.
TEST(TCPSocket, WritingToAResetPeerFailsAndTheProcessLives)
{
    signal(SIGPIPE, SIG_DFL);
    WinsockStartup().Startup(2, 2);
    std::atomic<bool> connected{false}, reset{false};
    nettest::LoopbackPeer peer([&](int fd) {
        fixtures::WaitFor([&] { return connected.load(); });
        const linger abortive{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        reset = true;
    });
    LumoDataBufferTCP stream;
    ASSERT_EQ(LUMORESULT_OK, stream.Connect(peer.Address()));
    connected = true;
    ASSERT_TRUE(fixtures::WaitFor([&] { return reset.load(); }));
    std::vector<char> data(1 << 16, 'x');
    LUMORESULT result = LUMORESULT_OK;
    for (int i = 0; i < 100 && result == LUMORESULT_OK; ++i)
        result = stream.WriteData(data.data(), static_cast<uint32_t>(data.size()));
    EXPECT_EQ(LUMORESULT_NETWORK_ERROR, result);
}

} // namespace
