// bench-intern: interning and releasing 50,000 install paths in the kernel's string table
// against std::unordered_set<std::string> (insert, then erase). Each round interns every path
// twice (the second is a hit, as when two owners name the same file), then releases both
// references and sweeps the table once; the set inserts twice and erases once. Rounds alternate which side goes first; the median of 5 counts.
// Last line: intern: ours <ns> ns/path, unordered_set <ns> ns/path, ratio <set/ours>.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "Kiln/Src/Kiln/KernelStandard/StringTable.h"
#include "bench/BenchSupport.h"

namespace
{

using Clock = std::chrono::steady_clock;
constexpr size_t kPaths = 50000;
constexpr int kRounds = 5;

std::vector<std::string> InstallPaths()
{
    std::mt19937 random(5);
    static const char* top[] = {"Assets/", "bin/", "Content/", "Routes/", "Sounds/"};
    static const char* kinds[] = {"Scenery", "RollingStock", "Textures", "Tracks", "Signals", "Audio"};
    static const char* ends[] = {"_diffuse.dds", "_normal.dds", ".bin", ".xml", ".GeoPcDx", ".wav", ".lua"};
    std::unordered_set<std::string> seen;
    std::vector<std::string> paths;
    while (paths.size() < kPaths)
    {
        std::string path = "C:/Games/Sollex/";
        path += top[random() % 5];
        path += "Vendor" + std::to_string(random() % 40) + "/";
        path += kinds[random() % 6];
        path += "/Pack" + std::to_string(random() % 30) + "/";
        path += "item_" + std::to_string(random() % 100000) + ends[random() % 7];
        if (seen.insert(path).second)
            paths.push_back(path);
    }
    return paths;
}

double Ours(const std::vector<std::string>& paths)
{
    Kiln::StringTable* table = Kiln::GetStringTable();
    std::vector<Kiln::InternedString*> held(paths.size());
    const auto start = Clock::now();
    for (size_t i = 0; i < paths.size(); ++i)
        held[i] = table->Intern(paths[i].data(), static_cast<uint32_t>(paths[i].size()));
    for (size_t i = 0; i < paths.size(); ++i)
        table->Intern(paths[i].data(), static_cast<uint32_t>(paths[i].size()));
    for (size_t i = 0; i < paths.size(); ++i)
    {
        table->Release(held[i]);
        table->Release(held[i]);
    }
    for (uint32_t i = 0; i < Kiln::StringTable::kBucketCount; ++i)
        table->PurgeStep();
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / paths.size();
}

double Set(const std::vector<std::string>& paths)
{
    std::unordered_set<std::string> set;
    const auto start = Clock::now();
    for (const auto& path : paths)
        set.insert(path);
    for (const auto& path : paths)
        set.insert(path);
    for (const auto& path : paths)
        set.erase(path);
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / paths.size();
}

}  // namespace

int main()
{
    const std::vector<std::string> paths = InstallPaths();
    const auto result = bench::Alternate(
        "intern", "unordered_set", "ns/path", kRounds, [&] { return Ours(paths); }, [&] { return Set(paths); });
    const auto counters = Kiln::GetStringTable()->GetCounters();
    std::printf("probes per look-up: %.1f\n", static_cast<double>(counters.probes) / (4.0 * kRounds * kPaths));
    std::printf("intern: ours %.0f ns/path, unordered_set %.0f ns/path, ratio %.2f\n", result.ours.median,
                result.anchor.median, result.anchor.median / result.ours.median);
    return 0;
}
