#include "patch/PatchPackage.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "BuildConfig.h"
#include "lumo/buffers/LumoDataBuffer.h"
#include "platform/NativePath.h"
#include "tests/fixtures/PackageWriter.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/ShellCommand.h"

using fixtures::MakeContainer;
using fixtures::PackageWriter;
using fixtures::PathExists;
using fixtures::ReadFile;
using fixtures::U32;

namespace
{

class PatchPackageTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(0, mkdir(Dest().c_str(), 0755)); }

    std::string Dest() const { return m_scratch / "dest"; }
    std::string Package() const { return m_scratch / "p.zip"; }

    // Unpacks writer's bytes into Dest().
    bool Unpack(const PackageWriter& writer, std::wstring* error = nullptr, LUMORESULT* code = nullptr)
    {
        writer.WriteTo(Package());
        return UnpackPatchPackage(FromNativePath(Package()), FromNativePath(Dest()), error, code);
    }

    // Unpacks writer's bytes, which must fail: the result code, with the message in error.
    LUMORESULT Refused(const PackageWriter& writer, std::wstring& error)
    {
        LUMORESULT code = LUMORESULT_OK;
        EXPECT_FALSE(Unpack(writer, &error, &code));
        return code;
    }

    // Every entry below the scratch folder except the package, "/"-joined, sorted.
    std::string Listing() const
    {
        return fixtures::RunShell("cd '" + m_scratch.Path() + "' && find . ! -name p.zip | sort");
    }

    fixtures::ScratchFolder m_scratch;
};

TEST_F(PatchPackageTest, VersionTwoPackageUnpacksItsTree)
{
    const std::string big(300000, 'x');
    PackageWriter writer(2);
    writer.SetChunkSize(65536)
        .AddFolder(L".\\data")
        .AddFolder(L".\\data\\bin")
        .AddFolder(L".\\data\\\u2018quoted\u2019 \u00ABname\u00BB\u2026")
        .AddFile(L".\\data\\bin\\x.dll.diff", "diff bytes")
        .AddFile(L"./data/\u2018quoted\u2019 \u00ABname\u00BB\u2026/big.bin", big)
        .AddFile(L".\\addedFiles.txt", "data\\bin\\x.dll\r\nabc\r\ndef\r\n")
        .AddFile(L".\\deletedFiles.txt", "")
        .AddWithKind(L".\\data\\folder.with.dot", 0, nullptr)
        .AddWithKind(L".\\data\\odd-kind", 7, &big);
    std::wstring error;
    ASSERT_TRUE(Unpack(writer, &error)) << ToNativePath(error);
    EXPECT_EQ("diff bytes", ReadFile(Dest() + "/data/bin/x.dll.diff"));
    EXPECT_EQ(big, ReadFile(Dest() + "/data/\u2018quoted\u2019 \u00ABname\u00BB\u2026/big.bin"));
    EXPECT_EQ("", ReadFile(Dest() + "/deletedFiles.txt"));
    EXPECT_EQ(big, ReadFile(Dest() + "/data/odd-kind"));
    struct stat st;
    ASSERT_EQ(0, stat((Dest() + "/data/folder.with.dot").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    uint32_t version = 0;
    std::vector<PatchPackageListing> items;
    ASSERT_EQ(LUMORESULT_OK, ListPatchPackage(FromNativePath(Package()), version, items, error));
    EXPECT_EQ(2u, version);
    ASSERT_EQ(9u, items.size());
    EXPECT_EQ(L".\\data\\bin\\x.dll.diff", items[3].path);
    EXPECT_FALSE(items[3].isFolder);
    EXPECT_EQ(10u, items[3].size);
    EXPECT_TRUE(items[7].isFolder);
    EXPECT_EQ(300000u, items[8].size);
}

TEST_F(PatchPackageTest, VersionOneTellsFoldersByTheDotRule)
{
    PackageWriter writer(1);
    writer.AddFolder(L".\\data").AddFolder(L".\\data\\bin").AddFile(L".\\data\\bin\\x.dll.diff", "d");
    ASSERT_TRUE(Unpack(writer));
    EXPECT_EQ("d", ReadFile(Dest() + "/data/bin/x.dll.diff"));

    // A version-1 folder whose name holds a "." is taken for a file, which swallows the next
    // container as its content; what follows no longer parses.
    PackageWriter dotted(1);
    dotted.AddFolder(L".\\v1.2").AddFile(L".\\v1.2\\x.txt", "x");
    std::wstring error;
    EXPECT_EQ(LUMORESULT_BAD_FORMAT, Refused(dotted, error));
    EXPECT_NE(std::wstring::npos, error.find(L"item 2 at offset")) << ToNativePath(error);
}

TEST_F(PatchPackageTest, NamesResolveIgnoringCaseAndFilesNeedTheirFolder)
{
    PackageWriter writer(2);
    writer.AddFolder(L".\\Data\\").AddFile(L".\\DATA\\x.txt", "1").AddFile(L"data\\X.TXT", "2");
    ASSERT_TRUE(Unpack(writer));
    EXPECT_EQ("2", ReadFile(Dest() + "/Data/x.txt"));
    EXPECT_EQ("./dest\n./dest/Data\n./dest/Data/x.txt\n", Listing().substr(2));

    PackageWriter orphan(2);
    orphan.AddFile(L".\\missing\\x.txt", "x");
    std::wstring error;
    EXPECT_EQ(LUMORESULT_NOT_ALLOWED, Refused(orphan, error));
    EXPECT_NE(std::wstring::npos, error.find(L"its folder does not exist")) << ToNativePath(error);

    PackageWriter overFolder(2);
    overFolder.AddFile(L".\\Data", "x");
    EXPECT_EQ(LUMORESULT_NOT_ALLOWED, Refused(overFolder, error));
}

TEST_F(PatchPackageTest, BadVersionsFailBeforeAnythingIsWritten)
{
    for (uint32_t version : {0u, 3u, 0xFFFFFFFFu})
    {
        PackageWriter writer(version);
        writer.AddFolder(L".\\data");
        std::wstring error;
        EXPECT_EQ(LUMORESULT_BAD_FORMAT, Refused(writer, error)) << version;
        EXPECT_NE(std::wstring::npos, error.find(L"format version " + std::to_wstring(version)));
    }
    EXPECT_EQ("./dest\n", Listing().substr(2));

    PackageWriter onlyVersion(2);
    EXPECT_TRUE(Unpack(onlyVersion));
    std::wstring error;
    EXPECT_FALSE(UnpackPatchPackage(FromNativePath(m_scratch / "missing.zip"), FromNativePath(Dest()), &error));
    EXPECT_NE(std::wstring::npos, error.find(L"cannot be opened")) << ToNativePath(error);
}

TEST_F(PatchPackageTest, CutPackageFailsAndKeepsWhatWasWritten)
{
    PackageWriter writer(2);
    writer.AddFolder(L".\\data").AddFile(L".\\data\\a.txt", "first").AddFile(L".\\data\\b.txt", std::string(5000, 'b'));
    const std::string whole = writer.Bytes();
    for (size_t cut : {whole.size() - 1, whole.size() - 20, size_t(5), size_t(2)})
    {
        fixtures::WriteFile(Package(), whole.substr(0, cut));
        std::wstring error;
        LUMORESULT code = LUMORESULT_OK;
        EXPECT_FALSE(UnpackPatchPackage(FromNativePath(Package()), FromNativePath(Dest()), &error, &code)) << cut;
        EXPECT_NE(LUMORESULT_OK, code);
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ("first", ReadFile(Dest() + "/data/a.txt"));
}

// Makes the calling (single-threaded) process see a 4 KiB tmpfs at folder, as an unprivileged user
// may in a user namespace of its own. False where the system gives none.
bool MountTinyDisk(const std::string& folder)
{
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return false;
    const auto write = [](const char* path, const std::string& text) {
        FILE* file = fopen(path, "we");
        const bool ok = file && fputs(text.c_str(), file) >= 0;
        return file && fclose(file) == 0 && ok;
    };
    write("/proc/self/setgroups", "deny");
    return write("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           write("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1") &&
           mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=4k") == 0;
}

// A file the system will not let the unpacker write whole (a full temporary disk) names the
// system's reason: the package is not at fault. A tiny disk of its own (no space left) and the
// file-size limit (too large) stand in, for a file that fails in the stream's buffer at its close
// and one that fails while it is decompressed.
TEST_F(PatchPackageTest, AFileThatCannotBeWrittenWholeNamesTheSystemsReason)
{
    constexpr int kNoTinyDisk = 77;
    struct Case { const char* name; size_t size; bool sizeLimit; const char* reason; } cases[] = {
        {"full disk, small file", 5000, false, "No space left on device"},
        {"full disk, large file", 600000, false, "No space left on device"},
        {"file-size limit, large file", 600000, true, "File too large"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        fixtures::RemoveTree(Dest());
        ASSERT_EQ(0, mkdir(Dest().c_str(), 0755));
        PackageWriter writer(2);
        writer.AddFolder(L"data").AddFile(L"data\\big.bin", std::string(c.size, 'b'));
        writer.WriteTo(Package());
        // In a child of its own: the limit and the mount hold for the whole process.
        const std::string reasonFile = m_scratch / "reason";
        const pid_t child = fork();
        if (child == 0)
        {
            if (c.sizeLimit)
            {
                signal(SIGXFSZ, SIG_IGN);
                const rlimit cap = {100000, 100000};
                setrlimit(RLIMIT_FSIZE, &cap);
            }
            else if (!MountTinyDisk(Dest()))
                _exit(kNoTinyDisk);
            std::wstring error;
            const bool ok = UnpackPatchPackage(FromNativePath(Package()), FromNativePath(Dest()), &error);
            FILE* out = fopen(reasonFile.c_str(), "we");
            if (out)
            {
                fputs(ToNativePath(error).c_str(), out);
                fclose(out);
            }
            _exit(ok ? 1 : 0);
        }
        int status = -1;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        if (WIFEXITED(status) && WEXITSTATUS(status) == kNoTinyDisk)
        {
            std::printf("[ SKIPPED  ] %s: this system gives no user namespace for a tiny disk\n", c.name);
            continue;
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the unpack succeeded";
        const std::string error = ReadFile(reasonFile);
        EXPECT_NE(std::string::npos, error.find("item 2 at offset ")) << error;
        EXPECT_NE(std::string::npos, error.find("/data/big.bin cannot be written completely: " + std::string(c.reason)))
            << error;
    }
}

// Paths that would leave the destination, or that no Windows unpacker could have written.
TEST_F(PatchPackageTest, HostileNamesAreRefusedAndNothingLandsOutside)
{
    ASSERT_EQ(0, symlink(m_scratch.Path().c_str(), (Dest() + "/link").c_str()));
    const std::wstring names[] = {
        L".\\..\\x",  L"data\\..\\..\\x", L"C:\\x",   L"\\\\server\\x", L"/etc/x",
        L"x:y",       std::wstring(L"a\0b", 3),       L"",              L"a\x01z", L".\\.\\",
        L"link\\x.txt", L"\u0416.txt",
    };
    for (const std::wstring& name : names)
    {
        PackageWriter writer(2);
        writer.AddFile(name, "escaped");
        std::wstring error;
        EXPECT_EQ(LUMORESULT_BAD_FORMAT, Refused(writer, error)) << ToNativePath(name);
        EXPECT_NE(std::wstring::npos, error.find(L"item 1 at offset 4")) << ToNativePath(error);
    }
    EXPECT_EQ("./dest\n./dest/link\n", Listing().substr(2));
}

TEST_F(PatchPackageTest, LengthsAreCheckedBeforeAnythingIsAllocated)
{
    const std::string zeros = MakeContainer(std::string(2000, '\0'));
    struct Case { const char* what; std::string items; LUMORESULT expected; } cases[] = {
        {"name longer than its header", MakeContainer(U32(0x7FFFFFFF) + "ab"), LUMORESULT_BAD_FORMAT},
        {"header without name length", MakeContainer("ab"), LUMORESULT_BAD_FORMAT},
        {"version 2 header without kind", MakeContainer(U32(1) + std::string("a\0", 2)), LUMORESULT_BAD_FORMAT},
        {"oversized header", MakeContainer(U32(1) + "a\0" + std::string(kMaxPackageItemHeaderSize, '\1')),
         LUMORESULT_OUT_OF_SPACE},
        {"4 G chunks", U32(0xFFFFFFFF) + U32(10) + U32(10), LUMORESULT_END_OF_DATA},
        {"chunk beyond the end", U32(1) + U32(0x0FFFFFFF) + U32(100) + "xx", LUMORESULT_END_OF_DATA},
        {"raw over the chunk limit", U32(1) + U32(4) + U32(0x10000001) + "xxxx", LUMORESULT_OUT_OF_SPACE},
        {"corrupt zlib stream", U32(1) + U32(10) + U32(20) + std::string(10, 'x'), LUMORESULT_OUT_OF_SPACE},
        {"raw length too large", zeros.substr(0, 8) + U32(2001) + zeros.substr(12), LUMORESULT_END_OF_DATA},
        {"data container bomb",
         MakeContainer(U32(5) + fixtures::Utf16LE(L"x.txt") + "\1") + U32(1) + U32(8) + U32(0x10000000) +
             std::string(8, 'x'),
         LUMORESULT_BAD_FORMAT},
    };
    for (const Case& c : cases)
    {
        PackageWriter writer(2);
        writer.AddBytes(c.items);
        std::wstring error;
        EXPECT_EQ(c.expected, Refused(writer, error)) << c.what << ": " << ToNativePath(error);
        EXPECT_NE(std::wstring::npos, error.find(L"item 1 at offset 4")) << c.what << ": " << ToNativePath(error);
    }
}

// The library unpacks what an independent writer in Python wrote.
class PackageCrossCheck : public PatchPackageTest
{
protected:
    static std::string Run(const std::string& command)
    {
        int status = -1;
        std::string out = fixtures::RunShell(command, &status);
        EXPECT_EQ(0, status) << command;
        return out;
    }
    static std::string Script() { return "python3 '" LUMO_SOURCE_DIR "/tests/patch/package_format.py'"; }

    void MakeTree(const std::string& root)
    {
        fixtures::WriteFile(root + "/data/bin/x.dll.diff", "diff");
        fixtures::WriteFile(root + "/data/\u201Cq\u201D \u2013 \u00B0/y.txt", std::string(70000, 'y'));
        fixtures::WriteFile(root + "/data/bin/sub/z.bin", "");
        fixtures::WriteFile(root + "/addedFiles.txt", "a\r\n");
        fixtures::WriteFile(root + "/patchedFiles.txt", "p\r\n");
    }
};

TEST_F(PackageCrossCheck, LibraryUnpacksWhatTheIndependentWriterWrote)
{
    for (uint32_t version : {1u, 2u})
    {
        const std::string tree = m_scratch / "tree";
        MakeTree(tree);
        Run(Script() + " write " + std::to_string(version) + " '" + tree + "' '" + Package() + "'");
        const std::string out = m_scratch / ("out" + std::to_string(version));
        ASSERT_EQ(0, mkdir(out.c_str(), 0755));
        std::wstring error;
        ASSERT_TRUE(UnpackPatchPackage(FromNativePath(Package()), FromNativePath(out), &error)) << ToNativePath(error);
        EXPECT_EQ("", Run("diff -r '" + tree + "' '" + out + "' 2>&1 || true")) << "version " << version;
        fixtures::RemoveTree(tree);
    }
}

} // namespace
