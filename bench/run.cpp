// A whole patch run: patch-run bringing an installation from build 100 to 101 with a 1 GiB patch
// appended to its own executable (discovery, the checks, the copy of the package out of the
// archive, unpacking, applying, the database update), against what a user does with the two
// drivers for the same patch: package-tool unpack, then patch-apply. The run's own work on top of
// the engine should cost little.
//
// The patch adds 256 files of 4 MiB of pseudo-random bytes (the package stores them with zlib's
// fastest level). Every round starts from a fresh installation with the disk synced; the sides
// alternate which goes first; the figure is the median of 5 rounds, the spread is printed.
//
// Usage: bench-run [scale] (1 = 1 GiB).
// Last line: run: ours <MB/s>, package-tool+patch-apply <MB/s>, ratio <ours/anchor>.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "platform/TempFolder.h"

namespace
{

constexpr int kRounds = 5;
constexpr uint32_t kFileSize = 4u << 20;

void PutU32(std::string& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>(value >> (8 * i));
}

void PutU64(std::string& out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out += static_cast<char>(value >> (8 * i));
}

// One chunked container of raw (one chunk: every piece here is below the chunk limit).
std::string Container(const std::string& raw)
{
    std::string out;
    if (raw.empty())
    {
        PutU32(out, 0);
        return out;
    }
    uLongf packedSize = compressBound(raw.size());
    std::string packed(packedSize, '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize, reinterpret_cast<const Bytef*>(raw.data()),
              raw.size(), 1);
    PutU32(out, 1);
    PutU32(out, static_cast<uint32_t>(packedSize));
    PutU32(out, static_cast<uint32_t>(raw.size()));
    out.append(packed, 0, packedSize);
    return out;
}

// An item header: u32 name length in UTF-16 units, the name (ASCII here), the kind byte.
std::string Item(const std::string& name, bool folder)
{
    std::string header;
    PutU32(header, static_cast<uint32_t>(name.size()));
    for (char c : name)
        header += c, header += '\0';
    header += folder ? '\0' : '\1';
    return Container(header);
}

bool Append(int fd, const std::string& bytes)
{
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

std::string FileName(int i)
{
    char name[32];
    snprintf(name, sizeof name, "f%04d.bin", i);
    return name;
}

// The package: folders, the three lists, then the added files (the same bytes in each, shifted).
bool WritePackage(const std::string& path, int files)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::string head;
    PutU32(head, 2);
    head += Item(".\\data", true) + Item(".\\data\\big", true);
    std::string added;
    for (int i = 0; i < files; ++i)
        added += "big\\" + FileName(i) + "\r\n\r\n\r\n";
    head += Item(".\\addedFiles.txt", false) + Container(added);
    head += Item(".\\deletedFiles.txt", false) + Container("");
    head += Item(".\\patchedFiles.txt", false) + Container("");
    bool ok = fd >= 0 && Append(fd, head);
    std::string content(kFileSize, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (int i = 0; ok && i < files; ++i)
    {
        for (size_t at = 0; at + 8 <= content.size(); at += 8)
        {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            memcpy(&content[at], &x, 8);
        }
        ok = Append(fd, Item(".\\data\\big\\" + FileName(i), false) + Container(content));
    }
    return fd >= 0 && close(fd) == 0 && ok;
}

// Appends the archive with one entry 100 -> 101 holding the package.
bool AppendArchive(const std::string& program, const std::string& package)
{
    struct stat programStat = {}, packageStat = {};
    if (stat(program.c_str(), &programStat) != 0 || stat(package.c_str(), &packageStat) != 0)
        return false;
    const uint64_t header = (static_cast<uint64_t>(programStat.st_size) + 4095) / 4096 * 4096;
    const uint64_t payload = header + 28;
    const uint64_t directory = payload + static_cast<uint64_t>(packageStat.st_size);
    const uint64_t total = directory + 80;
    std::string head(header - static_cast<uint64_t>(programStat.st_size), '\0');
    head += "L0u1";
    head += "m2o3";
    PutU32(head, static_cast<uint32_t>(total));
    PutU32(head, 1);
    PutU64(head, directory);
    PutU32(head, 0);
    std::string entry(80, '\0');
    memcpy(&entry[0], "100", 3);
    memcpy(&entry[32], "101", 3);
    std::string offsets;
    PutU64(offsets, payload);
    PutU64(offsets, static_cast<uint64_t>(packageStat.st_size));
    memcpy(&entry[64], offsets.data(), 16);
    if (total >= (1ull << 32))
        return false;
    const int fd = open(program.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    const int in = open(package.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && in >= 0 && Append(fd, head);
    std::vector<char> buffer(1 << 20);
    for (ssize_t n; ok && (n = read(in, buffer.data(), buffer.size())) > 0;)
        ok = write(fd, buffer.data(), static_cast<size_t>(n)) == n;
    ok = ok && Append(fd, entry);
    if (in >= 0)
        close(in);
    return fd >= 0 && close(fd) == 0 && ok;
}

bool Shell(const std::string& command)
{
    return bench::RunCommand({"sh", "-c", command});
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    const double scale = argc > 1 ? atof(argv[1]) : 1.0;
    const int files = std::max(1, static_cast<int>(256 * scale));
    const std::string root = platform::PrivateTempFolder();
    char self[4096] = {};
    if (root.empty() || readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return 1;
    const std::string bin = std::string(self).substr(0, std::string(self).rfind('/'));
    const std::string install = root + "/game", package = root + "/patch.pkg", unpacked = root + "/unpacked";
    const std::string patcher = root + "/patcher", registry = root + "/reg";
    setenv("LUMO_REGISTRY_ROOT", registry.c_str(), 1);
    setenv("TMPDIR", root.c_str(), 1);

    // The game's utility: its build list says 100; the database update has nothing to do.
    const std::string utility = "#!/bin/sh\ncase \"$1\" in listbuilds) printf '100,' > \"$2\";; esac\nexit 0\n";
    const std::string reset = "rm -rf '" + install + "' '" + unpacked + "' && mkdir -p '" + install + "/bin' '" +
                              registry + "/HKEY_LOCAL_MACHINE/Software/Kestin/Products/SollexSimulator'";
    if (!WritePackage(package, files) || !Shell("cp '" + bin + "/patch-run' '" + patcher + "'") ||
        !AppendArchive(patcher, package))
    {
        fprintf(stderr, "bench-run: cannot write the test data below %s\n", root.c_str());
        return 1;
    }
    auto freshInstall = [&] {
        if (!Shell(reset))
            return false;
        const std::string path = install + "/bin/SollexUtil.exe";
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
        return fd >= 0 && Append(fd, utility) && close(fd) == 0 && Shell("sync");
    };
    const double megabytes = double(files) * kFileSize / (1 << 20);

    std::vector<double> ours, anchor;
    for (int round = 0; round < kRounds; ++round)
    {
        for (int side = 0; side < 2; ++side)
        {
            const bool oursNow = (side == 0) == (round % 2 == 0);
            if (!freshInstall())
                return 1;
            const auto start = std::chrono::steady_clock::now();
            const bool ok = oursNow ? Shell("'" + patcher + "' --admin '" + install + "' > '" + root + "/run.log'")
                                    : Shell("'" + bin + "/package-tool' unpack '" + package + "' '" + unpacked +
                                            "' && '" + bin + "/patch-apply' '" + install + "' '" + unpacked +
                                            "' > /dev/null");
            (oursNow ? ours : anchor).push_back(bench::SecondsSince(start));
            if (!ok || !Shell("test -f '" + install + "/big/" + FileName(files - 1) + "'"))
            {
                fprintf(stderr, "bench-run: the %s side did not patch\n", oursNow ? "patch-run" : "driver");
                Shell("cat '" + root + "/run.log' >&2");
                return 1;
            }
        }
    }
    Shell("rm -rf '" + install + "' '" + unpacked + "' '" + package + "' '" + patcher + "'");

    std::vector<double> sortedOurs = ours, sortedAnchor = anchor;
    std::sort(sortedOurs.begin(), sortedOurs.end());
    std::sort(sortedAnchor.begin(), sortedAnchor.end());
    printf("patch of %.0f MB in %d files, %d rounds\n", megabytes, files, kRounds);
    printf("patch-run: median %.2f s (%.2f to %.2f); package-tool+patch-apply: median %.2f s (%.2f to %.2f)\n",
           Median(ours), sortedOurs.front(), sortedOurs.back(), Median(anchor), sortedAnchor.front(),
           sortedAnchor.back());
    printf("run: ours %.1f MB/s, package-tool+patch-apply %.1f MB/s, ratio %.2f\n", megabytes / Median(ours),
           megabytes / Median(anchor), Median(anchor) / Median(ours));
    return 0;
}
