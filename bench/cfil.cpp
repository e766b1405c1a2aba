// bench-cfil: the kernel's "CFIL" container against gzip -1 / gunzip on the same bytes:
// 256 MiB of log text and 256 MiB of binary records, each packed and unpacked file to file
// (ours through Kiln::File, gzip and gunzip as child processes), read from the page cache.
// Both round trips must give back the input. Prints per input the times and the packed sizes;
// last line: the whole round trip of both inputs,
//   cfil: ours <MB/s> MB/s, gzip -1 <MB/s> MB/s, ratio <ours/gzip>
// and the size ratio (gzip size / ours, > 1: ours is smaller) on the line before.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Kiln/Src/Kiln/KernelStandard/KilnFile.h"
#include "platform/TempFolder.h"

namespace
{

constexpr size_t kInputSize = size_t(256) << 20;
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

struct Result
{
    double pack = 0, unpack = 0;
    uint64_t size = 0;
    bool ok = false;
};

Result Ours(const std::string& data, const std::string& folder)
{
    Result r;
    const std::string packed = folder + "/ours.cfil", back = folder + "/ours.back";
    auto start = Clock::now();
    {
        Kiln::File out;
        if (!out.Open(packed.c_str(), Kiln::File::OpenMode::CompressedWrite))
            return r;
        if (out.Write(data.data(), static_cast<uint32_t>(data.size())) != data.size() || out.Close() != 0)
            return r;
    }
    r.pack = Seconds(start);
    r.size = FileSize(packed);
    start = Clock::now();
    {
        Kiln::File in, out;
        if (!in.Open(packed.c_str(), Kiln::File::OpenMode::CompressedRead) ||
            !out.Open(back.c_str(), Kiln::File::OpenMode::Write))
            return r;
        std::vector<char> block(1 << 20);
        for (uint32_t n; (n = in.Read(block.data(), static_cast<uint32_t>(block.size()))) > 0;)
            out.Write(block.data(), n);
        if (out.Close() != 0)
            return r;
    }
    r.unpack = Seconds(start);
    r.ok = SameAs(back, data);
    return r;
}

Result Gzip(const std::string& input, const std::string& data, const std::string& folder)
{
    Result r;
    const std::string packed = folder + "/gzip.gz", back = folder + "/gzip.back";
    auto start = Clock::now();
    if (std::system(("gzip -1 -c '" + input + "' > '" + packed + "'").c_str()) != 0)
        return r;
    r.pack = Seconds(start);
    r.size = FileSize(packed);
    start = Clock::now();
    if (std::system(("gunzip -c '" + packed + "' > '" + back + "'").c_str()) != 0)
        return r;
    r.unpack = Seconds(start);
    r.ok = SameAs(back, data);
    return r;
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
    for (const char* kind : {"log text", "binary"})
    {
        const std::string data = std::strcmp(kind, "binary") == 0 ? BinaryData() : LogText();
        const std::string input = folder + "/input";
        if (!WriteWhole(input, data))
        {
            std::fprintf(stderr, "bench-cfil: cannot write the input\n");
            return 1;
        }
        const Result ours = Ours(data, folder);
        const Result gzip = Gzip(input, data, folder);
        if (!ours.ok || !gzip.ok)
        {
            std::fprintf(stderr, "bench-cfil: %s: a round trip failed (ours %d, gzip %d)\n", kind, ours.ok, gzip.ok);
            status = 1;
        }
        std::printf("%-8s: ours pack %.0f MB/s unpack %.0f MB/s size %.1f%%; gzip -1 pack %.0f MB/s gunzip %.0f MB/s "
                    "size %.1f%%; size ratio %.2f\n",
                    kind, mb / ours.pack, mb / ours.unpack, 100.0 * ours.size / kInputSize, mb / gzip.pack,
                    mb / gzip.unpack, 100.0 * gzip.size / kInputSize, static_cast<double>(gzip.size) / ours.size);
        std::fflush(stdout);
        oursTime += ours.pack + ours.unpack;
        gzipTime += gzip.pack + gzip.unpack;
        oursSize += ours.size;
        gzipSize += gzip.size;
        for (const char* name : {"/input", "/ours.cfil", "/ours.back", "/gzip.gz", "/gzip.back"})
            ::unlink((folder + name).c_str());
    }
    ::rmdir(folder.c_str());
    std::printf("size: ours %.1f MB, gzip -1 %.1f MB, ratio %.2f\n", oursSize / 1e6, gzipSize / 1e6,
                static_cast<double>(gzipSize) / oursSize);
    std::printf("cfil: ours %.1f MB/s, gzip -1 %.1f MB/s, ratio %.2f\n", 2 * mb / oursTime, 2 * mb / gzipTime,
                gzipTime / oursTime);
    return status;
}
