#include "lumo/net/ConsoleLine.h"

#include <cstdarg>
#include <string>

#include "lumo/diagnostics/SystemLog.h"
#include "lumo/text/StringUtil.h"
#include "platform/DebugOutput.h"
#include "platform/Utf8.h"

namespace LumoNet
{
void PrintConsoleLine(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string line = LumoUtil::FormatStringV(format, args);
    va_end(args);
    WriteConsoleText(line);
}

void PrintDebugLine(const char* format, ...)
{
    if (!platform::DebugOutputHasReader())
        return;
    va_list args;
    va_start(args, format);
    const std::string line = LumoUtil::FormatStringV(format, args);
    va_end(args);
    platform::WriteDebugOutput(line);
}

void PrintWholeLine(const std::string& text)
{
    WriteConsoleText(text + "\n");
}

std::string ShownPath(const std::wstring& path)
{
    std::string out;
    out.reserve(path.size());
    for (wchar_t c : path)
    {
        const uint32_t cp = static_cast<uint32_t>(c);
        platform::AppendUtf8(out, cp < 0x20 || cp == 0x7F || !platform::IsUnicodeScalar(cp) ? uint32_t('?') : cp);
    }
    return out;
}

std::string ShownSlashPath(const std::wstring& path)
{
    std::wstring slashed = path;
    for (wchar_t& c : slashed)
        if (c == L'\\')
            c = L'/';
    return ShownPath(slashed);
}
} // namespace LumoNet
