// Adding many files to one big folder: ApplyPatchPackage on a package that adds 10,000 new files of
// 1 KiB into a folder of the installation that already holds 10,000, against what a user would do
// by hand: cp -r of the same new files into a copy of the folder, followed by sync. Ours also checks
// every listed name against the folder (the case rule), journals the stage and syncs the file
// system before the journal goes, so both sides leave everything on the disk.
//
// The cost to watch is the check: a name whose exact spelling is missing (every added file's) must
// not make the folder be listed again, or the run grows with the square of the folder's size.
//
// Usage: bench-add-many [files] [rounds] (files: how many the folder holds and how many are added,
// default 10000). Each side runs in rounds that alternate which side goes first, on a fresh copy of
// the installation with the disk synced first; the median of each counts. The copies are removed
// only at the end: on ext4 without a journal, creating a file steps one by one over every inode
// freed in the last minute or so, so a round that came right after removing the previous round's
// copy would time that scan rather than either side.
// Last line: add-many: ours <files/s>, cp -r+sync <files/s>, ratio <ours/anchor>.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "patch/ApplyPatchPackage.h"
#include "platform/NativePath.h"
#include "platform/TempFolder.h"

namespace
{
constexpr const char* kFolder = "d00";
constexpr size_t kFileSize = 1024;

bool Shell(const std::string& command) { return bench::RunCommand({"sh", "-c", command}); }

// One file of kFileSize pseudo-random bytes, different for every seed.
bool WriteSmallFile(const std::string& path, uint64_t seed)
{
    uint64_t block[kFileSize / 8];
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (uint64_t& v : block) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        v = x;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = write(fd, block, sizeof block) == ssize_t(sizeof block);
    return close(fd) == 0 && ok;
}

std::string Name(const char* stem, int i)
{
    char text[32];
    snprintf(text, sizeof text, "%s%06d.dat", stem, i);
    return text;
}

struct Layout
{
    std::string root, source, package;
    int files = 10000;
    int copies = 0; // fresh copies made so far, each in a folder of its own
};

// The installation holds `files` files in one folder; the package adds as many more beside them.
bool Prepare(const Layout& l)
{
    const std::string folder = std::string("/") + kFolder;
    bool ok = Shell("mkdir -p '" + l.source + folder + "' '" + l.package + "/data" + folder + "'");
    std::string addedList;
    for (int i = 0; ok && i < l.files; ++i) {
        ok = WriteSmallFile(l.source + folder + "/" + Name("old", i), i + 1) &&
             WriteSmallFile(l.package + "/data" + folder + "/" + Name("new", i), i + 1000001);
        addedList += std::string(kFolder) + "\\" + Name("new", i) + "\r\n\r\n\r\n";
    }
    const char* names[3] = {"addedFiles.txt", "deletedFiles.txt", "patchedFiles.txt"};
    for (int list = 0; ok && list < 3; ++list) {
        FILE* file = fopen((l.package + "/" + names[list]).c_str(), "we");
        ok = file != nullptr;
        if (ok && list == 0)
            ok = fwrite(addedList.data(), 1, addedList.size(), file) == addedList.size();
        if (file)
            ok = fclose(file) == 0 && ok;
    }
    return ok;
}

// A new copy of the installation, on the disk; its folder, or "" when it cannot be made.
std::string FreshInstall(Layout& l)
{
    const std::string fresh = l.root + "/install" + std::to_string(++l.copies);
    return Shell("cp -a '" + l.source + "' '" + fresh + "' && sync") ? fresh : std::string();
}

// The entries of a folder other than "." and "..", and whether any is a leftover backup; -1 when
// the folder cannot be read.
int CountEntries(const std::string& path, bool& backupLeft)
{
    DIR* dir = opendir(path.c_str());
    if (!dir)
        return -1;
    int count = 0;
    backupLeft = false;
    while (const dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        ++count;
        const size_t length = strlen(entry->d_name);
        backupLeft = backupLeft || (length > 4 && strcmp(entry->d_name + length - 4, ".pbk") == 0);
    }
    closedir(dir);
    return count;
}

// Both sides must leave the folder holding the old and the new files and nothing else.
bool FolderIsComplete(const Layout& l, const std::string& install, const char* side)
{
    bool backupLeft = false;
    const int count = CountEntries(install + "/" + kFolder, backupLeft);
    if (count == 2 * l.files && !backupLeft)
        return true;
    fprintf(stderr, "bench-add-many: after %s the folder holds %d entries (%d expected)%s\n", side, count,
            2 * l.files, backupLeft ? ", a backup among them" : "");
    return false;
}
} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // rounds show as they finish
    Layout l;
    l.files = argc > 1 ? atoi(argv[1]) : l.files;
    const int rounds = argc > 2 ? atoi(argv[2]) : bench::kMinimumRounds;
    l.root = platform::PrivateTempFolder();
    if (l.root.empty() || l.files <= 0) {
        fprintf(stderr, "bench-add-many: no temporary folder, or a bad number of files\n");
        return 1;
    }
    l.source = l.root + "/source";
    l.package = l.root + "/package";
    if (!Prepare(l)) {
        fprintf(stderr, "bench-add-many: cannot write the test data below %s\n", l.root.c_str());
        return 1;
    }
    const std::string newFiles = l.package + "/data/" + kFolder + "/.";

    // Rounds on fresh copies, alternating which side goes first; the median of each side counts.
    const auto result = bench::Alternate(
        "add-many", "cp -r+sync", "files/s", rounds,
        [&] {
            const std::string install = FreshInstall(l);
            if (install.empty())
                return -1.0;
            const auto start = std::chrono::steady_clock::now();
            const bool applied = ApplyPatchPackage(FromNativePath(install), FromNativePath(l.package), L"");
            const double seconds = bench::SecondsSince(start);
            if (!applied) {
                fprintf(stderr, "bench-add-many: the patch did not apply\n");
                return -1.0;
            }
            return FolderIsComplete(l, install, "the patch") ? l.files / seconds : -1.0;
        },
        [&] {
            const std::string install = FreshInstall(l);
            if (install.empty())
                return -1.0;
            const auto start = std::chrono::steady_clock::now();
            if (!Shell("cp -r '" + newFiles + "' '" + install + "/" + kFolder + "/' && sync")) {
                fprintf(stderr, "bench-add-many: cp -r and sync failed\n");
                return -1.0;
            }
            const double seconds = bench::SecondsSince(start);
            return FolderIsComplete(l, install, "cp -r") ? l.files / seconds : -1.0;
        });
    Shell("rm -rf '" + l.root + "/install'* '" + l.source + "' '" + l.package + "'");

    const double ours = result.ours.median, anchorRate = result.anchor.median;
    printf("files: %d of %zu bytes added to a folder holding %d\n", l.files, kFileSize, l.files);
    printf("medians: ours %.2f s, cp -r+sync %.2f s\n", l.files / ours, l.files / anchorRate);
    printf("add-many: ours %.0f files/s, cp -r+sync %.0f files/s, ratio %.2f\n", ours, anchorRate, ours / anchorRate);
    return 0;
}
