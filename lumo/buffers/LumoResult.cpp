#include "lumo/buffers/LumoResult.h"

namespace LumoUtil
{
std::string GetResultName(LUMORESULT code)
{
    static const char* const names[] = {
        "LUMORESULT_OK",
        "LUMORESULT_NOT_ALLOWED",
        "LUMORESULT_IO_ERROR",
        "LUMORESULT_NETWORK_ERROR",
        "LUMORESULT_NOT_FOUND",
        "LUMORESULT_INVALID_ARGUMENT",
        "LUMORESULT_NOT_SUPPORTED",
        "LUMORESULT_INVALID_STATE",
        "LUMORESULT_END_OF_DATA",
        "LUMORESULT_OUT_OF_SPACE",
        "LUMORESULT_BAD_FORMAT",
        "LUMORESULT_UNKNOWN_ERROR",
        "LUMORESULT_CONNECTION_REFUSED",
        "LUMORESULT_ABORTED",
        "LUMORESULT_PARTIAL_DATA",
    };
    if (code < sizeof(names) / sizeof(names[0]))
        return names[code];
    return "LUMORESULT(" + std::to_string(code) + ")";
}
}
