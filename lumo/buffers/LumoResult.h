#pragma once
// The one result-code family of the utility, network and repair code. 0 is success; every other
// value names a kind of failure. The numbers are fixed: logs print them and every layer compares
// against them.

#include <cstdint>
#include <string>

typedef uint32_t LUMORESULT;

// The codes are plain constants of the code type (not an enum), so that
// `auto result = LUMORESULT_OK; result = buffer.ReadData(...);` compiles.

// Success.
inline constexpr LUMORESULT LUMORESULT_OK = 0;
// Not allowed on this stream: reading a write-only file, writing a read-only one, resizing a
// static memory buffer.
inline constexpr LUMORESULT LUMORESULT_NOT_ALLOWED = 1;
// A file read, write, seek, resize, flush or status query failed or moved fewer bytes than asked.
inline constexpr LUMORESULT LUMORESULT_IO_ERROR = 2;
// Connection reset or lost, network down or unreachable, timed out, internet client failure.
inline constexpr LUMORESULT LUMORESULT_NETWORK_ERROR = 3;
// A directory that cannot be listed, a failed FTP directory change, a missing named buffer.
inline constexpr LUMORESULT LUMORESULT_NOT_FOUND = 4;
// Bad argument or address: empty path, bad URL, socket address errors, missing repair paths.
inline constexpr LUMORESULT LUMORESULT_INVALID_ARGUMENT = 5;
// The stream cannot do this (size and seek on a TCP stream), or it is not implemented.
inline constexpr LUMORESULT LUMORESULT_NOT_SUPPORTED = 6;
// Wrong state: file not open, socket not connected or already running, no socket layer.
inline constexpr LUMORESULT LUMORESULT_INVALID_STATE = 7;
// Fewer bytes were available than asked (read or seek past the end, short decompression).
inline constexpr LUMORESULT LUMORESULT_END_OF_DATA = 8;
// No room or no resources: static buffer full, allocation or resize failed, (de)compression
// failed, a length over its limit.
inline constexpr LUMORESULT LUMORESULT_OUT_OF_SPACE = 9;
// Unexpected format or protocol: wrong magic, wrong protocol version, unsupported URL scheme.
inline constexpr LUMORESULT LUMORESULT_BAD_FORMAT = 10;
// Any other socket error.
inline constexpr LUMORESULT LUMORESULT_UNKNOWN_ERROR = 11;
// The peer refused the connection.
inline constexpr LUMORESULT LUMORESULT_CONNECTION_REFUSED = 12;
// Aborted or cancelled, or the peer closed the connection.
inline constexpr LUMORESULT LUMORESULT_ABORTED = 13;
// A read that may return early ended after some bytes (the TCP stream counts it as success).
inline constexpr LUMORESULT LUMORESULT_PARTIAL_DATA = 14;

namespace LumoUtil
{
// The code's name as written above ("LUMORESULT_PARTIAL_DATA"), for error output of tools and
// logs; a value outside the table gives "LUMORESULT(<decimal>)".
std::string GetResultName(LUMORESULT code);
// What the code means, in words for a message a user reads ("the data ended early"); a value
// outside the table gives "an unknown failure (<decimal>)".
std::string DescribeResult(LUMORESULT code);
}
