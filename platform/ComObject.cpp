#include "platform/ComObject.h"

#include <cstdio>

namespace LumoCom
{

std::string Guid::ToString() const
{
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", data1, data2,
                  data3, data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
    return text;
}

} // namespace LumoCom
