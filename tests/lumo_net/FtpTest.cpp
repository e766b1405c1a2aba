#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/net/DownloadURL.h"
#include "lumo/net/LumoFTP.h"
#include "tests/fixtures/BufferContents.h"
#include "tests/fixtures/DebugCapture.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/TestServers.h"

namespace
{

using nettest::PatternBytes;

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

class FtpTransfer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        LumoInetInternal::SetDownloadRetryPause(0);
        m_file = PatternBytes(300000, 11);
        fixtures::WriteFile(m_folder / "root/pub/p.zip", m_file);
        fixtures::WriteFile(m_folder / "root/pub/small.txt", "hello");
        fixtures::WriteFile(m_folder / "root/empty/.keep", "");
        fixtures::RemoveTree(m_folder / "root/empty/.keep");
    }
    void TearDown() override { LumoInetInternal::SetDownloadRetryPause(1000); }

    std::unique_ptr<nettest::FtpServer> Start(const std::vector<std::string>& extra = {})
    {
        auto server = std::make_unique<nettest::FtpServer>(m_folder / "root", m_folder / "ftp.log", extra);
        EXPECT_TRUE(server->Ok());
        return server;
    }

    fixtures::ScratchFolder m_folder;
    std::string m_file;
};

// From an empty destination: BrokenTransferIsRetriedAndResumed.
TEST_F(FtpTransfer, ResumesWhereTheDestinationEndsOnTheURLsPortAsAnonymous)
{
    auto server = Start();
    LumoDataBufferMemoryDynamic buffer;
    buffer.WriteData(m_file.data(), 1000);
    nettest::StderrCapture output;
    EXPECT_EQ(LUMORESULT_OK, DownloadURL(server->Url("pub/p.zip"), &buffer, 0, nullptr));
    EXPECT_TRUE(fixtures::Contents(buffer) == m_file);
    uint64_t size = 0;
    EXPECT_EQ(LUMORESULT_OK, GetURLFileSize(server->Url("pub/p.zip"), &size));
    EXPECT_EQ(300000u, size);
    const std::string log = server->Log();
    EXPECT_NE(std::string::npos, log.find("USER anonymous")) << log;
    EXPECT_NE(std::string::npos, log.find("REST 1000")) << log;
    EXPECT_NE(std::string::npos, log.find("RETR /pub/p.zip")) << log;
    const std::string place = "\"pub/p.zip\" on the FTP server \"127.0.0.1:" + std::to_string(server->Port()) + "\"";
    EXPECT_NE(std::string::npos, output.Text().find(place + ": resuming the download at byte 1000\n")) << output.Text();
}

TEST_F(FtpTransfer, RefusedOrImpossibleResumeStartsOver)
{
    auto server = Start({"--refuse-rest"});
    LumoDataBufferMemoryDynamic stale;
    stale.WriteData("garbage!", 8);
    nettest::StderrCapture output;
    fixtures::DebugCapture debug;
    EXPECT_EQ(LUMORESULT_OK, DownloadURL(server->Url("pub/p.zip"), &stale, 0, nullptr));
    EXPECT_TRUE(fixtures::Contents(stale) == m_file);
    EXPECT_NE(std::string::npos, output.Text().find("\"pub/p.zip\" on the FTP server \"127.0.0.1:" +
                                                    std::to_string(server->Port()) +
                                                    "\": the download cannot go on where it broke off"))
        << output.Text();
    EXPECT_EQ(std::string::npos, output.Text().find("LumoFTP::")) << output.Text();
    EXPECT_TRUE(debug.Saw("LumoFTP::GetFileAtPath> unable to resume download of \"pub/p.zip\"")) << debug.Text();

    // A destination longer than the remote file cannot be continued either.
    auto plain = Start();
    LumoDataBufferMemoryDynamic longer;
    longer.WriteData(std::string(10, 'x').data(), 10);
    EXPECT_EQ(LUMORESULT_OK, DownloadURL(plain->Url("pub/small.txt"), &longer, 0, nullptr));
    EXPECT_EQ("hello", fixtures::Contents(longer));
}

TEST_F(FtpTransfer, BrokenTransferIsRetriedAndResumed)
{
    auto server = Start({"--cut-after", "100000", "--cut-times", "2"});
    const std::string path = m_folder / "download.zip";
    LumoDataBufferFile file(std::wstring(path.begin(), path.end()), LumoDataBufferFile::MODE_WRITE);
    ASSERT_TRUE(file.IsOpen());
    EXPECT_EQ(LUMORESULT_OK, DownloadURL(server->Url("pub/p.zip"), &file, 0, nullptr));
    EXPECT_EQ(LUMORESULT_OK, file.Close());
    EXPECT_TRUE(fixtures::ReadFile(path) == m_file);
    const std::string log = server->Log();
    EXPECT_NE(std::string::npos, log.find("REST 100000")) << log;
    EXPECT_NE(std::string::npos, log.find("REST 200000")) << log;
}

TEST_F(FtpTransfer, DroppedConnectionIsOpenedAgainOnce)
{
    auto server = Start({"--drop-at", "RETR"});
    LumoFTP ftp;
    ASSERT_EQ(LUMORESULT_OK, ftp.Open("127.0.0.1", "", "", 1, server->Port()));
    ASSERT_EQ(LUMORESULT_OK, ftp.SetCurrentDirectory("pub"));
    LumoDataBufferMemoryDynamic buffer;
    EXPECT_EQ(LUMORESULT_OK, ftp.GetFileAtPath("p.zip", &buffer, nullptr));
    EXPECT_TRUE(fixtures::Contents(buffer) == m_file);
    const std::string log = server->Log();
    EXPECT_EQ(2u, Occurrences(log, "RETR /pub/p.zip")) << log;
    EXPECT_EQ(2u, Occurrences(log, "USER anonymous")) << log;
    EXPECT_EQ("/pub", ftp.GetCurrentDirectory());

    // Dropped twice while changing folder: one reconnect, then the change fails.
    auto twice = Start({"--drop-at", "CWD", "--drop-times", "2"});
    LumoFTP other;
    ASSERT_EQ(LUMORESULT_OK, other.Open("127.0.0.1", "", "", 1, twice->Port()));
    EXPECT_EQ(LUMORESULT_NOT_FOUND, other.SetCurrentDirectory("pub"));
    EXPECT_EQ("", other.GetCurrentDirectory());
}

TEST_F(FtpTransfer, FoldersListingsSizesAndUploads)
{
    auto server = Start({"--user", "bob:pw"});
    LumoFTP ftp;
    LumoDataBufferMemoryDynamic listing;
    EXPECT_EQ(LUMORESULT_INVALID_STATE, ftp.FindFiles("", &listing));
    ASSERT_EQ(LUMORESULT_OK, ftp.Open("127.0.0.1", "bob", "pw", 0, server->Port())); // active mode

    EXPECT_EQ(LUMORESULT_NOT_FOUND, ftp.SetCurrentDirectory("missing"));
    EXPECT_EQ("", ftp.GetCurrentDirectory());
    EXPECT_EQ(LUMORESULT_OK, ftp.SetCurrentDirectory("empty"));
    EXPECT_EQ("/empty", ftp.GetCurrentDirectory());
    listing.WriteData("old", 3);
    EXPECT_EQ(LUMORESULT_OK, ftp.FindFiles("", &listing));
    EXPECT_EQ(0u, listing.GetSize());
    EXPECT_EQ(0u, listing.GetPosition());

    EXPECT_EQ(LUMORESULT_OK, ftp.SetCurrentDirectory("/pub"));
    EXPECT_EQ(LUMORESULT_OK, ftp.FindFiles("", &listing));
    EXPECT_EQ("p.zip\nsmall.txt\n", fixtures::Contents(listing));
    char tiny[3];
    LumoDataBufferMemoryStatic tooSmall(tiny, sizeof tiny);
    EXPECT_EQ(LUMORESULT_OUT_OF_SPACE, ftp.FindFiles("", &tooSmall)); // a listing that does not fit is no listing
    EXPECT_EQ(LUMORESULT_OK, ftp.FindFiles("small.txt", &listing));
    EXPECT_EQ("small.txt\n", fixtures::Contents(listing));
    uint64_t size = 0;
    EXPECT_EQ(LUMORESULT_OK, ftp.GetFileSize("p.zip", size));
    EXPECT_EQ(300000u, size);
    EXPECT_EQ(LUMORESULT_NETWORK_ERROR, ftp.GetFileSize("nothing.zip", size));

    // An upload into a missing folder creates it.
    const std::string upload = PatternBytes(40000, 5);
    std::unique_ptr<LumoDataBufferMemoryStatic> source(LumoDataBufferMemoryStatic::CreateFromString(upload));
    EXPECT_EQ(LUMORESULT_OK, ftp.PutFile("new/up.bin", source.get()));
    EXPECT_TRUE(fixtures::ReadFile(m_folder / "root/pub/new/up.bin") == upload);
    EXPECT_EQ(LUMORESULT_OK, ftp.CreateDirectory("/made"));
    EXPECT_TRUE(fixtures::PathExists(m_folder / "root/made"));
    nettest::StderrCapture output;
    fixtures::DebugCapture debug;
    EXPECT_EQ(LUMORESULT_NETWORK_ERROR, ftp.CreateDirectory("/made"));
    EXPECT_NE(std::string::npos, output.Text().find("\"/made\" on the FTP server \"127.0.0.1:" +
                                                    std::to_string(server->Port()) +
                                                    "\": the folder cannot be made on the server ("))
        << output.Text();
    EXPECT_TRUE(debug.Saw("FtpCreateDirectory returned 21 (")) << debug.Text();
}

TEST_F(FtpTransfer, LoginFailuresAndMissingFiles)
{
    auto server = Start({"--user", "bob:pw"});
    nettest::StderrCapture output;
    fixtures::DebugCapture debug;
    LumoFTP ftp;
    EXPECT_EQ(LUMORESULT_NETWORK_ERROR, ftp.Open("127.0.0.1", "bob", "wrong", 1, server->Port()));
    EXPECT_FALSE(ftp.IsOpen());
    LumoDataBufferMemoryDynamic buffer;
    EXPECT_EQ(LUMORESULT_INVALID_STATE, ftp.GetFileAtPath("pub/p.zip", &buffer, nullptr));
    ASSERT_EQ(LUMORESULT_OK, ftp.Open("127.0.0.1", "bob", "pw", 1, server->Port()));
    EXPECT_EQ(LUMORESULT_NETWORK_ERROR, ftp.GetFileAtPath("pub/none.zip", &buffer, nullptr));
    const std::string text = output.Text();
    EXPECT_NE(std::string::npos, text.find("No connection to the FTP server \"127.0.0.1\" (")) << text;
    EXPECT_EQ(std::string::npos, text.find("LumoFTP::Open>")) << text;
    EXPECT_NE(std::string::npos, text.find("\"pub/none.zip\" on the FTP server \"127.0.0.1:" +
                                           std::to_string(server->Port()) + "\": the file cannot be fetched ("))
        << text;
    EXPECT_EQ(std::string::npos, text.find("FtpOpenFile")) << text;
    EXPECT_TRUE(debug.Saw("FtpOpenFile returned ")) << debug.Text();

    // A missing file is the server's final answer: asked once.
    uint64_t size = 3;
    EXPECT_EQ(LUMORESULT_NETWORK_ERROR, GetURLFileSize(server->Url("pub/none.zip"), &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(1u, Occurrences(server->Log(), "USER anonymous"));
}

TEST_F(FtpTransfer, CancelStopsTheTransfer)
{
    struct Cancel : DownloadURLCallback
    {
        LumoDataBuffer* watched = nullptr;
        bool IsCancelled() override { return watched->GetSize() > 0; }
    } cancel;
    auto server = Start();
    LumoDataBufferMemoryDynamic buffer;
    cancel.watched = &buffer;
    EXPECT_EQ(LUMORESULT_ABORTED, DownloadURL(server->Url("pub/p.zip"), &buffer, 0, &cancel));
    EXPECT_GT(buffer.GetSize(), 0u);
    EXPECT_LE(buffer.GetSize(), 16384u);
    EXPECT_EQ(1u, Occurrences(server->Log(), "RETR"));
}

TEST(FtpReplies, CurrentFolderReply)
{
    struct Case { const char* line; bool found; const char* folder; } const cases[] = {
        {"257 \"/pub\" is the current directory.", true, "/pub"},
        {"257 \"/a \"\"b\"\"\" created", true, "/a \"b\""},
        {"257 \"\"", true, ""},
        {"257 \"/open", false, ""},
        {"257 /pub", false, ""},
        {"250 \"/pub\"", false, ""},
        {"", false, ""},
    };
    for (const Case& c : cases)
    {
        std::string folder = "unchanged";
        EXPECT_EQ(c.found, ParseFtpDirectoryReply(c.line, folder)) << c.line;
        EXPECT_EQ(c.found ? c.folder : "unchanged", folder) << c.line;
    }
}

TEST_F(FtpTransfer, NamesThatWouldSplitACommandAreRefused)
{
    auto server = Start();
    LumoFTP ftp;
    ASSERT_EQ(LUMORESULT_OK, ftp.Open("127.0.0.1", "", "", 1, server->Port()));
    LumoDataBufferMemoryDynamic buffer;
    uint64_t size = 0;
    EXPECT_EQ(LUMORESULT_INVALID_ARGUMENT, ftp.SetCurrentDirectory("pub\r\nDELE p.zip"));
    EXPECT_EQ(LUMORESULT_INVALID_ARGUMENT, ftp.CreateDirectory("x\nRMD pub"));
    EXPECT_EQ(LUMORESULT_INVALID_ARGUMENT, ftp.GetFileSize(std::string("p\0.zip", 6), size));
    EXPECT_EQ(LUMORESULT_INVALID_ARGUMENT, ftp.GetFileAtPath("a\rb", &buffer, nullptr));
    EXPECT_TRUE(fixtures::PathExists(m_folder / "root/pub/p.zip"));
    EXPECT_EQ(std::string::npos, server->Log().find("DELE"));
}

} // namespace

namespace
{
// A SIZE reply counts only as a plain decimal number: "-5" is no size of 5, and the library's own
// reading of it never cuts a download short.
TEST(FtpReplies, OnlyAPlainNumberIsASize)
{
    const struct { const char* line; FtpSizeReply kind; uint64_t size; } cases[] = {
        {"213 300000", FtpSizeReply::Plain, 300000},   {"213 0  ", FtpSizeReply::Plain, 0},
        {"213 18446744073709551615", FtpSizeReply::Plain, UINT64_MAX},
        {"213 18446744073709551616", FtpSizeReply::NotANumber, 0},
        {"213 -5", FtpSizeReply::NotANumber, 0},       {"213 +5", FtpSizeReply::NotANumber, 0},
        {"213 5 bytes", FtpSizeReply::NotANumber, 0},  {"213 0x10", FtpSizeReply::NotANumber, 0},
        {"213 ", FtpSizeReply::NotANumber, 0},         {"213-5", FtpSizeReply::None, 0},
        {"257 \"/\"", FtpSizeReply::None, 0},          {"2135", FtpSizeReply::None, 0},
    };
    for (const auto& c : cases)
    {
        uint64_t size = 7;
        EXPECT_EQ(c.kind, ParseFtpSizeReply(c.line, size)) << c.line;
        EXPECT_EQ(c.size, size) << c.line;
    }
}

TEST_F(FtpTransfer, ASizeThatIsNotANumberIsNoSize)
{
    for (const std::string reply : {"-5", "5 bytes"})
    {
        fixtures::RemoveTree(m_folder / "ftp.log");
        auto server = Start({"--size-reply", reply});
        nettest::StderrCapture output;
        fixtures::DebugCapture debug;
        uint64_t size = 1;
        EXPECT_EQ(LUMORESULT_BAD_FORMAT, GetURLFileSize(server->Url("pub/p.zip"), &size)) << reply;
        EXPECT_EQ(0u, size);
        // A final answer: asked once.
        EXPECT_EQ(1u, Occurrences(server->Log(), "SIZE /pub/p.zip")) << server->Log();
        EXPECT_NE(output.Text().find("\"pub/p.zip\" on the FTP server \"127.0.0.1:" + std::to_string(server->Port()) +
                                     "\": the server gives its size as \"" + reply + "\", which is not a number"),
                  std::string::npos) << output.Text();
        EXPECT_TRUE(debug.Saw("LumoFTP::GetFileSize> the size of \"pub/p.zip\" is not a number: \"" + reply + "\""))
            << debug.Text();
        // The download holds the whole file, from empty and resumed.
        for (const size_t start : {size_t(0), size_t(1000)})
        {
            LumoDataBufferMemoryDynamic buffer;
            buffer.WriteData(m_file.data(), uint32_t(start));
            EXPECT_EQ(LUMORESULT_OK, DownloadURL(server->Url("pub/p.zip"), &buffer, 0, nullptr)) << reply;
            EXPECT_EQ(m_file.size(), buffer.GetSize()) << reply << " from " << start;
            EXPECT_TRUE(fixtures::Contents(buffer) == m_file) << reply << " from " << start;
        }
    }
}
} // namespace
