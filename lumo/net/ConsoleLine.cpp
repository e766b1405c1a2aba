#include "lumo/net/ConsoleLine.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "lumo/text/StringUtil.h"

namespace LumoNet
{
void PrintConsoleLine(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string line = LumoUtil::FormatStringV(format, args);
    va_end(args);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}
} // namespace LumoNet
