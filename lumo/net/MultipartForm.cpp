#include "lumo/net/MultipartForm.h"

#include "lumo/net/SizedString.h"

namespace
{
// The part of a name after its last separator.
size_t LastComponentStart(const std::string& name)
{
    const size_t separator = name.find_last_of("/\\");
    return separator == std::string::npos ? 0 : separator + 1;
}

// The position of the "." that starts the name's extension, or npos when it has none.
size_t ExtensionDot(const std::string& name)
{
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot < LastComponentStart(name) || dot + 1 == name.size())
        return std::string::npos;
    return dot;
}

std::string EscapeName(const std::string& name)
{
    std::string escaped;
    for (char c : name)
    {
        if (c == '"')
            escaped += "%22";
        else if (c == '\r')
            escaped += "%0D";
        else if (c == '\n')
            escaped += "%0A";
        else
            escaped += c;
    }
    return escaped;
}

// The fixed boundary, made longer while some field's bytes hold it.
std::string ChooseBoundary(NamedDataBuffers& fields)
{
    std::string boundary = kMultipartBoundary;
    for (unsigned suffix = 1;; ++suffix)
    {
        bool clash = false;
        for (uint32_t i = 0; i < fields.GetCount() && !clash; ++i)
        {
            std::string data;
            fields.GetString(fields.GetName(i), data);
            clash = data.find(boundary) != std::string::npos;
        }
        if (!clash)
            return boundary;
        boundary = std::string(kMultipartBoundary) + "-" + std::to_string(suffix);
    }
}
} // namespace

std::string MultipartContentType(const std::string& boundary)
{
    return "multipart/form-data; boundary=\"" + boundary + "\"";
}

LUMORESULT WriteMultipartBody(NamedDataBuffers& fields, LumoDataBuffer& body, std::string& boundary)
{
    boundary = ChooseBoundary(fields);
    LumoDataBufferWriter writer(body);
    auto write = [&](const std::string& text) {
        writer.Keep(body.WriteData(text.data(), static_cast<uint32_t>(text.size())));
    };
    for (uint32_t i = 0; i < fields.GetCount(); ++i)
    {
        const std::string name = fields.GetName(i);
        std::string header = "--" + boundary + "\r\ncontent-disposition: form-data; name=\"";
        const size_t dot = ExtensionDot(name);
        if (dot == std::string::npos)
            header += EscapeName(name) + "\"";
        else
            header += EscapeName(name.substr(0, dot)) + "\"; filename=\"" + EscapeName(name) + "\"";
        write(header + "\r\n\r\n");
        const LUMORESULT copied = fields.GetBuffer(name, body);
        if (copied != LUMORESULT_OK)
            return copied;
        write("\r\n");
    }
    write("--" + boundary + "--\r\n");
    return writer.firstError;
}
