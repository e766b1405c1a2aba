#include "lumo/net/ConsoleLine.h"

#include <cstdarg>
#include <string>

#include "lumo/diagnostics/SystemLog.h"
#include "lumo/text/StringUtil.h"

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
} // namespace LumoNet
