// Multipart bodies byte for byte, and as Python's own multipart parser reads them after a POST.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lumo/net/LumoInternet.h"
#include "lumo/net/MultipartForm.h"
#include "tests/fixtures/BufferContents.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/lumo_net/LoopbackPeer.h"
#include "tests/fixtures/TestServers.h"

namespace
{

std::string Body(NamedDataBuffers& fields, std::string& boundary)
{
    LumoDataBufferMemoryDynamic body;
    EXPECT_EQ(LUMORESULT_OK, WriteMultipartBody(fields, body, boundary));
    return fixtures::Contents(body);
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> pieces(1);
    for (char c : text)
        if (c == separator)
            pieces.emplace_back();
        else
            pieces.back() += c;
    return pieces;
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes)
        hex += {digits[c >> 4], digits[c & 15]};
    return hex;
}

TEST(MultipartBody, IsWrittenByteForByte)
{
    NamedDataBuffers fields;
    fields.AddString("a", "1");
    fields.AddString("dir/f.txt", "xyz");
    std::string boundary;
    EXPECT_EQ("--M3g@1~``<pIG<####\r\n"
              "content-disposition: form-data; name=\"a\"\r\n"
              "\r\n"
              "1\r\n"
              "--M3g@1~``<pIG<####\r\n"
              "content-disposition: form-data; name=\"dir/f\"; filename=\"dir/f.txt\"\r\n"
              "\r\n"
              "xyz\r\n"
              "--M3g@1~``<pIG<####--\r\n",
              Body(fields, boundary));
    EXPECT_EQ("M3g@1~``<pIG<####", boundary);
    EXPECT_EQ("multipart/form-data; boundary=\"M3g@1~``<pIG<####\"", MultipartContentType(boundary));

    NamedDataBuffers none;
    EXPECT_EQ("--M3g@1~``<pIG<####--\r\n", Body(none, boundary));

    // Data holding the boundary moves it; a name cannot add header lines.
    NamedDataBuffers awkward;
    awkward.AddString("x\"\r\ny", "--M3g@1~``<pIG<####--\r\n");
    const std::string body = Body(awkward, boundary);
    EXPECT_EQ("M3g@1~``<pIG<####-1", boundary);
    EXPECT_NE(std::string::npos, body.find("name=\"x%22%0D%0Ay\"\r\n\r\n"));
}

class MultipartPost : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_folder = new fixtures::ScratchFolder();
        s_server = new nettest::FaultServer(s_folder->Path());
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        delete s_folder;
    }
    void SetUp() override { ASSERT_TRUE(s_server->Ok()); }

    static fixtures::ScratchFolder* s_folder;
    static nettest::FaultServer* s_server;
};
fixtures::ScratchFolder* MultipartPost::s_folder = nullptr;
nettest::FaultServer* MultipartPost::s_server = nullptr;

// The server's parse of a posted body: its lines ("field <name> <file name> <bytes>" in hex).
TEST_F(MultipartPost, PythonsParserReadsEveryFieldBackWhole)
{
    struct Field { std::string name, filename, data; };
    std::string binary;
    for (int i = 0; i < 256; ++i)
        binary += static_cast<char>(i);
    binary += "\r\n--M3g@1~``<pIG<####\r\n\r\n";
    const std::vector<Field> sent = {
        {"plain", "", "value"},
        {"report.txt", "report.txt", "line one\r\nline two\n"},
        {"folder/dump.bin", "folder/dump.bin", binary},
        {"empty", "", ""},
        {"say \"hi\"", "", "quoted"},
    };
    // What Python reads: the name less its extension, the escaped quote.
    const std::vector<std::string> names = {"plain", "report", "folder/dump", "empty", "say %22hi%22"};
    NamedDataBuffers fields;
    for (const Field& f : sent)
        fields.AddString(f.name, f.data);
    LumoDataBufferMemoryDynamic body, reply;
    std::string boundary;
    ASSERT_EQ(LUMORESULT_OK, WriteMultipartBody(fields, body, boundary));
    body.SetPosition(0);
    InternetSessionHolder session;
    ASSERT_EQ(LUMORESULT_OK, session.HttpPostMultipart(s_server->Url("form"), body, boundary, &reply));

    const std::vector<std::string> lines = Split(fixtures::Contents(reply), '\n');
    ASSERT_EQ(3 + sent.size() + 1, lines.size());  // the reply ends with a line end
    EXPECT_EQ("content-type " + MultipartContentType(boundary), lines[0]);
    EXPECT_EQ("body " + Hex(fixtures::Contents(body)), lines[1]) << "the server received the body whole";
    EXPECT_EQ("defects 0", lines[2]);
    for (size_t i = 0; i < sent.size(); ++i)
    {
        const std::string filename = sent[i].filename.empty() ? "-" : Hex(sent[i].filename);
        EXPECT_EQ("field " + Hex(names[i]) + " " + filename + " " + Hex(sent[i].data), lines[3 + i]) << i;
    }
}

TEST_F(MultipartPost, SendsTheRestOfTheBodyAndKeepsTheReplyOnlyWhenAsked)
{
    InternetSessionHolder session;
    LumoDataBufferMemoryDynamic body;
    body.WriteData("0123456789", 10);
    const struct { const char* path; uint64_t from; bool keepReply; LUMORESULT result; const char* reply; } cases[] = {
        {"echo", 4, true, LUMORESULT_OK, "456789"},
        {"echo", 10, true, LUMORESULT_OK, ""},
        {"echo", 0, false, LUMORESULT_OK, ""},
        {"status/500", 0, true, LUMORESULT_NETWORK_ERROR, ""},
    };
    for (const auto& c : cases)
    {
        body.SetPosition(c.from);
        LumoDataBufferMemoryDynamic reply;
        nettest::StderrCapture output;
        EXPECT_EQ(c.result, session.HttpPostMultipart(s_server->Url(c.path), body, "b", c.keepReply ? &reply : nullptr))
            << c.path;
        EXPECT_EQ(c.reply, fixtures::Contents(reply)) << c.path;
        EXPECT_EQ(c.result == LUMORESULT_OK ? "" : "HTTP status 500\n", output.Text()) << c.path;
    }
    uint16_t port = 0;
    close(nettest::ListenPlain(1, port));
    nettest::StderrCapture output;
    EXPECT_EQ(LUMORESULT_NETWORK_ERROR,
              session.HttpPostMultipart("http://127.0.0.1:" + std::to_string(port) + "/x", body, "b", nullptr));
    EXPECT_EQ(0u, output.Text().rfind("No connection to the server (", 0)) << output.Text();
}

} // namespace
