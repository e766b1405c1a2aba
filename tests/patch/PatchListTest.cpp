#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lumo/buffers/LumoDataBuffer.h"
#include "patch/PatchList.h"
#include "patch/PatchMessages.h"
#include "patch/PatchTask.h"

namespace
{

// Serves canned bodies by URL; anything else fails like an unreachable server.
class FakeDownloader : public PatchDownloader
{
public:
    LUMORESULT Download(const std::string& url, LumoDataBuffer* destination, uint32_t flags,
                        DownloadURLCallback*) override
    {
        requests.push_back(url);
        lastFlags = flags;
        const auto found = bodies.find(url);
        if (found == bodies.end())
            return LUMORESULT_NETWORK_ERROR;
        return destination->WriteData(found->second.data(), static_cast<uint32_t>(found->second.size()));
    }
    LUMORESULT GetSize(const std::string& url, uint64_t* size, DownloadURLCallback*) override
    {
        const auto found = sizes.find(url);
        if (found == sizes.end())
            return LUMORESULT_NETWORK_ERROR;
        *size = found->second;
        return LUMORESULT_OK;
    }
    std::map<std::string, std::string> bodies;
    std::map<std::string, uint64_t> sizes;
    std::vector<std::string> requests;
    uint32_t lastFlags = 0;
};

class RecordingTask : public KestinPatchTask
{
public:
    void Log(int level, const std::wstring& text) override { messages.emplace_back(level, text); }
    std::vector<std::pair<int, std::wstring>> messages;
};

bool Parse(KestinPatchTask& task, const std::string& text, const std::wstring& server = L"http://srv/patches/")
{
    std::unique_ptr<LumoDataBufferMemoryStatic> data(LumoDataBufferMemoryStatic::CreateFromString(text));
    return task.ParsePatchList(*data, server);
}

const char kBlock[] = "source-version: 43434\r\ntarget-version: 44088\r\npatch-exe-url: http://x/p.exe\r\n"
                      "patch-data-url: files/p.zip\r\n";

TEST(PatchList, BlocksKeysAndValues)
{
    struct Case { const char* name; std::string text; bool accepted; const char *source = "", *target = "";
                  const wchar_t* dataUrl = L""; };
    const std::string to2 = "source-version: 1\ntarget-version: 2\npatch-exe-url: e\npatch-data-url: ";
    const Case cases[] = {
        {"plain", kBlock, true, "43434", "44088", L"http://srv/patches/files/p.zip"},
        {"mixed-case keys, quotes, spaces",
         "  Source-Version :  \"43434\"  \nTARGET-VERSION:44088\npatch-exe-url: \"\nPatch-Data-Url: \"/abs/p.zip\"\n",
         true, "43434", "44088", L"http://srv/patches/abs/p.zip"},
        {"CR-only and LF CR line ends", "source-version: 1\rtarget-version: 2\n\rpatch-exe-url: e\rpatch-data-url: d",
         true, "1", "2", L"http://srv/patches/d"},
        {"absolute data URLs", to2 + "https://cdn/p.zip\n", true, "1", "2", L"https://cdn/p.zip"},
        {"upper-case scheme is relative", to2 + "HTTP://cdn/p.zip\n", true, "1", "2", L"http://srv/patches/HTTP://cdn/p.zip"},
        {"ftp data URL", to2 + "ftp://f/p.zip\n", true, "1", "2", L"ftp://f/p.zip"},
        {"empty exe URL", "source-version: 1\ntarget-version: 2\npatch-exe-url:\npatch-data-url: d\n", false},
        {"missing key", "source-version: 1\npatch-exe-url: e\npatch-data-url: d\n", false},
        {"line without colon", to2 + "d\njunk\n", false},
        {"build with a separator", "source-version: 1\ntarget-version: ../x\npatch-exe-url: e\npatch-data-url: d\n", false},
        {"build with a control byte", "source-version: 1\x01\ntarget-version: 2\npatch-exe-url: e\npatch-data-url: d\n",
         false},
        {"patch onto its own build", "source-version: 7\ntarget-version: 7\npatch-exe-url: e\npatch-data-url: d\n", false},
        {"lone unterminated line", "\n\nsource-version: 1", false},
        {"html page", "<html><body>Not found</body></html>\n", false},
        {"empty", "", false},
    };
    for (const Case& c : cases)
    {
        KestinPatchTask task;
        EXPECT_EQ(c.accepted, Parse(task, c.text)) << c.name;
        if (!c.accepted)
        {
            EXPECT_TRUE(task.GetPatches().empty()) << c.name;
            continue;
        }
        const PatchEntry* entry = task.FindPatch(c.source);
        ASSERT_NE(nullptr, entry) << c.name;
        EXPECT_EQ(c.target, entry->targetVersion) << c.name;
        EXPECT_EQ(c.dataUrl, entry->dataUrl) << c.name;
    }
}

TEST(PatchList, SeveralBlocksLastOneWinsAndValuesKeepTheirText)
{
    KestinPatchTask task;
    const std::string text = std::string("\n\n") + kBlock + "\r\n\r\n" +
                             "source-version: 43434\ntarget-version: 45000\npatch-exe-url: \"\"\"\npatch-data-url: "
                             "http://mirror/p.zip\n    \n\nsource-version: 45000\ntarget-version: 46000\n"
                             "patch-exe-url: e\npatch-data-url: q.zip"; // the last line without a line end
    EXPECT_TRUE(Parse(task, text));
    ASSERT_EQ(2u, task.GetPatches().size());
    EXPECT_EQ("45000", task.FindPatch("43434")->targetVersion);
    EXPECT_EQ(L"http://mirror/p.zip", task.FindPatch("43434")->dataUrl);
    EXPECT_EQ(L"\"", task.FindPatch("43434")->exeUrl);
    EXPECT_EQ(L"http://srv/patches/q.zip", task.FindPatch("45000")->dataUrl);
    EXPECT_EQ(nullptr, task.FindPatch("46000"));

    // A relative data URL needs a server.
    KestinPatchTask noServer;
    EXPECT_FALSE(Parse(noServer, kBlock, L""));
}

TEST(PatchTask, ServersAreTriedInOrder)
{
    FakeDownloader net;
    net.bodies["http://second/patches.txt"] = "no blocks here\n";
    net.bodies["ftp://third/dir/patches.txt"] = kBlock;
    RecordingTask task;
    task.SetDownloader(&net);
    EXPECT_TRUE(task.FetchPatchList({L"http://first", L"http://second/", L"ftp://third/dir"}));
    EXPECT_EQ(L"ftp://third/dir", task.GetServerUrl());
    EXPECT_EQ(L"ftp://third/dir/files/p.zip", task.FindPatch("43434")->dataUrl);
    EXPECT_EQ((std::vector<std::string>{"http://first/patches.txt", "http://second/patches.txt",
                                        "ftp://third/dir/patches.txt"}),
              net.requests);
    EXPECT_EQ(1u, net.lastFlags); // bypass caches
    EXPECT_EQ(task.messages,
              (std::vector<std::pair<int, std::wstring>>{
                  {1, PatchMessages::kCannotDownloadPatchFile + std::wstring(L"http://first/patches.txt")},
                  {2, L"The patch list http://second/patches.txt" + std::wstring(PatchMessages::kUnusablePatchList)}}));

    // Nothing usable anywhere: the server is forgotten, and the last line says whether no server
    // answered or what was wrong with the lists that came.
    net.bodies["http://empty/patches.txt"] = "\r\n \n";
    net.bodies["http://half/patches.txt"] = "source-version: 43434\ntarget-version: 43434\npatch-exe-url: x\n"
                                            "patch-data-url: y\n";
    using Messages = std::vector<std::pair<int, std::wstring>>;
    const std::wstring unusable = PatchMessages::kUnusablePatchList;
    const struct { const char* name; std::vector<std::wstring> servers; Messages messages; } cases[] = {
        {"no server", {}, {{1, PatchMessages::kCannotConnectToPatchServers}}},
        {"none answers", {L"http://first"},
         {{1, PatchMessages::kCannotDownloadPatchFile + std::wstring(L"http://first/patches.txt")},
          {1, PatchMessages::kCannotConnectToPatchServers}}},
        {"no blocks", {L"http://second"},
         {{2, L"The patch list http://second/patches.txt" + unusable}, {3, PatchMessages::kNoUsablePatchList}}},
        {"blank list, then a patch onto its own build", {L"http://empty", L"http://half"},
         {{2, L"The patch list http://empty/patches.txt is empty."},
          {2, L"The patch list http://half/patches.txt" + unusable},
          {3, PatchMessages::kNoUsablePatchList}}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        RecordingTask none;
        none.SetDownloader(&net);
        EXPECT_FALSE(none.FetchPatchList(c.servers));
        EXPECT_EQ(none.messages, c.messages);
        EXPECT_EQ(L"", none.GetServerUrl());
    }
}

TEST(PatchTask, OversizedListIsRefused)
{
    FakeDownloader net;
    net.bodies["http://big/patches.txt"] = std::string(KestinPatchTask::kMaxPatchListBytes, '\n') + kBlock;
    RecordingTask task;
    task.SetDownloader(&net);
    EXPECT_FALSE(task.FetchPatchList({L"http://big"}));
    EXPECT_TRUE(task.GetPatches().empty());
}

TEST(PatchTask, ProgressStaysWithinItsRange)
{
    FakeDownloader net;
    net.sizes["http://s/p.zip"] = 200;
    KestinPatchTask task;
    task.SetDownloader(&net);
    EXPECT_EQ(0u, task.GetPercent()); // no total yet
    EXPECT_FALSE(task.QueryRemoteSize(L"http://s/other.zip"));
    EXPECT_EQ(0u, task.GetProgress().total);
    EXPECT_TRUE(task.QueryRemoteSize(L"http://s/p.zip"));
    EXPECT_EQ(200u, task.GetProgress().total);
    EXPECT_EQ(0u, task.GetProgress().done + task.GetProgress().percent);
}

} // namespace
