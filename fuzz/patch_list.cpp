// Parses arbitrary bytes as a patch server's "patches.txt" and checks what the list accepts: builds
// that can stand in a file name, a patch never onto its own build, data URLs that are absolute or
// lie below the server. Each accepted URL then goes through the URL splitter, the escaper and the
// request builder, which must keep their own promises on any text a server can send.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/text/TextConversion.h"
#include "lumo/net/LumoFTP.h"
#include "lumo/net/LumoURL.h"
#include "patch/BuildName.h"
#include "patch/PatchTask.h"

namespace
{
bool StartsWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void CheckUrl(const std::string& url)
{
    std::string scheme, host, user, password, path;
    int port = 0;
    const LUMORESULT parsed = ParseURL(url, scheme, host, port, user, password, path);
    Check(parsed == LUMORESULT_OK || parsed == LUMORESULT_INVALID_ARGUMENT);
    Check(host.find('/') == std::string::npos && user.find('/') == std::string::npos);
    GetSchemeForPort(scheme, host, port);
    GetDefaultPort(scheme, port);

    // The escaper's output holds only plain characters and decodes back to its input.
    const std::string escaped = EscapeURL(url);
    std::string decoded;
    for (size_t i = 0; i < escaped.size(); ++i)
    {
        const auto byte = static_cast<unsigned char>(escaped[i]);
        Check(byte > 0x20 && byte < 0x7B);
        if (escaped[i] != '%')
        {
            decoded.push_back(escaped[i]);
            continue;
        }
        Check(i + 2 < escaped.size());
        const int high = HexValue(escaped[i + 1]), low = HexValue(escaped[i + 2]);
        Check(high >= 0 && low >= 0);
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    Check(decoded == url);

    // The request address never carries a byte that would end or split the request line.
    const std::string request = LumoInetInternal::BuildRequestURL(scheme, host, port, path, scheme == "ftp");
    for (size_t i = scheme.size() + 3 + host.size(); i < request.size(); ++i)
        Check(static_cast<unsigned char>(request[i]) > 0x20 && request[i] != '#' && request[i] != 0x7F);
    LumoInetInternal::RedactURL(url);
    std::string folder;
    ParseFtpDirectoryReply(url, folder);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0x10000)
        return 0;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    LumoDataBufferMemoryStatic buffer(bytes.data(), static_cast<uint32_t>(size));
    const std::wstring server = L"http://patches.example/sollex/";
    KestinPatchTask task;
    const bool accepted = task.ParsePatchList(buffer, server);
    Check(accepted == !task.GetPatches().empty());
    for (const auto& [source, entry] : task.GetPatches())
    {
        Check(IsSafeBuildName(source) && IsSafeBuildName(entry.targetVersion));
        Check(source != entry.targetVersion);
        Check(!entry.exeUrl.empty());
        Check(StartsWith(entry.dataUrl, L"http://") || StartsWith(entry.dataUrl, L"https://") ||
              StartsWith(entry.dataUrl, L"ftp://"));
        CheckUrl(ToNarrow(entry.dataUrl));
        CheckUrl(ToNarrow(entry.exeUrl));
    }
    PatchChainLoops(task.GetPatches(), task.GetPatches().empty() ? "" : task.GetPatches().begin()->first);
    return 0;
}
