// Reads arbitrary bytes as a server-list file and checks its promises: every server is one
// non-blank line (no line end inside), and there are never more servers than lines.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/core/PatcherOptions.h"

namespace
{

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<std::wstring> servers = ParsePatchServerList(bytes);
    // Decoded text never has more characters than the input has bytes, so no more lines either.
    Check(servers.size() <= size);
    for (const std::wstring& server : servers)
    {
        Check(server.find_first_of(L"\r\n") == std::wstring::npos);
        Check(server.find_first_not_of(L" \t") != std::wstring::npos);
    }
    return 0;
}
