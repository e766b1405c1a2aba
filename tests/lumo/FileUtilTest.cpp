#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include "lumo/files/FileUtil.h"
#include "lumo/diagnostics/SystemLog.h"
#include "platform/LastError.h"
#include "platform/NativePath.h"
#include "tests/fixtures/HoldingChild.h"
#include "tests/fixtures/ScratchFolder.h"

namespace
{
class FileUtilTest : public ::testing::Test
{
protected:
    std::string Native(const std::string& relative) const { return m_scratch / relative; }
    std::wstring Wide(const std::string& relative) const { return FromNativePath(Native(relative)); }
    void WriteFile(const std::string& relative, const std::string& content) const
    {
        fixtures::WriteFile(Native(relative), content);
    }
    std::string ReadFile(const std::string& relative) const { return fixtures::ReadFile(Native(relative)); }
    bool Exists(const std::string& relative) const
    {
        struct stat info{};
        return ::lstat(Native(relative).c_str(), &info) == 0;
    }
    void MakeFolder(std::initializer_list<const char*> relatives) const
    {
        for (const char* relative : relatives)
            ASSERT_EQ(::mkdir(Native(relative).c_str(), 0755), 0);
    }
    unsigned Mode(const std::string& relative) const
    {
        struct stat info{};
        EXPECT_EQ(::stat(Native(relative).c_str(), &info), 0) << relative;
        return info.st_mode & 07777;
    }

    fixtures::ScratchFolder m_scratch;
    const std::string& m_root = m_scratch.Path();
};

TEST_F(FileUtilTest, MakeDirectoryRefusesFilesAndDanglingLinksButTakesALinkToAFolderForIt)
{
    WriteFile("file", "x");
    MakeFolder({"real"});
    ASSERT_EQ(::symlink(Native("real").c_str(), Native("link").c_str()), 0);
    ASSERT_EQ(::symlink(Native("nowhere").c_str(), Native("dangling").c_str()), 0);
    for (const char* name : {"file", "file/below", "dangling", "dangling/below"})
    {
        platform::SetLastError(0);
        EXPECT_FALSE(MakeDirectory(Wide(name))) << name;
        EXPECT_EQ(platform::GetLastError(), platform::kErrorFileExists) << name;
    }
    EXPECT_FALSE(Exists("nowhere"));
    // A game kept on another disk and linked into place: folders are made in the real one.
    EXPECT_TRUE(MakeDirectory(Wide("link")));
    EXPECT_TRUE(MakeDirectory(Wide("link/below/deeper")));
    EXPECT_TRUE(Exists("real/below/deeper"));
}

TEST_F(FileUtilTest, MakeDirectoryRacingThreadsAllSucceed)
{
    std::vector<std::thread> threads;
    std::atomic<int> succeeded{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] { succeeded += MakeDirectory(Wide("x/y/z/w")) ? 1 : 0; });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(succeeded.load(), 8);
    EXPECT_TRUE(LumoUtil::IsDirectory(Wide("x/y/z/w")));
}

TEST_F(FileUtilTest, DeleteDirectoryRemovesTreeButNeverFollowsLinks)
{
    MakeFolder({"outside"});
    WriteFile("outside/keep.txt", "precious");
    MakeFolder({"tree", "tree/sub", "tree/sub/deeper"});
    WriteFile("tree/a.txt", "a");
    WriteFile("tree/sub/deeper/b.txt", "b");
    ASSERT_EQ(::symlink(Native("outside").c_str(), Native("tree/sub/to-outside").c_str()), 0);
    ASSERT_EQ(::symlink(Native("outside/keep.txt").c_str(), Native("tree/file-link").c_str()), 0);
    ASSERT_EQ(::symlink(Native("outside").c_str(), Native("link").c_str()), 0);

    // Given a link itself, it leaves link and target alone.
    for (const std::wstring& path : {Wide("link"), Wide("link") + L"/", Wide("link") + L"\\"})
        EXPECT_FALSE(LumoUtil::DeleteDirectory(path));
    EXPECT_TRUE(Exists("link"));
    EXPECT_TRUE(LumoUtil::DeleteDirectory(Wide("tree")));
    EXPECT_FALSE(Exists("tree"));
    EXPECT_EQ(ReadFile("outside/keep.txt"), "precious");
}

TEST_F(FileUtilTest, DeleteDirectoryStopsAtReadOnlyFile)
{
    MakeFolder({"tree", "tree/sub"});
    WriteFile("tree/sub/locked.txt", "l");
    WriteFile("tree/sub/plain.txt", "p");
    ASSERT_EQ(::chmod(Native("tree/sub/locked.txt").c_str(), 0444), 0);
    EXPECT_FALSE(LumoUtil::DeleteDirectory(Wide("tree")));
    EXPECT_TRUE(Exists("tree/sub/locked.txt"));
    EXPECT_FALSE(Exists("tree/sub/plain.txt"));
    EXPECT_FALSE(LumoUtil::DeleteDirectory(L""));
    EXPECT_FALSE(LumoUtil::DeleteDirectory(Wide("missing")));
}

TEST_F(FileUtilTest, ListDirectoryGivesJoinedSortedEntries)
{
    std::vector<std::wstring> out{L"stale"};
    EXPECT_EQ(LumoUtil::ListDirectory(Wide("missing"), out), LUMORESULT_NOT_FOUND);
    EXPECT_TRUE(out.empty());

    MakeFolder({"empty"});
    EXPECT_EQ(LumoUtil::ListDirectory(Wide("empty"), out), LUMORESULT_OK);
    EXPECT_TRUE(out.empty());

    MakeFolder({"d"});
    WriteFile("d/b.txt", "");
    MakeFolder({"d/a"});
    ASSERT_EQ(::symlink("nowhere", Native("d/c").c_str()), 0);
    ASSERT_EQ(LumoUtil::ListDirectory(Wide("d"), out), LUMORESULT_OK);
    std::wstring dir = Wide("d");
    std::replace(dir.begin(), dir.end(), L'/', L'\\');
    EXPECT_EQ(out, (std::vector<std::wstring>{dir + L"/a", dir + L"/b.txt", dir + L"/c"}));
}

TEST_F(FileUtilTest, ListDirectoryKeepsNamesThatAreNotUtf8OrNarrowable)
{
    // Names from the disk are outside input: a byte that is no UTF-8 and a letter that 8-bit text
    // cannot hold must both come back naming the same file.
    MakeFolder({"d"});
    const std::vector<std::string> names = {"bad\xff\xfe", "caf\xc3\xa9", "\xe2\x82\xac"};
    for (const std::string& name : names)
        WriteFile("d/" + name, name);
    std::vector<std::wstring> out;
    ASSERT_EQ(LumoUtil::ListDirectory(Wide("d"), out), LUMORESULT_OK);
    ASSERT_EQ(out.size(), names.size());
    for (const std::wstring& entry : out)
        EXPECT_TRUE(std::ifstream(ToNativePath(entry)).good());
}

// Holds a file open in another process until released.
fixtures::HoldingChild OpenInAnotherProcess(const std::string& path)
{
    return fixtures::HoldingChild([path](const fixtures::HoldingChild::Ready& ready) {
        ready(::open(path.c_str(), O_RDONLY) >= 0 ? 'y' : 'n');
        return 0;
    });
}

TEST_F(FileUtilTest, MoveFileIfUnusedWaitsForOtherHolders)
{
    WriteFile("from", "content");
    fixtures::HoldingChild holder = OpenInAnotherProcess(Native("from"));
    ASSERT_EQ(holder.Answer(), 'y');
    platform::SetLastError(0);
    EXPECT_FALSE(LumoUtil::MoveFileIfUnused(Wide("from"), Wide("to")));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
    EXPECT_TRUE(Exists("from"));
    EXPECT_FALSE(Exists("to"));
    holder.Release();
    EXPECT_TRUE(LumoUtil::MoveFileIfUnused(Wide("from"), Wide("to")));
    EXPECT_FALSE(Exists("from"));
    EXPECT_EQ(ReadFile("to"), "content");
}

TEST_F(FileUtilTest, MoveFileIfUnusedRefusals)
{
    WriteFile("from", "new");
    WriteFile("to", "old");
    EXPECT_FALSE(LumoUtil::MoveFileIfUnused(Wide("from"), Wide("to")));
    EXPECT_EQ(ReadFile("from"), "new");
    EXPECT_EQ(ReadFile("to"), "old");

    WriteFile("locked", "l");
    ASSERT_EQ(::chmod(Native("locked").c_str(), 0444), 0);
    EXPECT_FALSE(LumoUtil::MoveFileIfUnused(Wide("locked"), Wide("moved")));
    EXPECT_TRUE(Exists("locked"));

    EXPECT_FALSE(LumoUtil::MoveFileIfUnused(Wide("missing"), Wide("moved")));
    MakeFolder({"folder"});
    EXPECT_FALSE(LumoUtil::MoveFileIfUnused(Wide("folder"), Wide("moved")));
    ASSERT_EQ(::symlink(Native("from").c_str(), Native("link").c_str()), 0);
    EXPECT_FALSE(LumoUtil::MoveFileIfUnused(Wide("link"), Wide("moved")));
    EXPECT_FALSE(Exists("moved"));
}

TEST_F(FileUtilTest, MoveFileIfUnusedAcrossFileSystemsCopiesThenRemoves)
{
    struct stat here{}, shm{};
    std::string other = "/dev/shm/fileutil-XXXXXX";
    if (::stat(m_root.c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev ||
        !::mkdtemp(other.data()))
        GTEST_SKIP() << "no second file system at hand";
    const std::string content(5 * 1024 * 1024 + 3, 'm');
    { std::ofstream(other + "/from", std::ios::binary) << content; }
    ASSERT_EQ(::chmod((other + "/from").c_str(), 0600), 0);
    EXPECT_TRUE(LumoUtil::MoveFileIfUnused(FromNativePath(other + "/from"), Wide("to")));
    EXPECT_NE(::access((other + "/from").c_str(), F_OK), 0);
    EXPECT_EQ(ReadFile("to"), content);
    EXPECT_EQ(Mode("to"), 0600u);
    std::system(("rm -rf '" + other + "'").c_str());
}

TEST_F(FileUtilTest, CopyFileCommittedCopiesContentAndModeOnly)
{
    std::string content(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 131 + 7);
    WriteFile("src", content);
    ASSERT_EQ(::chmod(Native("src").c_str(), 0640), 0);
    EXPECT_TRUE(LumoUtil::CopyFileCommitted(Wide("src"), Wide("dst")));
    EXPECT_EQ(ReadFile("dst"), content);
    EXPECT_EQ(Mode("dst"), 0640u);

    WriteFile("other", "keep");
    EXPECT_FALSE(LumoUtil::CopyFileCommitted(Wide("src"), Wide("other")));
    EXPECT_EQ(ReadFile("other"), "keep");
    EXPECT_FALSE(LumoUtil::CopyFileCommitted(Wide("missing"), Wide("x")));
    std::vector<std::wstring> entries;
    ASSERT_EQ(LumoUtil::ListDirectory(FromNativePath(m_root), entries), LUMORESULT_OK);
    EXPECT_EQ(entries.size(), 3u) << "no temporary copy is left behind";
}

TEST_F(FileUtilTest, ReadOnlyAttributeIsHonouredEvenForRoot)
{
    WriteFile("f", "x");
    ASSERT_EQ(::chmod(Native("f").c_str(), 0664), 0);
    EXPECT_TRUE(LumoUtil::SetReadOnly(Wide("f")));
    EXPECT_EQ(Mode("f"), 0444u);
    EXPECT_TRUE(LumoUtil::SetReadOnly(Wide("f")));
    EXPECT_FALSE(LumoUtil::DeleteFile(Wide("f")));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
    EXPECT_TRUE(Exists("f"));

    EXPECT_TRUE(LumoUtil::ClearReadOnly(Wide("f")));
    EXPECT_EQ(Mode("f"), 0644u);
    EXPECT_TRUE(LumoUtil::ClearReadOnly(Wide("f")));
    EXPECT_TRUE(LumoUtil::DeleteFile(Wide("f")));
    EXPECT_FALSE(Exists("f"));

    EXPECT_FALSE(LumoUtil::SetReadOnly(Wide("missing")));
    EXPECT_FALSE(LumoUtil::ClearReadOnly(Wide("missing")));
    EXPECT_FALSE(LumoUtil::DeleteFile(L""));
    MakeFolder({"dir"});
    EXPECT_FALSE(LumoUtil::DeleteFile(Wide("dir")));
}

TEST_F(FileUtilTest, ExistenceAndFolderQueries)
{
    WriteFile("f", "");
    MakeFolder({"d"});
    ASSERT_EQ(::symlink(Native("d").c_str(), Native("dl").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", Native("dangling").c_str()), 0);
    const struct { const char* name; bool exists, folder; } cases[] = {
        {"f", true, false}, {"d", true, true}, {"dl", true, false}, {"dangling", true, false},
        {"missing", false, false}};
    for (const auto& c : cases)
    {
        EXPECT_EQ(LumoUtil::FileExists(Wide(c.name)), c.exists) << c.name;
        EXPECT_EQ(LumoUtil::IsDirectory(Wide(c.name)), c.folder) << c.name;
    }
    EXPECT_TRUE(LumoUtil::FileExists(Wide("d") + L"\\..\\f")) << "backslashes separate too";
}

TEST_F(FileUtilTest, TempNamesFromManyThreadsNeverRepeat)
{
    std::vector<std::vector<std::wstring>> names(8);
    std::vector<std::thread> threads;
    for (auto& list : names)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                list.push_back(LumoUtil::MakeTempFileName(Wide("")));
        });
    for (auto& thread : threads)
        thread.join();
    std::set<std::wstring> all;
    for (const auto& list : names)
        all.insert(list.begin(), list.end());
    EXPECT_EQ(all.size(), 1600u);
}

TEST_F(FileUtilTest, ForEachOldFileVisitsPlainWritableFiles)
{
    MakeFolder({"d"});
    WriteFile("d/old1", "");
    WriteFile("d/old2", "");
    WriteFile("d/locked", "");
    ASSERT_EQ(::chmod(Native("d/locked").c_str(), 0444), 0);
    MakeFolder({"d/sub"});
    ASSERT_EQ(::symlink(Native("d/old1").c_str(), Native("d/link").c_str()), 0);
    WriteFile("d/caf\xc3\xa9", "");
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    for (const char* name : {"d/old1", "d/old2", "d/locked", "d/sub", "d/caf\xc3\xa9"})
        ASSERT_EQ(::utimensat(AT_FDCWD, Native(name).c_str(), old, AT_SYMLINK_NOFOLLOW), 0);
    WriteFile("d/fresh", "");

    const std::string dir = Native("d");
    std::vector<std::string> seen;
    const auto collect = [&](const std::string& path) { seen.push_back(path); return true; };
    EXPECT_TRUE(LumoUtil::ForEachOldFile(dir, 3600, collect));
    EXPECT_EQ(seen, (std::vector<std::string>{dir + "/old1", dir + "/old2"}));
    seen.clear();
    EXPECT_TRUE(LumoUtil::ForEachOldFile(dir, 0, collect));
    EXPECT_EQ(seen.size(), 3u) << "age 0 takes every plain file written before now";

    int calls = 0;
    EXPECT_FALSE(LumoUtil::ForEachOldFile(dir, 3600, [&](const std::string&) { return ++calls > 5; }));
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(LumoUtil::ForEachOldFile(Native("missing"), 0, [](const std::string&) { return false; }));
}

}  // namespace
