#include "app/LogStyle.h"

namespace LumoPatch {

LogStyle StyleForLevel(int level, bool debug)
{
    switch (level) {
    case 0:
        if (!debug)
            return {};
        return {true, 0x000080};
    case 1:
        return {true, 0x000000};
    case 2:
        return {true, 0x808080};
    case 3:
        return {true, 0xFF0000};
    default:
        return {true, std::nullopt};
    }
}

}  // namespace LumoPatch
