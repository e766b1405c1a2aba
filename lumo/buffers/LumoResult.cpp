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

std::string DescribeResult(LUMORESULT code)
{
    static const char* const words[] = {
        "success",
        "the stream does not allow it",
        "a read or write failed",
        "the network failed (the connection was reset or lost, or the network is down, unreachable or too slow)",
        "it was not found",
        "an argument or address is not valid",
        "the stream cannot do it",
        "the stream is not ready (not open or not connected)",
        "the data ended early",
        "there is no room or no resources left",
        "the data is not in the expected format",
        "a socket error occurred",
        "the connection was refused",
        "the connection was closed or the transfer was cancelled",
        "only part of the data arrived",
    };
    if (code < sizeof(words) / sizeof(words[0]))
        return words[code];
    return "an unknown failure (" + std::to_string(code) + ")";
}
}
