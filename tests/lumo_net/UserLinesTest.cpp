// What a user reads when a transfer fails: the place and the reason in words, never the client's
// own terms (a function, a class, an API that "returned" a code).
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <regex>
#include <string>

#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/net/DownloadURL.h"
#include "lumo/net/LumoFTP.h"
#include "tests/fixtures/DebugCapture.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/TestServers.h"
#include "tests/lumo_net/LoopbackPeer.h"

namespace
{

using nettest::PatternBytes;

// The first internal term in text: "::", a name followed by "> ", " returned " or a result's name.
std::string InternalTerm(const std::string& text)
{
    static const std::regex internal("::|[A-Za-z_][A-Za-z0-9_]*> | returned |LUMORESULT");
    std::smatch found;
    return std::regex_search(text, found, internal) ? found.str() : std::string();
}

TEST(UserLines, FailedTransfersNameThePlaceAndTheReasonInWords)
{
    LumoInetInternal::SetDownloadRetryPause(0);
    fixtures::ScratchFolder folder;
    fixtures::WriteFile(folder / "www/small.bin", PatternBytes(5000, 3));
    // Larger than what the file buffer holds back: a write reaches the disk during the download.
    fixtures::WriteFile(folder / "www/big.bin", PatternBytes(3u << 20, 7));
    fixtures::WriteFile(folder / "root/pub/p.zip", PatternBytes(30000, 11));
    nettest::FaultServer http(folder / "www");
    ASSERT_TRUE(http.Ok());
    nettest::FtpServer ftp(folder / "root", folder / "ftp.log", {"--refuse-rest"});
    ASSERT_TRUE(ftp.Ok());
    const std::string ftpServer = "\" on the FTP server \"127.0.0.1:" + std::to_string(ftp.Port()) + "\"";
    uint16_t closedPort = 0;
    close(nettest::ListenPlain(1, closedPort));
    const std::string nobody = "http://127.0.0.1:" + std::to_string(closedPort) + "/x.zip";
    const bool haveFullDisk = access("/dev/full", W_OK) == 0;

    const struct
    {
        const char* name;
        std::function<LUMORESULT()> run; // its result is another test's concern
        std::string said; // a part of what the user reads
    } cases[] = {
        {"HTTP status",
         [&] {
             LumoDataBufferMemoryDynamic buffer;
             return DownloadURL(http.Url("status/404"), &buffer, 0, nullptr);
         },
         http.Url("status/404")},
        {"body cut short",
         [&] {
             LumoDataBufferMemoryDynamic buffer;
             return DownloadURL(http.Url("short/small.bin"), &buffer, 0, nullptr);
         },
         http.Url("short/small.bin") + ": the server's answer was cut off after 5000 bytes ("},
        {"no length announced",
         [&] {
             uint64_t size = 0;
             return GetURLFileSize(http.Url("nolength/small.bin"), &size);
         },
         http.Url("nolength/small.bin") + ": the server did not say how long the file is"},
        {"full disk",
         [&] {
             LumoDataBufferFile full(L"/dev/full", LumoDataBufferFile::MODE_WRITE_KEEP);
             return DownloadURL(http.Url("file/big.bin"), &full, 0, nullptr);
         },
         haveFullDisk ? http.Url("file/big.bin") + ": the downloaded data cannot be written: No space left on device"
                      : std::string()},
        {"no server listening",
         [&] {
             LumoDataBufferMemoryDynamic buffer;
             return DownloadURL(nobody, &buffer, 0, nullptr);
         },
         nobody + ": no connection to the server ("},
        {"FTP file missing",
         [&] {
             LumoDataBufferMemoryDynamic buffer;
             return DownloadURL(ftp.Url("pub/none.zip"), &buffer, 0, nullptr);
         },
         "\"pub/none.zip" + ftpServer + ": the file cannot be fetched ("},
        {"FTP resume refused",
         [&] {
             LumoDataBufferMemoryDynamic stale;
             stale.WriteData("garbage!", 8);
             return DownloadURL(ftp.Url("pub/p.zip"), &stale, 0, nullptr); // which then starts over
         },
         "\"pub/p.zip" + ftpServer + ": the download cannot go on where it broke off"},
        {"FTP folder already there",
         [&] {
             LumoFTP session;
             if (session.Open("127.0.0.1", "anonymous", "", 1, ftp.Port()) != LUMORESULT_OK)
                 return LUMORESULT_OK;
             return session.CreateDirectory("/pub");
         },
         "\"/pub" + ftpServer + ": the folder cannot be made on the server ("},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        if (c.said.empty())
            continue; // no full disk to write to here
        fixtures::DebugCapture debug;
        nettest::StderrCapture errors;
        fixtures::StdoutCapture console;
        c.run();
        const std::string read = errors.Text() + console.Text();
        EXPECT_NE(std::string::npos, read.find(c.said)) << read;
        EXPECT_EQ("", InternalTerm(read)) << read;
        // What a developer needs, the client's own terms, is still said on the debug channel.
        if (c.said.find(": the file cannot be fetched") != std::string::npos)
        {
            EXPECT_TRUE(debug.Saw("FtpOpenFile returned ")) << debug.Text();
        }
    }
    LumoInetInternal::SetDownloadRetryPause(1000);
}

} // namespace
