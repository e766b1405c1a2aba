// The uninstall-log update, checked with an independent reader of the log format.
#include "patch/UninstallLog.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <optional>

#include "lumo/text/PathUtil.h"
#include "lumo/text/TextConversion.h"
#include "patch/PatchCallbacks.h"
#include "platform/NativePath.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/UninstallLogFixture.h"
#include "tests/patch/PatchMessageLog.h"
#include "tests/patch/StageRun.h"

using fixtures::PathExists;
using fixtures::ReadFile;
using fixtures::UninstallLogContents;
using fixtures::UninstallRecord;
using fixtures::WriteFile;

namespace
{

std::string Bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int value : values)
        out += char(value);
    return out;
}

class UninstallLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_install = m_scratch / "install";
        m_logPath = m_install + "/unins000.dat";
        WriteFile(m_install + "/bin/.keep", "");
    }

    // The stage inside the run under way, else inside one of its own that has taken the
    // installation and ends with the call.
    bool Update(const std::vector<std::wstring>& paths, BackupPairArray* backups = nullptr)
    {
        std::optional<fixtures::StageRun> own;
        if (!CurrentPatchStageContext().journal)
        {
            own.emplace(m_install);
            EXPECT_TRUE(own->Started()) << ToNativePath(own->Error());
        }
        PatchStageContext context = CurrentPatchStageContext();
        context.installDir = FromNativePath(m_install);
        return UpdateUninstallLogWith(context, paths, backups);
    }

    std::string Narrow(const std::wstring& relative) const
    {
        return ToNarrow(LumoUtil::JoinPath(FromNativePath(m_install), relative));
    }

    // Every entry of the install folder but the log itself: nothing else may appear.
    std::vector<std::string> OtherEntries() const
    {
        std::vector<std::string> names;
        for (const char* name : {"unins000_temp.dat", "unins000.dat.pbk", "unins000.dat.pbk.new"})
            if (PathExists(m_install + "/" + name))
                names.push_back(name);
        return names;
    }

    fixtures::ScratchFolder m_scratch;
    PatchMessageLog m_log;
    std::string m_install;
    std::string m_logPath;
};

TEST(UninstallRecordTest, DeleteRecordBytesAndLengthForms)
{
    const std::string path = "C:\\Games\\S\\bin\\x.exe";
    EXPECT_EQ(Bytes({0x82, 0, 0, 0, 0, 0, int(path.size()) + 2, 0, 0, 0, int(path.size())}) + path + Bytes({0xFF}),
              MakeUninstallDeleteRecord(path));

    struct Case { size_t length; std::string lengthBytes; uint32_t dataSize; } cases[] = {
        {0, Bytes({0}), 2},
        {0xFC, Bytes({0xFC}), 0xFC + 2},
        {0xFD, Bytes({0xFD, 0xFD, 0x00}), 0xFD + 4},
        {300, Bytes({0xFD, 0x2C, 0x01}), 304},
        {0xFFFF, Bytes({0xFD, 0xFF, 0xFF}), 0xFFFF + 4},
        {0x10000, Bytes({0xFE, 0x00, 0x00, 0x01, 0x00}), 0x10000 + 6},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.length);
        const std::string text(c.length, 'p');
        const std::string record = MakeUninstallDeleteRecord(text);
        ASSERT_EQ(10 + c.dataSize, record.size());
        EXPECT_EQ(Bytes({int(c.dataSize & 0xFF), int((c.dataSize >> 8) & 0xFF), int((c.dataSize >> 16) & 0xFF), 0}),
                  record.substr(6, 4));
        EXPECT_EQ(c.lengthBytes, record.substr(10, c.lengthBytes.size()));
        UninstallRecord decoded;
        decoded.type = 0x82;
        decoded.data = record.substr(10);
        std::string back;
        ASSERT_TRUE(fixtures::DecodeDeleteFileRecord(decoded, back));
        EXPECT_EQ(text, back);
    }
}

// Every fill of the old last block (the cases the simple algorithm cannot handle included) and
// enough records to cross block boundaries: the new log reads back valid, with the old records,
// the new ones and the closing record last, and the blocks before the change unchanged.
TEST_F(UninstallLogTest, AppendsRecordsBeforeTheClosingRecordForEveryLastBlockFill)
{
    const size_t streamLengths[] = {28, 38, 4096 + 10, 4096 + 27, 4096 + 28, 4096 + 100, 8191, 8192};
    const size_t recordCounts[] = {1, 3, 200};
    for (size_t length : streamLengths)
        for (bool emptyBlock : {false, true})
            for (size_t count : recordCounts)
            {
                SCOPED_TRACE(testing::Message() << "stream " << length << " empty block " << emptyBlock << " records "
                                                << count);
                const std::vector<UninstallRecord> old = fixtures::FillerUninstallRecords(length);
                fixtures::UninstallLogOptions options;
                options.emptyBlockAtBoundary = emptyBlock;
                const std::string before = fixtures::WriteUninstallLog(old, options);
                WriteFile(m_logPath, before);

                std::vector<std::wstring> paths;
                for (size_t i = 0; i < count; ++i)
                    paths.push_back(L"bin\\new file " + std::to_wstring(i) + L".dll");
                ASSERT_TRUE(Update(paths));
                EXPECT_TRUE(m_log.messages.empty());
                EXPECT_TRUE(OtherEntries().empty());

                const std::string after = ReadFile(m_logPath);
                const UninstallLogContents log = fixtures::ReadUninstallLogBack(after);
                ASSERT_TRUE(log.ok) << log.error;
                EXPECT_EQ(old.size() + 1 + count, log.numRecs);
                EXPECT_EQ(after.size(), log.endOffset);
                ASSERT_EQ(old.size() + 1 + count, log.records.size());
                for (size_t i = 0; i < old.size(); ++i)
                    ASSERT_EQ(old[i], log.records[i]);
                for (size_t i = 0; i < count; ++i)
                {
                    std::string path;
                    ASSERT_TRUE(fixtures::DecodeDeleteFileRecord(log.records[old.size() + i], path));
                    EXPECT_EQ(Narrow(paths[i]), path);
                }
                EXPECT_EQ(fixtures::ClosingUninstallRecord(), log.records.back());
                for (size_t i = 0; i + 1 < log.blocks.size(); ++i)
                    EXPECT_EQ(4096u, log.blocks[i].size);

                // The header outside the counted fields and the full blocks before the change stay.
                EXPECT_EQ(before.substr(0, 324), after.substr(0, 324));
                EXPECT_EQ(before.substr(332, 444 - 332), after.substr(332, 444 - 332));
                const size_t unchanged = 448 + (length - 28) / 4096 * (12 + 4096);
                EXPECT_EQ(before.substr(448, unchanged - 448), after.substr(448, unchanged - 448));
            }
}

TEST_F(UninstallLogTest, EndOffsetThatIsNotTheFileSizeGrowsByRecordsAndBlocksWritten)
{
    fixtures::UninstallLogOptions options;
    options.endOffsetIsFileSize = false;
    options.endOffset = 1000;
    WriteFile(m_logPath, fixtures::WriteUninstallLog(fixtures::FillerUninstallRecords(100), options));
    ASSERT_TRUE(Update({L"x.exe"}));
    const UninstallLogContents log = fixtures::ReadUninstallLogBack(ReadFile(m_logPath));
    ASSERT_TRUE(log.ok) << log.error;
    const size_t recordBytes = MakeUninstallDeleteRecord(Narrow(L"x.exe")).size();
    EXPECT_EQ(1000 + recordBytes + 12, log.endOffset);  // one block written from the old last one on
}

TEST_F(UninstallLogTest, DamagedLogIsLeftUnchangedWithAWarning)
{
    const std::string good = fixtures::WriteUninstallLog(fixtures::FillerUninstallRecords(5000));
    auto flip = [&good](size_t offset) {
        std::string bytes = good;
        bytes[offset] = char(bytes[offset] ^ 0x01);
        return bytes;
    };
    auto le32 = [](uint32_t value) { return Bytes({int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF), int(value >> 24)}); };
    auto setU32 = [&le32](const std::string& bytes, size_t offset, uint32_t value) {
        return bytes.substr(0, offset) + le32(value) + bytes.substr(offset + 4);
    };
    // A block that claims 4097 bytes, its two size fields agreeing.
    const std::string oversized = setU32(setU32(good, 448, 4097), 452, ~4097u);
    // A log whose last record is not the 28-byte closing one.
    UninstallRecord longer = fixtures::ClosingUninstallRecord();
    longer.data += "x";
    const std::string stream = fixtures::EncodeUninstallRecord(longer);
    const std::string odd = good.substr(0, 448) + le32(uint32_t(stream.size())) + le32(~uint32_t(stream.size())) +
                            le32(fixtures::ReferenceCrc32(stream)) + stream;
    std::string fullCount = setU32(good, 324, 0xFFFFFFFFu);
    fullCount = setU32(fullCount, 444, fixtures::ReferenceCrc32(fullCount.substr(0, 444)));
    struct Case { const char* name; std::string bytes; } cases[] = {
        {"empty", ""},
        {"header only", good.substr(0, 448)},
        {"header checksum", flip(10)},
        {"NotSize", flip(448 + 4)},
        {"size above 4096", oversized},
        {"block checksum", flip(448 + 12 + 100)},
        {"cut short", good.substr(0, good.size() - 1)},
        {"trailing bytes", good + "x"},
        {"partial block first", fixtures::WriteUninstallLog({}).substr(0, 448 + 12 + 28) + good.substr(448)},
        {"last record of another size", odd},
        {"record count that would overflow", fullCount},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        m_log.messages.clear();
        WriteFile(m_logPath, c.bytes);
        EXPECT_TRUE(Update({L"x.exe"}));
        EXPECT_EQ(c.bytes, ReadFile(m_logPath));
        ASSERT_EQ(1u, m_log.messages.size());
        EXPECT_EQ(PATCH_LEVEL_WARNING, m_log.messages[0].first);
        EXPECT_NE(std::wstring::npos, m_log.messages[0].second.find(FromNativePath(m_logPath))) << m_log.messages[0].second;
        EXPECT_TRUE(OtherEntries().empty());
    }
}

// A disk that fills up half-way (the file-size limit of a child process stands in for it), then a
// folder where the new log goes: the old log stays as it was.
TEST_F(UninstallLogTest, NewLogThatCannotBeWrittenNeverReplacesTheOldOne)
{
    const std::string log = fixtures::WriteUninstallLog(fixtures::FillerUninstallRecords(3000));
    WriteFile(m_logPath, log);
    std::vector<std::wstring> paths;
    for (int i = 0; i < 100; ++i)
        paths.push_back(L"bin\\a rather long name for a file that was added " + std::to_wstring(i) + L".dll");
    const pid_t child = fork();
    if (child == 0)
    {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {rlim_t(log.size() + 100), rlim_t(log.size() + 100)};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(Update(paths) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(log, ReadFile(m_logPath));
    EXPECT_TRUE(OtherEntries().empty());

    WriteFile(m_install + "/unins000_temp.dat/inside", "a folder in the way");
    EXPECT_FALSE(Update({L"x.exe"}));
    EXPECT_EQ(log, ReadFile(m_logPath));
    ASSERT_FALSE(m_log.messages.empty());
    EXPECT_EQ(PATCH_LEVEL_ERROR, m_log.messages.back().first);
    EXPECT_NE(std::wstring::npos, m_log.messages.back().second.find(L"Could not write the file: ")) << m_log.messages.back().second;
}

// The uninstaller deletes what the log names: a listed path that leaves the installation is
// never written into it, and the update fails before the log is touched.
TEST_F(UninstallLogTest, PathsOutsideTheInstallationAreNeverRecorded)
{
    const std::string log = fixtures::WriteUninstallLog(fixtures::FillerUninstallRecords(600));
    WriteFile(m_logPath, log);
    for (const std::wstring path : {L"..\\victim.txt", L"bin\\..\\..\\victim.txt", L"\\etc\\passwd", L"C:\\x.exe"})
    {
        m_log.messages.clear();
        EXPECT_FALSE(Update({L"bin\\fine.dll", path}));
        EXPECT_EQ(log, ReadFile(m_logPath));
        EXPECT_TRUE(OtherEntries().empty());
        EXPECT_TRUE(m_log.Has(PATCH_LEVEL_ERROR, L"The uninstall log was left unchanged because it cannot be extended "
                                                 L"safely: unsafe path \"" + path + L"\": " +
                                                     (path[0] == L'\\' ? L"it is an absolute path"
                                                      : path[0] == L'C'  ? L"it is a drive path"
                                                                         : L"it holds a \"..\" component")))
            << m_log.Dump();
    }
}

TEST_F(UninstallLogTest, WithBackupsTheOldLogIsKeptForTheFinishingStep)
{
    const std::string log = fixtures::WriteUninstallLog(fixtures::FillerUninstallRecords(3000));
    WriteFile(m_logPath, log);
    chmod(m_logPath.c_str(), 0640);
    BackupPairArray backups;
    ASSERT_TRUE(Update({L"x.exe"}, &backups));
    ASSERT_EQ(1u, backups.size());
    EXPECT_EQ(FromNativePath(m_logPath), backups[0].file);
    EXPECT_EQ(FromNativePath(m_logPath + ".pbk"), backups[0].backup);
    EXPECT_EQ(log, ReadFile(m_logPath + ".pbk"));
    EXPECT_FALSE(PathExists(m_logPath + ".pbk.new"));
    const UninstallLogContents after = fixtures::ReadUninstallLogBack(ReadFile(m_logPath));
    ASSERT_TRUE(after.ok) << after.error;
    struct stat st;
    ASSERT_EQ(0, stat(m_logPath.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
}

// The log is the patcher's to rewrite: one without its owner's write bit (the read-only attribute)
// gets its records all the same, and keeps its mode, with or without a backup. A link planted
// under its temporary names is removed, never written through.
TEST_F(UninstallLogTest, AReadOnlyLogIsUpdatedAndKeepsItsMode)
{
    const std::string log = fixtures::WriteUninstallLog(fixtures::FillerUninstallRecords(3000));
    const std::string victim = m_scratch / "victim.txt";
    for (const bool withBackups : {false, true})
    {
        SCOPED_TRACE(withBackups ? "with backups" : "alone");
        unlink(m_logPath.c_str());
        unlink((m_logPath + ".pbk").c_str());
        WriteFile(m_logPath, log);
        WriteFile(victim, "victim");
        chmod(m_logPath.c_str(), 0444);
        for (const char* name : {"unins000_temp.dat", "unins000.dat.pbk.new"})
            ASSERT_EQ(0, symlink("../victim.txt", (m_install + "/" + name).c_str()));
        const size_t before = fixtures::ReadUninstallLogBack(log).records.size();
        BackupPairArray backups;
        ASSERT_TRUE(Update({L"x.exe", L"bin\\y.dll"}, withBackups ? &backups : nullptr)) << m_log.Dump();
        const UninstallLogContents after = fixtures::ReadUninstallLogBack(ReadFile(m_logPath));
        ASSERT_TRUE(after.ok) << after.error;
        EXPECT_EQ(before + 2, after.records.size());
        struct stat st;
        ASSERT_EQ(0, lstat(m_logPath.c_str(), &st));
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(0444u, st.st_mode & 07777);
        EXPECT_EQ("victim", ReadFile(victim));
        EXPECT_EQ(withBackups, PathExists(m_logPath + ".pbk"));
        EXPECT_FALSE(PathExists(m_install + (withBackups ? "/unins000.dat.pbk.new" : "/unins000_temp.dat")));
        unlink((m_install + "/unins000_temp.dat").c_str());
        unlink((m_install + "/unins000.dat.pbk.new").c_str());
    }
}

}  // namespace

// Record paths are in the installer's code page, so an uninstall finds files below a folder named
// with accents; and a package applied again names nothing twice.
TEST_F(UninstallLogTest, RecordsUseTheInstallersCodePageAndNameEachFileOnce)
{
    m_install = m_scratch / "sp ace \xc3\xbc \xc3\xa9/inst";
    m_logPath = m_install + "/unins000.dat";
    const std::vector<UninstallRecord> original = fixtures::FillerUninstallRecords(500);
    WriteFile(m_logPath, fixtures::WriteUninstallLog(original));
    const std::wstring install = FromNativePath(m_install);

    ASSERT_TRUE(Update({L"a.txt", L"price \u20ac.txt", L"a.txt"}));
    ASSERT_TRUE(Update({L"a.txt"})); // the same package again
    const fixtures::UninstallLogContents contents = fixtures::ReadUninstallLogBack(ReadFile(m_logPath));
    ASSERT_TRUE(contents.error.empty()) << contents.error;
    std::vector<std::string> added;
    for (const UninstallRecord& record : contents.records)
    {
        std::string path;
        if (record.type == kUninstallDeleteFileRecord && fixtures::DecodeDeleteFileRecord(record, path))
            added.push_back(path);
    }
    const std::string folder = m_scratch.Path() + "/sp ace \xfc \xe9/inst/";
    EXPECT_EQ(added, (std::vector<std::string>{folder + "a.txt", folder + "price \x80.txt"}));

    EXPECT_FALSE(m_log.HasAtLevel(PATCH_LEVEL_WARNING)) << m_log.Dump();
}

// A path the installer's code page cannot hold gets no record but never stops the update: the
// others are recorded, and one warning says how many files the uninstaller misses, and where.
TEST_F(UninstallLogTest, PathsOutsideTheCodePageAreCountedNotRecorded)
{
    const std::vector<UninstallRecord> original = fixtures::FillerUninstallRecords(600);
    WriteFile(m_logPath, fixtures::WriteUninstallLog(original));
    ASSERT_TRUE(Update({L"a.txt", L"\u0436.txt", L"b.txt", L"\u65e5.txt"})) << m_log.Dump();
    const UninstallLogContents contents = fixtures::ReadUninstallLogBack(ReadFile(m_logPath));
    ASSERT_TRUE(contents.ok) << contents.error;
    // a.txt's and b.txt's records, then the closing one
    EXPECT_EQ(contents.records.size(), original.size() + 3);
    ASSERT_EQ(m_log.messages.size(), 1u) << m_log.Dump();
    EXPECT_EQ(m_log.messages[0].first, PATCH_LEVEL_WARNING);
    EXPECT_NE(m_log.messages[0].second.find(L"about 2 files this patch added"), std::wstring::npos);
    EXPECT_NE(m_log.messages[0].second.find(FromNativePath(m_install) + L": \u0436.txt, \u65e5.txt"), std::wstring::npos)
        << m_log.Dump();
    EXPECT_TRUE(OtherEntries().empty());
}

namespace
{

// One warning for a whole run: the files of every applied patch, each file once (whatever case a
// later patch lists it in), none of a patch that was rolled back or of a file no longer there.
TEST_F(UninstallLogTest, ARunWarnsOnceForTheFilesOfItsAppliedPatches)
{
    WriteFile(m_logPath, fixtures::WriteUninstallLog(fixtures::FillerUninstallRecords(600)));
    for (const char* name : {"\xd0\xb6.txt", "\xd0\xb4.txt", "\xe6\x97\xa5.txt"})
        WriteFile(m_install + "/" + name, "");
    {
        fixtures::StageRun take(m_install);  // the patcher holds the installation across its patches
        ASSERT_TRUE(take.Started()) << ToNativePath(take.Error());
        UnrecordedFilesReport run;
        ASSERT_TRUE(Update({L"a.txt", L"\u0436.txt", L"\u0434.txt"}));
        SettleUnrecordedFiles(true);
        ASSERT_TRUE(Update({L"\u65e5.txt"}));
        SettleUnrecordedFiles(false);  // rolled back
        ASSERT_TRUE(Update({L"\u0436.TXT", L"\u0434.txt", L"gone \u0436.txt"}));
        SettleUnrecordedFiles(true);
        EXPECT_FALSE(m_log.HasAtLevel(PATCH_LEVEL_WARNING)) << m_log.Dump();
        run.Report();
    }
    ASSERT_EQ(m_log.messages.size(), 1u) << m_log.Dump();
    EXPECT_NE(m_log.messages[0].second.find(L"about 2 files the patches of this run added"), std::wstring::npos)
        << m_log.Dump();
    EXPECT_NE(m_log.messages[0].second.find(FromNativePath(m_install) + L": \u0436.txt, \u0434.txt"), std::wstring::npos)
        << m_log.Dump();
    // Without a run each patch speaks for itself again.
    ASSERT_TRUE(Update({L"\u65e5.txt"}));
    EXPECT_EQ(m_log.messages.size(), 2u) << m_log.Dump();
}

}  // namespace
