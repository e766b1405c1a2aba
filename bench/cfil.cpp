// bench-cfil: the kernel's "CFIL" container against gzip -1 / gunzip on the same bytes:
// 128 MiB of log text and 128 MiB of binary records, each packed and unpacked file to file
// (ours: the byte-pair codec in the container's records, unpacked through Kiln::File; gzip and
// gunzip as child processes), file to file from the page cache, nobody syncing. Pack and unpack
// each run in rounds that alternate which side goes first; medians count. Both round trips must
// give back the input. Prints per input the times and the packed sizes; last line: the whole
// round trip of both inputs,
//   cfil: ours <MB/s> MB/s, gzip -1 <MB/s> MB/s, ratio <ours/gzip>
// and the size ratio (gzip size / ours, > 1: ours is smaller) on the line before.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Kiln/Src/Kiln/KernelStandard/BytePairCodec.h"
#include "Kiln/Src/Kiln/KernelStandard/KilnFile.h"
#include "bench/BenchSupport.h"
#include "platform/TempFolder.h"

namespace
{

constexpr size_t kInputSize = size_t(128) << 20;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

uint64_t FileSize(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

bool WriteWhole(const std::string& path, const std::string& data)
{
    FILE* f = std::fopen(path.c_str(), "wbe");
    if (!f)
        return false;
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

bool SameAs(const std::string& path, const std::string& data)
{
    FILE* f = std::fopen(path.c_str(), "rbe");
    if (!f)
        return false;
    std::string back(data.size() + 1, '\0');
    const size_t n = std::fread(back.data(), 1, back.size(), f);
    std::fclose(f);
    return n == data.size() && std::memcmp(back.data(), data.data(), n) == 0;
}

std::string LogText()
{
    std::mt19937 random(1);
    static const char* channels[] = {"Sollex", "PackedHeap", "ExceptionHandler", "Patch"};
    static const char* words[] = {"loading",  "route",   "texture", "C:\\Games\\Sollex\\Assets\\", "failed", "ok",
                                  "building", "scenery", "shader",  "_diffuse.dds",                "model",  "0x"};
    std::string text;
    text.reserve(kInputSize + 256);
    char line[256];
    double t = 0;
    while (text.size() < kInputSize)
    {
        t += (random() % 1000) / 100.0;
        int n = std::snprintf(line, sizeof line, "%c %3d:%04.1f : [%s] ", " !?+-"[random() % 5],
                              static_cast<int>(t / 60), t - 60 * static_cast<int>(t / 60), channels[random() % 4]);
        for (int w = 0, count = 3 + static_cast<int>(random() % 8); w < count; ++w)
            n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "%s%u ", words[random() % 12],
                               static_cast<unsigned>(random() % 5000));
        text.append(line, static_cast<size_t>(n));
        text += "\r\n";
    }
    text.resize(kInputSize);
    return text;
}

// Records as a program stores them: counters, small enums, floats and some noise.
std::string BinaryData()
{
    std::mt19937 random(2);
    std::string data;
    data.reserve(kInputSize + 64);
    uint32_t id = 0;
    while (data.size() < kInputSize)
    {
        uint8_t record[32] = {};
        ++id;
        std::memcpy(record, &id, 4);
        record[4] = static_cast<uint8_t>(random() % 4);
        const float position[3] = {static_cast<float>(random() % 100000) / 10.0f, 0.0f,
                                   static_cast<float>(random() % 1000)};
        std::memcpy(record + 8, position, sizeof position);
        const uint32_t noise = static_cast<uint32_t>(random());
        std::memcpy(record + 24, &noise, 4);
        data.append(reinterpret_cast<char*>(record), sizeof record);
    }
    data.resize(kInputSize);
    return data;
}

bool WriteAll(int fd, const void* data, size_t size)
{
    return ::write(fd, data, size) == static_cast<ssize_t>(size);
}

// Packs the input file into a "CFIL" container: the same records the kernel's file writes at
// Close, from the same reads gzip makes, without the plain copy and sync the file's crash
// safety adds. Returns seconds, or -1.
double OursPack(const std::string& input, const std::string& packed)
{
    const auto start = Clock::now();
    const int in = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(packed.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const uint32_t length = static_cast<uint32_t>(FileSize(input));
    bool ok = in >= 0 && out >= 0;
    uint8_t header[Kiln::File::kHeaderSize] = {'C', 'F', 'I', 'L'};
    for (int i = 0; i < 4; ++i)
    {
        header[4 + i] = static_cast<uint8_t>(Kiln::File::kContainerVersion >> (8 * i));
        header[8 + i] = static_cast<uint8_t>(length >> (8 * i));
    }
    std::vector<uint8_t> chunk(Kiln::File::kBufferSize), records;
    std::vector<uint8_t> block(Kiln::File::kBufferSize);
    ok = ok && WriteAll(out, header, sizeof header);
    for (ssize_t n; ok && (n = ::read(in, chunk.data(), chunk.size())) > 0;)
    {
        const uint32_t size = static_cast<uint32_t>(n);
        const uint32_t p = Kiln::CompressBlockBPE(block.data(), chunk.data(), size);
        const uint32_t value = p != size ? p : (size | 0x8000);
        records.push_back(static_cast<uint8_t>(value));
        records.push_back(static_cast<uint8_t>(value >> 8));
        records.insert(records.end(), block.begin(), block.begin() + p);
        if (records.size() >= (1u << 20))
        {
            ok = WriteAll(out, records.data(), records.size());
            records.clear();
        }
    }
    ok = ok && WriteAll(out, records.data(), records.size());
    if (in >= 0)
        ::close(in);
    ok = out >= 0 && ::close(out) == 0 && ok;
    return ok ? Seconds(start) : -1;
}

// Unpacks through the kernel's file reader into a plain file, as gunzip -c > file does.
double OursUnpack(const std::string& packed, const std::string& back)
{
    const auto start = Clock::now();
    Kiln::File in;
    const int out = ::open(back.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = out >= 0 && in.Open(packed.c_str(), Kiln::File::OpenMode::CompressedRead);
    std::vector<char> block(1 << 20);
    for (uint32_t n; ok && (n = in.Read(block.data(), static_cast<uint32_t>(block.size()))) > 0;)
        ok = WriteAll(out, block.data(), n);
    ok = out >= 0 && ::close(out) == 0 && ok;
    return ok ? Seconds(start) : -1;
}

double Timed(const std::string& command)
{
    const auto start = Clock::now();
    return std::system(command.c_str()) == 0 ? Seconds(start) : -1;
}

}  // namespace

int main()
{
    const std::string folder = platform::CreateTempSubfolder("bench-cfil");
    if (folder.empty())
    {
        std::fprintf(stderr, "bench-cfil: cannot make a temporary folder\n");
        return 1;
    }
    const double mb = static_cast<double>(kInputSize) / 1e6;
    double oursTime = 0, gzipTime = 0;
    uint64_t oursSize = 0, gzipSize = 0;
    int status = 0;
    const std::string input = folder + "/input", packed = folder + "/ours.cfil", back = folder + "/ours.back";
    const std::string gz = folder + "/gzip.gz", gzBack = folder + "/gzip.back";
    for (const char* kind : {"log text", "binary"})
    {
        const std::string data = std::strcmp(kind, "binary") == 0 ? BinaryData() : LogText();
        if (!WriteWhole(input, data))
        {
            std::fprintf(stderr, "bench-cfil: cannot write the input\n");
            return 1;
        }
        const auto pack = bench::Alternate(
            (std::string(kind) + " pack").c_str(), "gzip -1", "s", bench::kMinimumRounds,
            [&] { return OursPack(input, packed); },
            [&] { return Timed("gzip -1 -c '" + input + "' > '" + gz + "'"); });
        const auto unpack = bench::Alternate(
            (std::string(kind) + " unpack").c_str(), "gunzip", "s", bench::kMinimumRounds,
            [&] { return OursUnpack(packed, back); }, [&] { return Timed("gunzip -c '" + gz + "' > '" + gzBack + "'"); });
        const bool oursOk = SameAs(back, data), gzipOk = SameAs(gzBack, data);
        if (!oursOk || !gzipOk)
        {
            std::fprintf(stderr, "bench-cfil: %s: a round trip failed (ours %d, gzip %d)\n", kind, oursOk, gzipOk);
            status = 1;
        }
        const uint64_t ours = FileSize(packed), gzip = FileSize(gz);
        std::printf("%-8s: ours pack %.0f MB/s unpack %.0f MB/s size %.1f%%; gzip -1 pack %.0f MB/s gunzip %.0f MB/s "
                    "size %.1f%%; size ratio %.2f\n",
                    kind, mb / pack.ours.median, mb / unpack.ours.median, 100.0 * ours / kInputSize,
                    mb / pack.anchor.median, mb / unpack.anchor.median, 100.0 * gzip / kInputSize,
                    static_cast<double>(gzip) / ours);
        std::fflush(stdout);
        oursTime += pack.ours.median + unpack.ours.median;
        gzipTime += pack.anchor.median + unpack.anchor.median;
        oursSize += ours;
        gzipSize += gzip;
    }
    for (const std::string& path : {input, packed, back, gz, gzBack})
        ::unlink(path.c_str());
    ::rmdir(folder.c_str());
    std::printf("size: ours %.1f MB, gzip -1 %.1f MB, ratio %.2f\n", oursSize / 1e6, gzipSize / 1e6,
                static_cast<double>(gzipSize) / oursSize);
    std::printf("cfil: ours %.1f MB/s, gzip -1 %.1f MB/s, ratio %.2f\n", 2 * mb / oursTime, 2 * mb / gzipTime,
                gzipTime / oursTime);
    return status;
}
