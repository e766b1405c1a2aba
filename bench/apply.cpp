// Applying a patch: ApplyPatchPackage on a package that adds and replaces 1 GiB in 2,000 files and
// patches 200 MiB in 20 files, against the same work done by hand with cp and md5sum followed by
// sync (copy the new and replacing files in, hash the patched files, write their new content,
// hash them again, put everything on the disk). Ours also moves every replaced file to a backup,
// journals its steps (one flush per stage and per patched file), runs the patch tool once per
// patched file and syncs the file system once before the backups go.
//
// The patch tool is this program itself, copied into the installation's "bin" folder under the
// tool's name: called that way it copies the new content out of the difference file.
//
// Usage: bench-apply [scale] (1 = the full sizes above). Each side runs in rounds that alternate
// which side goes first, on a fresh copy of the installation with the disk synced first; the
// median of each counts. The journal's own flushes are timed separately.
// Last line: apply: ours <MB/s>, cp+md5sum+sync <MB/s>, ratio <ours/anchor>.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "patch/ApplyPatchPackage.h"
#include "patch/BackupJournal.h"
#include "platform/NativePath.h"
#include "platform/TempFolder.h"

extern char** environ;

namespace
{
constexpr const char* kToolName = "kpatchl-w32.exe";
constexpr int kRounds = 5;

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool Shell(const std::string& command)
{
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool WriteBytes(const std::string& path, const std::string& prefix, size_t size, uint64_t seed)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, prefix.data(), prefix.size()) == ssize_t(prefix.size());
    std::vector<uint64_t> block(1 << 17);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t done = 0; ok && done < size;) {
        for (uint64_t& v : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            v = x;
        }
        const size_t n = std::min(size - done, block.size() * 8);
        ok = write(fd, block.data(), n) == ssize_t(n);
        done += n;
    }
    return close(fd) == 0 && ok;
}

// The stand-in patch tool: OLD DIFF OUT; the difference file is the new content itself.
int RunAsTool(int argc, char** argv)
{
    if (argc != 4)
        return 1;
    const int in = open(argv[2], O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return 3;
    const int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
        return 4;
    // In the kernel, as cp copies the anchor's files.
    for (ssize_t n; (n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0)) != 0;)
        if (n < 0)
            return 4;
    return close(out) == 0 ? 0 : 4;
}

std::string Md5Of(const std::string& path)
{
    std::string output;
    FILE* pipe = popen(("md5sum '" + path + "'").c_str(), "re");
    char text[64] = {};
    if (pipe && fgets(text, sizeof text, pipe))
        output.assign(text, 32);
    if (pipe)
        pclose(pipe);
    return output;
}

struct Layout
{
    std::string root, source, package, fresh, anchorNew;
    int folders = 20, replaced = 1000, added = 1000, patched = 20;
    size_t fileSize = 512 * 1024, patchedSize = 10 * 1024 * 1024;
};

std::string Name(const char* stem, int i)
{
    char text[32];
    snprintf(text, sizeof text, "%s%04d.dat", stem, i);
    return text;
}

std::string Folder(const Layout& l, int i)
{
    char text[16];
    snprintf(text, sizeof text, "d%02d", i % l.folders);
    return text;
}

bool Prepare(Layout& l)
{
    bool ok = Shell("mkdir -p '" + l.source + "/bin' '" + l.package + "/data' '" + l.anchorNew + "'");
    char self[4096] = {};
    ok = ok && readlink("/proc/self/exe", self, sizeof self - 1) > 0; // the shell's own would be the shell
    ok = ok && Shell("cp '" + std::string(self) + "' '" + l.source + "/bin/" + kToolName + "'");
    std::string addedList, patchedList;
    for (int f = 0; ok && f < l.folders; ++f)
        ok = Shell("mkdir -p '" + l.source + "/d" + (f < 10 ? "0" : "") + std::to_string(f) + "' '" + l.package +
                   "/data/d" + (f < 10 ? "0" : "") + std::to_string(f) + "'");
    for (int i = 0; ok && i < l.replaced; ++i) {
        const std::string rel = Folder(l, i) + "/" + Name("r", i);
        ok = WriteBytes(l.source + "/" + rel, "", l.fileSize, i + 1) &&
             WriteBytes(l.package + "/data/" + rel, "", l.fileSize, i + 100001);
        addedList += Folder(l, i) + "\\" + Name("r", i) + "\r\n\r\n\r\n";
    }
    for (int i = 0; ok && i < l.added; ++i) {
        const std::string rel = Folder(l, i) + "/" + Name("n", i);
        ok = WriteBytes(l.package + "/data/" + rel, "", l.fileSize, i + 200001);
        addedList += Folder(l, i) + "\\" + Name("n", i) + "\r\n\r\n\r\n";
    }
    for (int i = 0; ok && i < l.patched; ++i) {
        const std::string name = Name("p", i);
        ok = WriteBytes(l.source + "/" + name, "", l.patchedSize, i + 300001) &&
             WriteBytes(l.package + "/data/" + name + ".diff", "", l.patchedSize, i + 400001) &&
             WriteBytes(l.anchorNew + "/" + name, "", l.patchedSize, i + 400001);
        patchedList += name + "\r\n" + Md5Of(l.anchorNew + "/" + name) + "\r\n" + Md5Of(l.source + "/" + name) + "\r\n";
    }
    FILE* lists[3] = {fopen((l.package + "/addedFiles.txt").c_str(), "we"),
                      fopen((l.package + "/deletedFiles.txt").c_str(), "we"),
                      fopen((l.package + "/patchedFiles.txt").c_str(), "we")};
    for (FILE* file : lists)
        ok = ok && file;
    ok = ok && fwrite(addedList.data(), 1, addedList.size(), lists[0]) == addedList.size() &&
         fwrite(patchedList.data(), 1, patchedList.size(), lists[2]) == patchedList.size();
    for (FILE* file : lists)
        if (file)
            ok = fclose(file) == 0 && ok;
    return ok;
}

bool FreshInstall(const Layout& l)
{
    return Shell("rm -rf '" + l.fresh + "' && cp -a '" + l.source + "' '" + l.fresh + "' && sync");
}

// What the journal's flushes cost on this disk: one record per file of the patch, each flushed.
double JournalSeconds(const Layout& l, int records)
{
    if (!Shell("rm -rf '" + l.fresh + "' && mkdir -p '" + l.fresh + "'"))
        return -1;
    std::wstring error;
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<BackupJournal> journal = BackupJournal::Begin(FromNativePath(l.fresh), error);
    for (int i = 0; journal && i < records; ++i)
        journal->Record(JournalEntry::kReplaced, FromNativePath(l.fresh + "/" + Name("r", i)), error);
    if (journal) {
        journal->Commit(error);
        journal->Finish(error);
    }
    return journal ? Seconds(std::chrono::steady_clock::now() - start) : -1;
}
} // namespace

int main(int argc, char** argv)
{
    const char* self = strrchr(argv[0], '/');
    if (strcmp(self ? self + 1 : argv[0], kToolName) == 0)
        return RunAsTool(argc, argv);

    const double scale = argc > 1 ? atof(argv[1]) : 1.0;
    Layout l;
    l.root = platform::PrivateTempFolder();
    if (l.root.empty() || scale <= 0) {
        fprintf(stderr, "bench-apply: no temporary folder, or a bad scale\n");
        return 1;
    }
    l.replaced = std::max(1, int(l.replaced * scale));
    l.added = std::max(1, int(l.added * scale));
    l.patched = std::max(1, int(l.patched * scale));
    l.source = l.root + "/source";
    l.package = l.root + "/package";
    l.fresh = l.root + "/install";
    l.anchorNew = l.root + "/patched-new";
    if (!Prepare(l)) {
        fprintf(stderr, "bench-apply: cannot write the test data below %s\n", l.root.c_str());
        return 1;
    }
    const double megabytes =
        (double(l.replaced + l.added) * double(l.fileSize) + double(l.patched) * double(l.patchedSize)) / (1 << 20);

    std::string script = "set -e; cd '" + l.fresh + "'; md5sum p*.dat > /dev/null;";
    for (int f = 0; f < l.folders; ++f) {
        const std::string folder = Folder(l, f);
        script += " cp '" + l.package + "/data/" + folder + "/'*.dat " + folder + "/;";
    }
    script += " cp '" + l.anchorNew + "/'p*.dat .; md5sum p*.dat > /dev/null; sync";

    // Rounds on fresh copies, alternating which side goes first; the median of each side counts.
    const auto result = bench::Alternate(
        "apply", "cp+md5sum+sync", "s", kRounds,
        [&] {
            if (!FreshInstall(l))
                return -1.0;
            const auto start = std::chrono::steady_clock::now();
            const bool applied = ApplyPatchPackage(FromNativePath(l.fresh), FromNativePath(l.package), L"");
            const double seconds = Seconds(std::chrono::steady_clock::now() - start);
            if (!applied || !Shell("test -z \"$(find '" + l.fresh + "' -name '*.pbk')\"")) {
                fprintf(stderr, "bench-apply: the patch did not apply cleanly\n");
                return -1.0;
            }
            return seconds;
        },
        [&] {
            if (!FreshInstall(l))
                return -1.0;
            const auto start = std::chrono::steady_clock::now();
            if (!Shell(script)) {
                fprintf(stderr, "bench-apply: the cp/md5sum run failed\n");
                return -1.0;
            }
            return Seconds(std::chrono::steady_clock::now() - start);
        });
    const double ours = result.ours.median, anchor = result.anchor.median;

    const int records = l.replaced + l.added + l.patched;
    const double journal = JournalSeconds(l, records);
    Shell("rm -rf '" + l.fresh + "' '" + l.source + "' '" + l.package + "' '" + l.anchorNew + "'");

    printf("files: %d added or replaced, %d patched, %.0f MB in all\n", l.replaced + l.added, l.patched, megabytes);
    printf("ours: %.2f s, cp+md5sum+sync: %.2f s\n", ours, anchor);
    printf("journal: %d records flushed one by one, then a file-system sync, in %.2f s (%.0f us a record)\n",
           records, journal, journal * 1e6 / records);
    printf("apply: ours %.1f MB/s, cp+md5sum+sync %.1f MB/s, ratio %.2f\n", megabytes / ours, megabytes / anchor,
           anchor / ours);
    return 0;
}
