#include "lumo/net/LumoURL.h"

#include <cstring>

#include "lumo/text/StringUtil.h"
#include "platform/Internet.h"

namespace
{

// Splits text at the first occurrence of separator: true with before/after filled, else false
// (before = text, after = "").
bool SplitFirst(const std::string& text, const std::string& separator, std::string& before, std::string& after)
{
    const size_t at = text.find(separator);
    if (at == std::string::npos)
    {
        before = text;
        after.clear();
        return false;
    }
    before = text.substr(0, at);
    after = text.substr(at + separator.size());
    return true;
}

void AppendEscaped(std::string& out, unsigned char byte)
{
    static const char kHex[] = "0123456789ABCDEF";
    out.push_back('%');
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 15]);
}

} // namespace

LUMORESULT ParseURL(const std::string& url, std::string& scheme, std::string& host, int& port, std::string& user,
                    std::string& password, std::string& path)
{
    std::string rest;
    if (!SplitFirst(url, "://", scheme, rest))
    {
        rest = url;
        scheme.clear();
    }

    // User information belongs to the authority only: an "@" after the first "/" is part of the path.
    std::string userPart, hostPart;
    const size_t at = rest.find('@');
    const size_t slash = rest.find('/');
    if (at != std::string::npos && (slash == std::string::npos || at < slash))
    {
        userPart = rest.substr(0, at);
        hostPart = rest.substr(at + 1);
    }
    else
        hostPart = rest;

    SplitFirst(userPart, ":", user, password);
    std::string hostAndPort;
    SplitFirst(hostPart, "/", hostAndPort, path);
    std::string portText;
    SplitFirst(hostAndPort, ":", host, portText);

    port = LumoUtil::ParseInt(portText.c_str());
    scheme = LumoUtil::ToLowerCopy(scheme);

    if (host.empty() || (user.empty() && !password.empty()))
        return LUMORESULT_INVALID_ARGUMENT;
    return LUMORESULT_OK;
}

LUMORESULT GetSchemeForPort(std::string& scheme, const std::string& host, int port)
{
    if (!scheme.empty())
        return LUMORESULT_OK;
    switch (port)
    {
    case 21:
        scheme = "ftp";
        return LUMORESULT_OK;
    case 80:
        scheme = "http";
        return LUMORESULT_OK;
    case 443:
        scheme = "https";
        return LUMORESULT_OK;
    default:
        break;
    }
    if (host.rfind("ftp", 0) == 0)
        scheme = "ftp";
    else if (host.rfind("https", 0) == 0)
        scheme = "https";
    else if (host.rfind("http", 0) == 0)
        scheme = "http";
    else
    {
        scheme = "http";
        return LUMORESULT_INVALID_ARGUMENT;
    }
    return LUMORESULT_OK;
}

LUMORESULT GetDefaultPort(const std::string& scheme, int& port)
{
    if (port >= 1)
        return LUMORESULT_OK;
    const std::string lower = LumoUtil::ToLowerCopy(scheme);
    if (lower == "http")
        port = 80;
    else if (lower == "https")
        port = 443;
    else if (lower == "ftp")
        port = 21;
    else
        return LUMORESULT_INVALID_ARGUMENT;
    return LUMORESULT_OK;
}

std::string EscapeURL(const std::string& text)
{
    static const char kReserved[] = "\"<>%\\^[]`+$,@:;/!#?=&";
    std::string out;
    out.reserve(text.size());
    for (const char c : text)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7B && std::strchr(kReserved, c) == nullptr)
            out.push_back(c);
        else
            AppendEscaped(out, byte);
    }
    return out;
}

bool IsInternetConnected()
{
    return platform::IsNetworkInterfaceUp();
}

namespace LumoInetInternal
{

std::string BuildRequestURL(const std::string& scheme, const std::string& host, int port, const std::string& path,
                            bool literalPath)
{
    std::string url = scheme + "://" + host + ":" + std::to_string(port) + "/";
    for (const char c : path)
    {
        const auto byte = static_cast<unsigned char>(c);
        const bool literalOnly = c == '%' || c == ';' || c == '?';
        if (byte <= 0x20 || byte >= 0x7F || c == '#' || (literalPath && literalOnly))
            AppendEscaped(url, byte);
        else
            url.push_back(c);
    }
    return url;
}

std::string RedactURL(const std::string& url)
{
    const size_t schemeEnd = url.find("://");
    const size_t start = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
    const size_t slash = url.find('/', start);
    const size_t at = url.find('@', start);
    if (at == std::string::npos || (slash != std::string::npos && at > slash))
        return url;
    const size_t colon = url.find(':', start);
    if (colon == std::string::npos || colon > at)
        return url;
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

} // namespace LumoInetInternal
