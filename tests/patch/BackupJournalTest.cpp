// The journal on its own: the lock, and recovery from journals as a kill leaves them.

#include "patch/BackupJournal.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "patch/InstallFileOps.h"
#include "platform/NativePath.h"
#include "tests/fixtures/FakeInstall.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/UnprivilegedChild.h"
#include "tests/patch/PatchMessageLog.h"

namespace {

using fixtures::TreeContent;

// A journal line as an independent writer makes it.
std::string Line(const std::string& payload)
{
    char crc[9];
    snprintf(crc, sizeof crc, "%08lx", crc32(0L, reinterpret_cast<const Bytef*>(payload.data()), payload.size()));
    return std::string(crc) + " " + payload + "\n";
}

class JournalTest : public ::testing::Test
{
protected:
    std::string Diff(const TreeContent& expected) const
    {
        return fixtures::DescribeTreeDifference(expected, fixtures::SnapshotTree(scratch.Path()));
    }
    bool Recover()
    {
        std::wstring error;
        const bool ok = BackupJournal::Recover(scratch.WidePath(), error);
        lastError = error;
        return ok;
    }

    fixtures::ScratchFolder scratch;
    PatchMessageLog log;
    std::wstring lastError;
};

// The state a kill leaves in the middle of a run: a replaced file half written beside its backup,
// a deleted file only as its backup, a new file and its new folder, a patched file whose move had
// been announced but not made.
TEST_F(JournalTest, UnfinishedRunIsRolledBack)
{
    const TreeContent original = {{"bin/", ""}, {"bin/a.dll", "old a"}, {"b.txt", "old b"}, {"c.dat", "old c"}};
    fixtures::WriteTree(scratch.Path(), {{"bin/a.dll", "new a"},
                                         {"bin/a.dll.pbk", "old a"},
                                         {"b.txt.pbk", "old b"},
                                         {"c.dat", "old c"},
                                         {"new/sub/n.txt", "new"},
                                         {"new/sub/n.txt.pbk.new", "half"},
                                         {"bin/a.dll.pbk.new", "half"}});
    fixtures::WriteFile(scratch / "patch.journal",
                        Line("BEGIN") + Line("REPLACE bin/a.dll") + Line("DELETE b.txt") + Line("DIR new") +
                            Line("DIR new/sub") + Line("NEW new/sub/n.txt") + Line("PATCH c.dat") + "0000");
    ASSERT_TRUE(Recover()) << std::string(lastError.begin(), lastError.end());
    EXPECT_EQ(Diff(original), "");
    EXPECT_TRUE(log.Has(PATCH_LEVEL_STATUS, L"Restored from its backup: " + scratch.WidePath() + L"/bin/a.dll"))
        << log.Dump();
    EXPECT_TRUE(Recover()); // nothing left to do
}

// A backup that is a link was never made by a patch: recovery removes it and never renames it into
// the file's place, whatever it leads to, and says so; the next start then finds nothing to do.
TEST_F(JournalTest, ABackupThatIsALinkIsRemovedNeverRestored)
{
    fixtures::WriteFile(scratch / "victim.txt", "victim");
    fixtures::WriteTree(scratch.Path(), {{"inst/bin/a.dll", "new a"}, {"inst/b.dat", "b"}});
    const std::string inst = scratch / "inst";
    ASSERT_EQ(0, symlink("../../victim.txt", (inst + "/bin/a.dll.pbk").c_str()));  // leads out
    ASSERT_EQ(0, symlink("b.dat", (inst + "/c.dat.pbk").c_str()));                // stays inside
    fixtures::WriteFile(inst + "/patch.journal", Line("BEGIN") + Line("PATCH bin/a.dll") + Line("DELETE c.dat"));
    std::wstring error;
    EXPECT_FALSE(BackupJournal::Recover(FromNativePath(inst), error));
    EXPECT_NE(error.find(L"is no file a patch made (a symbolic link, a folder or a pipe) and has been removed"), std::wstring::npos) << std::string(error.begin(), error.end());
    EXPECT_EQ(fixtures::DescribeTreeDifference({{"bin/", ""}, {"bin/a.dll", "new a"}, {"b.dat", "b"},
                                                {"patch.journal", fixtures::ReadFile(inst + "/patch.journal")}},
                                               fixtures::SnapshotTree(inst)),
              "");
    EXPECT_EQ(fixtures::ReadFile(scratch / "victim.txt"), "victim");
    EXPECT_TRUE(BackupJournal::Recover(FromNativePath(inst), error)) << std::string(error.begin(), error.end());
    EXPECT_FALSE(fixtures::PathExists(inst + "/patch.journal"));
}

TEST_F(JournalTest, CommittedRunIsFinished)
{
    fixtures::WriteTree(scratch.Path(), {{"a.dll", "new a"}, {"a.dll.pbk", "old a"}, {"b.txt.pbk", "old b"},
                                         {"n.txt", "new"}, {"keep.pbk", "not ours"}});
    fixtures::WriteFile(scratch / "patch.journal", Line("BEGIN") + Line("REPLACE a.dll") + Line("DELETE b.txt") +
                                                       Line("NEW n.txt") + Line("COMMIT"));
    ASSERT_TRUE(Recover());
    EXPECT_EQ(Diff({{"a.dll", "new a"}, {"n.txt", "new"}, {"keep.pbk", "not ours"}}), "");
}

TEST_F(JournalTest, JournalThatCannotBeReadChangesNothing)
{
    const std::string cases[] = {
        Line("REPLACE a.dll"),                                  // no BEGIN
        Line("BEGIN") + Line("RENAME a.dll") + Line("COMMIT"), // unknown record
    };
    for (const std::string& journal : cases) {
        fixtures::WriteTree(scratch.Path(), {{"a.dll", "new a"}, {"a.dll.pbk", "old a"}});
        fixtures::WriteFile(scratch / "patch.journal", journal);
        const TreeContent before = fixtures::SnapshotTree(scratch.Path());
        EXPECT_FALSE(Recover());
        EXPECT_NE(lastError.find(L"patch journal"), std::wstring::npos);
        EXPECT_EQ(Diff(before), "");
        std::wstring error;
        EXPECT_EQ(BackupJournal::Begin(scratch.WidePath(), error), nullptr);
    }
}

// Damage before intact records: what they name is restored, and the error names the backup of the
// damaged record and says what to do; the journal stays.
TEST_F(JournalTest, DamageInsideTheJournalNamesWhatCouldNotBeRestored)
{
    fixtures::WriteTree(scratch.Path(), {{"a.dll", "new a"}, {"a.dll.pbk", "old a"}, {"c.dll", "new c"},
                                         {"c.dll.pbk", "old c"}});
    fixtures::WriteFile(scratch / "patch.journal",
                        Line("BEGIN") + "deadbeef REPLACE a.dll\n" + Line("REPLACE c.dll") + "torn");
    EXPECT_FALSE(Recover());
    EXPECT_EQ(Diff({{"a.dll", "new a"}, {"a.dll.pbk", "old a"}, {"c.dll", "old c"},
                    {"patch.journal", fixtures::ReadFile(scratch / "patch.journal")}}),
              "");
    for (const std::wstring& part : std::vector<std::wstring>{L"damaged (line 2)", scratch.WidePath() + L"/a.dll.pbk", L"rename it back",
                                    L"delete " + scratch.WidePath() + L"/patch.journal"})
        EXPECT_NE(lastError.find(part), std::wstring::npos) << std::string(part.begin(), part.end());
}

TEST_F(JournalTest, OneRunAtATimeAndOnlyInAnExistingFolder)
{
    std::wstring error;
    EXPECT_EQ(BackupJournal::Begin(L"", error), nullptr);
    EXPECT_EQ(BackupJournal::Begin(scratch.WidePath() + L"/missing", error), nullptr);
    EXPECT_NE(error.find(L"missing"), std::wstring::npos);
    std::unique_ptr<BackupJournal> first = BackupJournal::Begin(scratch.WidePath(), error);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(BackupJournal::Begin(scratch.WidePath(), error), nullptr);
    EXPECT_NE(error.find(L"is in use by another"), std::wstring::npos);
    EXPECT_FALSE(BackupJournal::Recover(scratch.WidePath(), error));
    EXPECT_TRUE(first->Finish(error));
    first.reset();
    EXPECT_FALSE(fixtures::PathExists(scratch / "patch.journal"));
    EXPECT_NE(BackupJournal::Begin(scratch.WidePath(), error), nullptr);
}

// A removal or restore that recovery cannot make (its folder read-only for this user) is named,
// never said to be done, and the journal stays for the next start, which then finishes it. Root
// writes a read-only folder, so the recovery runs as an unprivileged user.
TEST(JournalFailures, WhatCannotBeRemovedOrRestoredIsNamedAndTheJournalKept)
{
    const struct
    {
        const char* what;
        TreeContent tree;
        std::vector<std::string> records;
        std::string named;    // in the error
        TreeContent finished; // after the second recovery, with the folder writable again
    } cases[] = {
        {"a new file", {{"bin/plugins/extra.dll", "new"}}, {"BEGIN", "NEW bin/plugins/extra.dll"},
         "cannot remove \"INSTALL/bin/plugins/extra.dll\"", {{"bin/", ""}, {"bin/plugins/", ""}}},
        {"a half-written replacement", {{"bin/plugins/a.dll", "old"}, {"bin/plugins/a.dll.pbk.new", "half"}},
         {"BEGIN", "PATCH bin/plugins/a.dll"}, "cannot remove \"INSTALL/bin/plugins/a.dll.pbk.new\"",
         {{"bin/", ""}, {"bin/plugins/", ""}, {"bin/plugins/a.dll", "old"}}},
        {"a committed backup", {{"bin/plugins/a.dll", "new"}, {"bin/plugins/a.dll.pbk", "old"}},
         {"BEGIN", "PATCH bin/plugins/a.dll", "COMMIT"}, "cannot remove \"INSTALL/bin/plugins/a.dll.pbk\"",
         {{"bin/", ""}, {"bin/plugins/", ""}, {"bin/plugins/a.dll", "new"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fixtures::ScratchFolder scratch;
        const std::string install = scratch / "install";
        fixtures::WriteTree(install, c.tree);
        std::string journal;
        for (const std::string& record : c.records)
            journal += Line(record);
        fixtures::WriteFile(install + "/patch.journal", journal);
        ASSERT_EQ(::chmod(scratch.Path().c_str(), 0755), 0);
        for (const std::string& folder : {install, install + "/bin"})
            ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
        ASSERT_EQ(::chmod((install + "/bin/plugins").c_str(), 0555), 0);
        std::string named = c.named;
        named.replace(named.find("INSTALL"), 7, install);
        std::string whyNot;
        const int status = fixtures::RunUnprivileged(
            [&] {
                PatchMessageLog log;
                std::wstring error;
                if (BackupJournal::Recover(FromNativePath(install), error))
                    return 1;
                if (ToNativePath(error).find(named) == std::string::npos ||
                    ToNativePath(error).find("The patch journal is kept, so the next start tries again.") ==
                        std::string::npos)
                    return 2;
                for (const auto& message : log.messages)
                    if (message.second.find(L"Removed the file") != std::wstring::npos)
                        return 3;
                return 0;
            },
            &whyNot);
        if (status == -1)
            GTEST_SKIP() << whyNot;
        EXPECT_EQ(status, 0) << "1: said recovered, 2: not named, 3: said removed";
        EXPECT_EQ(fixtures::ReadFile(install + "/patch.journal"), journal);

        ASSERT_EQ(::chmod((install + "/bin/plugins").c_str(), 0755), 0);
        PatchMessageLog log;
        std::wstring error;
        EXPECT_TRUE(BackupJournal::Recover(FromNativePath(install), error)) << ToNativePath(error);
        EXPECT_EQ(fixtures::DescribeTreeDifference(c.finished, fixtures::SnapshotTree(install)), "");
    }
}

// A journal that no patch wrote (planted by whoever could write the installation): an entry that
// names a path outside it, or a file the patcher keeps for itself, makes the whole journal damaged.
// Recovery then changes nothing, outside or inside, says why, and keeps the journal.
TEST(PlantedJournal, AnEntryLeadingOutChangesNothingAnywhere)
{
    const std::string planted[] = {
        "NEW ../victim1.txt",        "NEW OUTSIDE/victim2.txt", "NEW link/victim3.txt",
        "REPLACE ../victim1.txt",    "PATCH OUTSIDE/victim2.txt", "DELETE link/victim3.txt",
        "DIR ../outside/empty",      "NEW link",                         "NEW bin/../../victim1.txt",
        "DELETE bin/a.dll.pbk",      "NEW patch.journal",
    };
    for (const std::string& pattern : planted) {
        fixtures::ScratchFolder scratch;
        const std::string outside = scratch / "outside";
        std::string entry = pattern;
        if (const size_t at = entry.find("OUTSIDE"); at != std::string::npos)
            entry.replace(at, 7, outside);
        fixtures::WriteTree(scratch.Path(), {{"install/bin/a.dll", "new a"}, {"install/bin/a.dll.pbk", "old a"},
                                             {"install/n.txt", "new"}, {"victim1.txt", "precious 1"},
                                             {"victim1.txt.pbk", "planted 1"}, {"outside/victim2.txt", "precious 2"},
                                             {"outside/victim2.txt.pbk", "planted 2"},
                                             {"outside/victim3.txt", "precious 3"}, {"outside/empty/", ""}});
        std::filesystem::create_directory_symlink(outside, scratch / "install/link");
        fixtures::WriteFile(scratch / "install/patch.journal",
                            Line("BEGIN") + Line("REPLACE bin/a.dll") + Line("NEW n.txt") + Line(entry));
        const TreeContent before = fixtures::SnapshotTree(scratch.Path());
        PatchMessageLog log;
        std::wstring error;
        EXPECT_FALSE(BackupJournal::Recover(FromNativePath(scratch / "install"), error)) << entry;
        EXPECT_EQ(fixtures::DescribeTreeDifference(before, fixtures::SnapshotTree(scratch.Path())), "") << entry;
        for (const wchar_t* part : {L"is damaged: line 4 names no file of the installation",
                                    L"nothing it names was restored or removed", L"/install/patch.journal"})
            EXPECT_NE(error.find(part), std::wstring::npos) << entry << ": " << ToNativePath(error);
        EXPECT_FALSE(log.Has(PATCH_LEVEL_STATUS, L"Removed the file of an unfinished patch: " +
                                                     FromNativePath(scratch / "install/n.txt")))
            << log.Dump();
        std::wstring beginError;
        EXPECT_EQ(BackupJournal::Begin(FromNativePath(scratch / "install"), beginError), nullptr);
        EXPECT_EQ(fixtures::DescribeTreeDifference(before, fixtures::SnapshotTree(scratch.Path())), "") << entry;
    }
}

TEST_F(JournalTest, RecordsOnlyPathsInsideTheInstallation)
{
    std::wstring error;
    std::unique_ptr<BackupJournal> journal = BackupJournal::Begin(scratch.WidePath() + L"/", error);
    ASSERT_NE(journal, nullptr);
    EXPECT_TRUE(journal->Record(JournalEntry::kNewFile, scratch.WidePath() + L"/x", error));
    EXPECT_FALSE(journal->Record(JournalEntry::kNewFile, L"/elsewhere/x", error));
    EXPECT_FALSE(journal->Record(JournalEntry::kNewFile, scratch.WidePath(), error));
    EXPECT_FALSE(journal->Record(JournalEntry::kNewFile, scratch.WidePath() + L"/a\nb", error));
    EXPECT_NE(fixtures::ReadFile(scratch / "patch.journal").find(" NEW x\n"), std::string::npos);
}

} // namespace
