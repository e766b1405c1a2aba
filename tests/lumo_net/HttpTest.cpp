#include <gtest/gtest.h>

#include "platform/DebugOutput.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/net/DownloadURL.h"
#include "lumo/net/LumoInternet.h"
#include "lumo/net/TransferStall.h"
#include "tests/lumo_net/FastStallClock.h"
#include "platform/Internet.h"
#include "tests/fixtures/BufferContents.h"
#include "tests/fixtures/DebugCapture.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/TestServers.h"

namespace
{

using nettest::PatternBytes;

struct Cancel : DownloadURLCallback
{
    bool IsCancelled() override { return flag; }
    std::atomic<bool> flag{false};
};

class HttpDownload : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_folder = new fixtures::ScratchFolder();
        fixtures::WriteFile(*s_folder / "www/big.bin", PatternBytes(3u << 20, 7));
        fixtures::WriteFile(*s_folder / "www/small.bin", PatternBytes(5000, 3));
        fixtures::WriteFile(*s_folder / "www/dir/a b@c.bin", PatternBytes(100, 4));
        fixtures::WriteFile(*s_folder / "www/empty.bin", "");
        fixtures::WriteFile(*s_folder / "www/drops.bin", PatternBytes(1000, 5));
        s_nginx = new nettest::NginxServer(*s_folder / "www");
        s_faults = new nettest::FaultServer(*s_folder / "www");
        s_certsMade = nettest::MakeTestCertificates(s_folder->Path(), s_certs);
        if (s_certsMade)
            s_tls = new nettest::FaultServer(*s_folder / "www", &s_certs);
    }
    static void TearDownTestSuite()
    {
        delete s_tls;
        delete s_faults;
        delete s_nginx;
        delete s_folder;
    }
    void SetUp() override
    {
        ASSERT_TRUE(s_nginx->Ok());
        ASSERT_TRUE(s_faults->Ok());
        LumoInetInternal::SetDownloadRetryPause(0);
    }
    void TearDown() override
    {
        LumoInetInternal::SetDownloadRetryPause(1000);
        platform::SetInternetTrustFile("");
        platform::SetInternetStallSeconds(0);
    }
    static std::string File(const std::string& name) { return fixtures::ReadFile(*s_folder / ("www/" + name)); }
    // The download of url succeeds and holds exactly the served file name.
    static bool Fetches(const std::string& url, const std::string& name)
    {
        LumoDataBufferMemoryDynamic buffer;
        return DownloadURL(url, &buffer, 0, nullptr) == LUMORESULT_OK && fixtures::Contents(buffer) == File(name);
    }
    // Asked past the download road, which may have given the server up.
    static int Count(const std::string& path)
    {
        LumoDataBufferMemoryDynamic buffer;
        InternetSessionHolder session;
        EXPECT_EQ(LUMORESULT_OK, session.HttpGet(s_faults->Url("count/" + path), &buffer, false, nullptr));
        return std::stoi(fixtures::Contents(buffer));
    }

    static inline fixtures::ScratchFolder* s_folder = nullptr;
    static inline nettest::NginxServer* s_nginx = nullptr;
    static inline nettest::FaultServer* s_faults = nullptr;
    static inline nettest::FaultServer* s_tls = nullptr;
    static inline nettest::TestCertificates s_certs;
    static inline bool s_certsMade = false;
};

TEST_F(HttpDownload, FilesArriveByteForByteWithTheirSizes)
{
    for (const std::string name : {"big.bin", "small.bin", "empty.bin", "dir/a b@c.bin"})
    {
        EXPECT_TRUE(Fetches(s_nginx->Url(name), name)) << name;
        uint64_t size = 1;
        EXPECT_EQ(LUMORESULT_OK, GetURLFileSize(s_nginx->Url(name), &size)) << name;
        EXPECT_EQ(File(name).size(), size) << name;
    }
    // The same through redirects, over a server that refuses HEAD, and without a scheme; sizes are 64-bit.
    EXPECT_TRUE(Fetches(s_faults->Url("redirect/small.bin"), "small.bin"));
    EXPECT_TRUE(Fetches(s_nginx->Url("small.bin").substr(7), "small.bin"));
    uint64_t size = 0;
    EXPECT_EQ(LUMORESULT_OK, GetURLFileSize(s_faults->Url("file/small.bin"), &size));
    EXPECT_EQ(5000u, size);
    EXPECT_EQ(LUMORESULT_OK, GetURLFileSize(s_faults->Url("size/5000000000"), &size));
    EXPECT_EQ(5000000000u, size);
}

TEST_F(HttpDownload, ErrorStatusIsAFailureNeverTheFile)
{
    // A client error is the server's final answer; a server error may pass, so it is retried.
    const struct { const char* path; int attempts; } cases[] = {{"status/404", 1}, {"status/500", 11}, {"file/missing.bin", 1}};
    for (const auto& c : cases)
    {
        const std::string path = c.path;
        LumoDataBufferMemoryDynamic buffer;
        nettest::StderrCapture output;
        EXPECT_EQ(LUMORESULT_NETWORK_ERROR, DownloadURL(s_faults->Url(path), &buffer, 0, nullptr)) << path;
        EXPECT_EQ(0u, buffer.GetSize()) << path;
        EXPECT_NE(std::string::npos, output.Text().find("HTTP status ")) << output.Text();
        EXPECT_EQ(c.attempts, Count(path)) << path;
        uint64_t size = 9;
        EXPECT_EQ(LUMORESULT_NETWORK_ERROR, GetURLFileSize(s_faults->Url(path), &size));
        EXPECT_EQ(0u, size);
    }
}

TEST_F(HttpDownload, BrokenBodiesFailAndRetriesStartOver)
{
    // Cut twice, whole on the third request: the destination holds exactly the file, also over a
    // longer file that was there before.
    const std::string path = *s_folder / "cut.bin";
    fixtures::WriteFile(path, std::string(4u << 20, 'x'));
    {
        LumoDataBufferFile direct(std::wstring(path.begin(), path.end()), LumoDataBufferFile::MODE_WRITE_KEEP);
        ASSERT_TRUE(direct.IsOpen());
        nettest::StderrCapture output;
        fixtures::DebugCapture debug;
        EXPECT_EQ(LUMORESULT_OK, DownloadURL(s_faults->Url("cut/70000/2/big.bin"), &direct, 0, nullptr));
        // The user reads the URL, the bytes that had arrived and the library's meaning; the code
        // goes to the debug channel.
        const std::string text = output.Text();
        EXPECT_NE(std::string::npos,
                  text.find(s_faults->Url("cut/70000/2/big.bin") + ": the server's answer was cut off after 70000 bytes ("))
            << text;
        EXPECT_EQ(std::string::npos, text.find("InternetReadFile")) << text;
        const std::string internal = debug.Text();
        const size_t line = internal.find("InternetReadFile returned 18 (");
        EXPECT_NE(std::string::npos, line) << internal;
        EXPECT_NE(std::string::npos, internal.find(") with actualByteCount=70000\n", line)) << internal;
        EXPECT_EQ(LUMORESULT_OK, direct.Close());
    }
    EXPECT_TRUE(fixtures::ReadFile(path) == File("big.bin"));
    EXPECT_EQ(3, Count("cut/70000/2/big.bin"));

    // A body shorter than announced never succeeds.
    LumoDataBufferMemoryDynamic shortBody;
    EXPECT_EQ(LUMORESULT_NETWORK_ERROR, DownloadURL(s_faults->Url("short/small.bin"), &shortBody, 0, nullptr));
    // A body without a length downloads, but its size cannot be told.
    EXPECT_TRUE(Fetches(s_faults->Url("nolength/small.bin"), "small.bin"));
    nettest::StderrCapture output;
    fixtures::DebugCapture debug;
    uint64_t size = 0;
    EXPECT_EQ(LUMORESULT_NETWORK_ERROR, GetURLFileSize(s_faults->Url("nolength/small.bin"), &size));
    EXPECT_NE(std::string::npos,
              output.Text().find(s_faults->Url("nolength/small.bin") + ": the server did not say how long the file is\n"))
        << output.Text();
    EXPECT_TRUE(debug.Saw("HttpQueryInfo returned -1"));
}

TEST_F(HttpDownload, DestinationFailureIsReported)
{
    char block[10];
    LumoDataBufferMemoryStatic tooSmall(block, sizeof block);
    nettest::StderrCapture output;
    fixtures::DebugCapture debug;
    InternetSessionHolder session;
    EXPECT_EQ(LUMORESULT_OUT_OF_SPACE, session.HttpGet(s_nginx->Url("small.bin"), &tooSmall, false, nullptr));
    EXPECT_NE(std::string::npos, output.Text().find(s_nginx->Url("small.bin") + ": the downloaded data cannot be written: " +
                                                    LumoUtil::DescribeResult(LUMORESULT_OUT_OF_SPACE) + "\n"))
        << output.Text();
    EXPECT_EQ(std::string::npos, output.Text().find("LUMORESULT")) << output.Text();
    EXPECT_TRUE(debug.Saw("WriteData returned 9 (LUMORESULT_OUT_OF_SPACE)\n"));
}

TEST_F(HttpDownload, CredentialsFromTheURLAndNeverPrinted)
{
    const std::string good = s_faults->Url("auth/bob/s3cret/small.bin");
    EXPECT_TRUE(Fetches("http://bob:s3cret@" + good.substr(7), "small.bin"));

    nettest::StderrCapture output;
    LumoDataBufferMemoryDynamic refused;
    EXPECT_EQ(LUMORESULT_NETWORK_ERROR, DownloadURL("http://bob:guess@" + good.substr(7), &refused, 0, nullptr));
    const std::string text = output.Text();
    EXPECT_NE(std::string::npos, text.find("HTTP status 401 for url http://bob:***@"));
    EXPECT_EQ(std::string::npos, text.find("guess"));
}

TEST_F(HttpDownload, CancelStopsAStalledTransferAndAllRetries)
{
    // Cancelled once the first 1000 bytes are in: the check runs on the downloading thread, the
    // one that writes the buffer, also while the transfer stalls.
    LumoDataBufferMemoryDynamic buffer;
    struct CancelAfterFirstBytes : DownloadURLCallback {
        explicit CancelAfterFirstBytes(LumoDataBuffer& buffer) : written(buffer) {}
        bool IsCancelled() override { return written.GetSize() >= 1000; }
        LumoDataBuffer& written;
    } cancel(buffer);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LUMORESULT_ABORTED, DownloadURL(s_faults->Url("stall/1000/small.bin"), &buffer, 0, &cancel));
    // The server stalls for 30 s: ending well before proves the cancel ended it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(1, Count("stall/1000/small.bin"));
}

TEST_F(HttpDownload, CancelAfterAFailedAttemptEndsWithoutAnotherAttempt)
{
    // A pause far longer than any machine needs: the cancel, heard within the pause, must end the
    // download before a second attempt however slow the machine.
    LumoInetInternal::SetDownloadRetryPause(120000);
    // Cancelled as the pause after the first failed attempt begins: the attempt has had its answer
    // and the pause alone can hear the cancel.
    Cancel cancel;
    int pauses = 0;
    LumoInetInternal::SetDownloadRetryPauseHook([&] { ++pauses, cancel.flag = true; });
    LumoDataBufferMemoryDynamic buffer;
    EXPECT_EQ(LUMORESULT_ABORTED, DownloadURL(s_faults->Url("status/503"), &buffer, 0, &cancel));
    LumoInetInternal::SetDownloadRetryPauseHook(nullptr);
    EXPECT_EQ(1, pauses);
    EXPECT_EQ(1, Count("status/503"));
    Cancel never;
    EXPECT_EQ(LUMORESULT_OK, DownloadURL(s_nginx->Url("small.bin"), &buffer, 0, &never));
}

TEST_F(HttpDownload, StalledServerFailsAfterTheStallLimit)
{
    // Every request here goes to a server that stalls: the window only has to outlast the running
    // server's first bytes.
    platform::SetInternetStallSeconds(3);
    LumoDataBufferMemoryDynamic buffer;
    InternetSessionHolder session;
    EXPECT_EQ(LUMORESULT_NETWORK_ERROR, session.HttpGet(s_faults->Url("stall/10/small.bin"), &buffer, false, nullptr));
    EXPECT_EQ(10u, buffer.GetSize());
    // A server that took the connection and never answered: a failed request, not a failed connection.
    nettest::StderrCapture output;
    fixtures::DebugCapture debug;
    EXPECT_EQ(LUMORESULT_NETWORK_ERROR, session.HttpGet(s_faults->Url("silent/e"), &buffer, false, nullptr));
    EXPECT_NE(std::string::npos, output.Text().find(s_faults->Url("silent/e") + ": no usable answer came from the server ("))
        << output.Text();
    EXPECT_TRUE(debug.Saw("HttpSendRequest returned 28")) << debug.Text();
}

// A download or a size query of url.
LUMORESULT Ask(bool size, const std::string& url, DownloadURLCallback* cancel = nullptr)
{
    LumoDataBufferMemoryDynamic buffer;
    uint64_t bytes = 0;
    return size ? GetURLFileSize(url, &bytes, cancel) : DownloadURL(url, &buffer, 0, cancel);
}

// A stop is heard while the server says nothing, for a download and a size query alike.
TEST_F(HttpDownload, ACancelIsHeardWhileTheServerSaysNothing)
{
    platform::SetInternetStallSeconds(300);  // far beyond the bound below: only the stop can end it in time
    for (const bool size : {false, true})
    {
        Cancel cancel;
        // Stopped once the server has the request and says nothing: the attempt is waiting then.
        const std::string path = size ? "silent/d" : "silent/c";
        const int before = Count(path);
        std::atomic<bool> ended{false};
        std::thread stopper([&] {
            while (!ended && Count(path) == before)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));  // between two looks only
            cancel.flag = true;
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(LUMORESULT_ABORTED, Ask(size, s_faults->Url(path), &cancel)) << size;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
        ended = true;
        stopper.join();
    }
}

// A server that takes the connection and says nothing (over HTTP, or never greets over FTP) stalls
// each attempt after 60 s; after 3 minutes of stalls in all it is given up, for the rest of the
// run: a later call on the same server, a size query or a download of another file, fails at once
// without a request, while another server is still asked.
TEST_F(HttpDownload, AServerStalledForThreeMinutesInAllIsGivenUpForTheRun)
{
    const std::string ftpUrl = "ftp://" + s_faults->Url("x.bin").substr(7);
    const struct { std::string url; bool size; } cases[] = {
        {s_faults->Url("silent/a"), false}, {s_faults->Url("silent/b"), true}, {ftpUrl, false}};
    for (const auto& c : cases)
    {
        const std::string server = s_faults->Url("").substr(7, s_faults->Url("").size() - 8);
        // Fast until the silent server is given up: the healthy fetches below get the real window.
        nettest::FastStallClock clock([server] { return !LumoNet::ServerStallLedger::ForRun().IsGivenUp(server); });
        nettest::StderrCapture output;
        EXPECT_EQ(LUMORESULT_NETWORK_ERROR, Ask(c.size, c.url)) << c.url;
        const std::string text = output.Text();
        EXPECT_NE(text.find(c.url + ": less than 1024 bytes moved in 60 s; attempt ended"), std::string::npos) << text;
        EXPECT_NE(text.find(c.url + ": the server " + server + " has stalled for "), std::string::npos) << text;
        EXPECT_GE(LumoNet::ServerStallLedger::ForRun().Stalled(server), std::chrono::minutes(3));
        if (c.url.rfind("http", 0) == 0)
        {
            EXPECT_EQ(3, Count(c.url.substr(s_faults->Url("").size()))) << c.url;
        }
        // The same server later in the run: no request at all.
        const int before = Count("file/small.bin");
        EXPECT_EQ(LUMORESULT_NETWORK_ERROR, Ask(!c.size, s_faults->Url("file/small.bin")));
        EXPECT_EQ(before, Count("file/small.bin"));
        EXPECT_TRUE(Fetches(s_nginx->Url("small.bin"), "small.bin"));
    }
    EXPECT_TRUE(Fetches(s_faults->Url("file/small.bin"), "small.bin"));
}

TEST_F(HttpDownload, HttpsWithTheTrustedAuthorityOnly)
{
    ASSERT_TRUE(s_certsMade && s_tls->Ok());
    platform::SetInternetTrustFile(s_certs.caFile);
    EXPECT_TRUE(Fetches(s_tls->Url("file/big.bin"), "big.bin"));
    uint64_t size = 0;
    EXPECT_EQ(LUMORESULT_OK, GetURLFileSize(s_tls->Url("file/small.bin"), &size));
    EXPECT_EQ(5000u, size);

    platform::SetInternetTrustFile(s_certs.otherCa);
    LumoDataBufferMemoryDynamic refused;
    nettest::StderrCapture output;
    fixtures::DebugCapture debug;
    InternetSessionHolder session;
    EXPECT_EQ(LUMORESULT_NETWORK_ERROR, session.HttpGet(s_tls->Url("file/small.bin"), &refused, false, nullptr));
    EXPECT_EQ(0u, refused.GetSize());
    EXPECT_NE(std::string::npos,
              output.Text().find(s_tls->Url("file/small.bin") + ": no usable answer came from the server ("))
        << output.Text();
    EXPECT_TRUE(debug.Saw("HttpSendRequest returned 60")) << debug.Text();
}

TEST_F(HttpDownload, UnreachableServerIsTriedElevenTimes)
{
    nettest::StderrCapture output;
    std::string debug;
    platform::SetDebugOutputHook([&debug](const std::string& text) { debug += text; });
    LumoDataBufferMemoryDynamic buffer;
    // Port 1 on loopback: nobody listens there.
    EXPECT_EQ(LUMORESULT_NETWORK_ERROR, DownloadURL("http://127.0.0.1:1/x", &buffer, 0, nullptr));
    platform::SetDebugOutputHook(nullptr);
    // Each attempt's line names the URL and the library's meaning, and no function or code; the
    // client's own terms go to the debug channel.
    const auto count = [](const std::string& text, const std::string& line) {
        size_t n = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
            ++n;
        return n;
    };
    const std::string text = output.Text();
    EXPECT_EQ(11u, count(text, "http://127.0.0.1:1/x: no connection to the server (")) << text;
    EXPECT_EQ(11u, count(text, "Couldn't connect to server)\n")) << text;
    EXPECT_EQ(0u, count(text, "InternetConnect")) << text;
    EXPECT_EQ(11u, count(debug, "InternetConnect returned 7 (")) << debug;
}

} // namespace
