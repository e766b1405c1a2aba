// symbolise: naming 1000 distinct code addresses of this program (function, file and line)
// through the program's own symbol look-up, against binutils' addr2line run once as a batch
// over the same addresses. Both start cold, each as a process of its own (ours is this program
// started again), so the set-up of the look-up is part of the figure. Rounds alternate which
// side goes first; the median of each side counts.

#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/SymbolLookup.h"

namespace
{

constexpr size_t kAddresses = 1000;

struct TextRange
{
    uint64_t base = 0;   // load address of the executable
    uint64_t start = 0;  // its executable segment
    uint64_t end = 0;
};

int FindText(dl_phdr_info* info, size_t, void* data)
{
    TextRange& range = *static_cast<TextRange*>(data);
    if (info->dlpi_name && info->dlpi_name[0] != '\0')
        return 0;  // the executable comes first, without a name
    for (int i = 0; i < info->dlpi_phnum; ++i)
    {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD && (header.p_flags & PF_X))
        {
            range.base = info->dlpi_addr;
            range.start = info->dlpi_addr + header.p_vaddr;
            range.end = range.start + header.p_memsz;
            return 1;
        }
    }
    return 0;
}

// The child side: set the look-up up cold and name every address of the list (offsets from the
// executable's load address, as addr2line reads them). Exits 0 when it named any.
int NameAll(const char* listPath)
{
    TextRange text;
    dl_iterate_phdr(FindText, &text);
    FILE* list = fopen(listPath, "re");
    if (!list || !platform::InitialiseSymbolLookup())
        return 1;
    size_t named = 0, withLine = 0, total = 0;
    unsigned long long offset = 0;
    while (fscanf(list, "%llx", &offset) == 1)
    {
        ++total;
        platform::SymbolInfo info;
        if (platform::LookUpSymbol(text.base + offset + 1, info))
        {
            ++named;
            withLine += info.line != 0;
        }
    }
    fclose(list);
    if (getenv("BENCH_SYMBOLISE_REPORT"))
        printf("%zu addresses: %zu named, %zu with file and line\n", total, named, withLine);
    return named > 0 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "--name-all") == 0)
        return NameAll(argv[2]);
    TextRange text;
    dl_iterate_phdr(FindText, &text);
    if (text.end <= text.start)
    {
        fprintf(stderr, "bench-symbolise: no executable segment found\n");
        return 1;
    }
    std::vector<uint64_t> addresses;
    const uint64_t step = (text.end - text.start) / (kAddresses + 1);
    for (size_t i = 1; i <= kAddresses; ++i)
        addresses.push_back(text.start + i * step);

    char folder[] = "/tmp/bench-symbolise-XXXXXX";
    if (!mkdtemp(folder))
        return 1;
    const std::string list = std::string(folder) + "/addresses";
    FILE* file = fopen(list.c_str(), "we");
    if (!file)
        return 1;
    for (uint64_t address : addresses)
        fprintf(file, "%llx\n", static_cast<unsigned long long>(address - text.base - 1));
    fclose(file);
    char exe[4096];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0)
        return 1;
    exe[length] = '\0';

    setenv("BENCH_SYMBOLISE_REPORT", "1", 1);
    fflush(stdout);
    if (!bench::RunCommand({exe, "--name-all", list}))
    {
        fprintf(stderr, "bench-symbolise: no address was named\n");
        return 1;
    }
    unsetenv("BENCH_SYMBOLISE_REPORT");

    // Both sides are a process started cold on the same list, output discarded by both.
    const std::string ours = "'" + std::string(exe) + "' --name-all '" + list + "'";
    const std::string anchor = std::string("addr2line -f -C -i -e '") + exe + "' < '" + list + "' > /dev/null";
    auto timed = [](const std::string& command) {
        const auto start = std::chrono::steady_clock::now();
        return bench::RunCommand({"sh", "-c", command}) ? bench::SecondsSince(start) * 1e3 : -1.0;
    };
    const auto result = bench::Alternate(
        "symbolise", "addr2line", "ms", bench::kMinimumRounds, [&] { return timed(ours); },
        [&] { return timed(anchor); });
    unlink(list.c_str());
    rmdir(folder);

    printf("symbolise: ours %.0f addresses/s, addr2line %.0f addresses/s, ratio %.3f\n",
           kAddresses / result.ours.median * 1e3, kAddresses / result.anchor.median * 1e3,
           result.anchor.median / result.ours.median);
    return 0;
}
