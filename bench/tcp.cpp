// bench-tcp: 4 GiB from a client to a server over loopback, both ends through the completion-port
// socket layer (TCP streams in two processes, as the repair client and a server would run), against
// two socat processes moving the same bytes from /dev/zero to /dev/null. Both sides move 4 MiB
// blocks. Rounds alternate which side runs first; the figure is the median of 5 rounds, with the
// spread. iperf3 on the same loopback is printed first, as the machine's limit.
// Optional argument: the amount in GiB (default 4).
// Last line: tcp: ours <MiB/s>, socat <MiB/s>, ratio <ours/socat>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "lumo/net/LumoDataBufferTCP.h"
#include "platform/Spawn.h"
#include "tests/fixtures/LoopbackPort.h"
#include "tests/lumo_net/LayerServer.h"

namespace
{
constexpr int kRounds = 5;
constexpr uint32_t kBlock = 4 << 20;

// The server process: reads total bytes from one connection, then answers one byte.
int Serve(uint64_t total)
{
    nettest::LayerServer server(1);
    if (!server.Ok())
        return 1;
    std::printf("PORT %u\n", static_cast<unsigned>(server.Address().port));
    std::fflush(stdout);
    auto stream = server.Accept();
    if (!stream)
        return 1;
    std::vector<char> block(kBlock);
    for (uint64_t got = 0; got < total; got += kBlock)
        if (stream->ReadData(block.data(), static_cast<uint32_t>(std::min<uint64_t>(kBlock, total - got))) !=
            LUMORESULT_OK)
            return 1;
    return stream->WriteData("k", 1) == LUMORESULT_OK ? 0 : 1;
}

// Reads the child's output until a line starting with prefix; the rest of that line.
std::string ReadLineAfter(platform::SpawnedChild& child, const std::string& prefix)
{
    std::string line;
    char byte = 0;
    while (child.ReadOutput(&byte, 1) == 1)
    {
        if (byte != '\n')
            line.push_back(byte);
        else if (line.rfind(prefix, 0) == 0)
            return line.substr(prefix.size());
        else
            line.clear();
    }
    return "";
}

double Ours(uint64_t total)
{
    platform::SpawnRequest request;
    request.argv = {"/proc/self/exe", "--serve", std::to_string(total)};
    request.captureOutput = true;
    auto server = platform::SpawnedChild::Spawn(request, nullptr);
    const int port = server ? std::atoi(ReadLineAfter(*server, "PORT ").c_str()) : 0;
    if (port == 0)
        return -1;
    const auto start = std::chrono::steady_clock::now();
    LumoDataBufferTCP client;
    if (client.Connect(SocketAddress{0x7F000001, static_cast<uint16_t>(port)}) != LUMORESULT_OK)
        return -1;
    std::vector<char> block(kBlock, 'z');
    for (uint64_t sent = 0; sent < total; sent += kBlock)
        if (client.WriteData(block.data(), static_cast<uint32_t>(std::min<uint64_t>(kBlock, total - sent))) !=
            LUMORESULT_OK)
            return -1;
    char answer = 0;
    if (client.ReadData(&answer, 1) != LUMORESULT_OK)
        return -1;
    const double seconds = bench::SecondsSince(start);
    return server->Wait(10000) && server->ExitCode() == 0 ? seconds : -1;
}

double Socat(uint64_t total)
{
    const std::string port = std::to_string(fixtures::FreeLoopbackPort());
    const std::string block = std::to_string(kBlock);
    platform::SpawnRequest request;
    request.argv = {"socat", "-u", "-b", block, "TCP-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr", "OPEN:/dev/null"};
    auto receiver = platform::SpawnedChild::Spawn(request, nullptr);
    if (!receiver)
        return -1;
    // Started before the clock; the sender retries its connect until the receiver listens.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    const bool sent = bench::RunCommand({"socat", "-u", "-b", block,
                                         "OPEN:/dev/zero,readbytes=" + std::to_string(total),
                                         "TCP:127.0.0.1:" + port + ",retry=100,interval=0.01"});
    const bool received = receiver->Wait(60000) && receiver->ExitCode() == 0;
    const double seconds = bench::SecondsSince(start);
    return sent && received ? seconds : -1;
}

// iperf3's receive rate in MiB/s for the same amount; 0 when it cannot run.
double Iperf(uint64_t total)
{
    const std::string port = std::to_string(fixtures::FreeLoopbackPort());
    platform::SpawnRequest request;
    request.argv = {"iperf3", "-s", "-1", "-B", "127.0.0.1", "-p", port};
    auto server = platform::SpawnedChild::Spawn(request, nullptr);
    if (!server)
        return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    request.argv = {"iperf3", "-c", "127.0.0.1", "-p", port, "-n", std::to_string(total), "-J"};
    request.captureOutput = true;
    auto client = platform::SpawnedChild::Spawn(request, nullptr);
    std::string json;
    char buffer[4096];
    for (ssize_t n; client && (n = client->ReadOutput(buffer, sizeof buffer)) > 0;)
        json.append(buffer, static_cast<size_t>(n));
    server->Wait(10000);
    const size_t at = json.find("\"bits_per_second\"", json.find("\"sum_received\""));
    if (at == std::string::npos)
        return 0;
    return std::atof(json.c_str() + json.find(':', at) + 1) / 8 / (1 << 20);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
} // namespace

int main(int argc, char** argv)
{
    if (argc > 2 && std::string(argv[1]) == "--serve")
        return Serve(std::strtoull(argv[2], nullptr, 10));
    const uint64_t total = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4) << 30;
    const double mib = static_cast<double>(total) / (1 << 20);
    std::printf("tcp-iperf3 (the limit): %.0f MiB/s\n", Iperf(total));
    std::vector<double> ours, socat;
    for (int round = 1; round <= kRounds; ++round)
    {
        const bool oursFirst = round % 2 == 1;
        const double a = oursFirst ? Ours(total) : Socat(total);
        const double b = oursFirst ? Socat(total) : Ours(total);
        const double oursSeconds = oursFirst ? a : b, socatSeconds = oursFirst ? b : a;
        if (oursSeconds <= 0 || socatSeconds <= 0)
        {
            std::fprintf(stderr, "tcp: a transfer failed in round %d\n", round);
            return 1;
        }
        ours.push_back(mib / oursSeconds);
        socat.push_back(mib / socatSeconds);
        std::printf("tcp round %d: ours %.0f MiB/s, socat %.0f MiB/s\n", round, ours.back(), socat.back());
        std::fflush(stdout);
    }
    std::printf("tcp spread: ours %.0f-%.0f MiB/s, socat %.0f-%.0f MiB/s\n", *std::min_element(ours.begin(), ours.end()),
                *std::max_element(ours.begin(), ours.end()), *std::min_element(socat.begin(), socat.end()),
                *std::max_element(socat.begin(), socat.end()));
    std::printf("tcp: ours %.0f MiB/s, socat %.0f MiB/s, ratio %.2f\n", Median(ours), Median(socat),
                Median(ours) / Median(socat));
    return 0;
}
