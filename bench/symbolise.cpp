// symbolise: naming 1000 distinct code addresses of this program (function, file and line)
// through the program's own symbol look-up, against binutils' addr2line run once as a batch
// over the same addresses. Both start cold: ours sets its look-up up inside the timed part, and
// that set-up reads the debug information of every loaded image (the C library's too, where its
// debug files are installed), so one cold batch costs more than addr2line on the executable
// alone; every later look-up is in memory (the "warm" figure).

#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

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

double Seconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main()
{
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

    auto start = std::chrono::steady_clock::now();
    if (!platform::InitialiseSymbolLookup())
        return 1;
    size_t named = 0;
    size_t withLine = 0;
    for (uint64_t address : addresses)
    {
        platform::SymbolInfo info;
        if (platform::LookUpSymbol(address, info))
        {
            ++named;
            withLine += info.line != 0;
        }
    }
    const double oursCold = Seconds(start);

    start = std::chrono::steady_clock::now();
    for (uint64_t address : addresses)
    {
        platform::SymbolInfo info;
        platform::LookUpSymbol(address, info);
    }
    const double oursWarm = Seconds(start);

    const std::string command = std::string("addr2line -f -C -i -e '") + exe + "' < '" + list + "' > /dev/null";
    start = std::chrono::steady_clock::now();
    if (system(command.c_str()) != 0)
    {
        fprintf(stderr, "bench-symbolise: addr2line failed\n");
        return 1;
    }
    const double anchor = Seconds(start);
    unlink(list.c_str());
    rmdir(folder);

    printf("%zu addresses: %zu named, %zu with file and line; ours %.1f ms cold, %.1f ms warm; addr2line %.1f ms\n",
           addresses.size(), named, withLine, oursCold * 1e3, oursWarm * 1e3, anchor * 1e3);
    printf("symbolise: ours %.0f addresses/s, addr2line %.0f addresses/s, ratio %.3f\n", kAddresses / oursCold,
           kAddresses / anchor, anchor / oursCold);
    return 0;
}
