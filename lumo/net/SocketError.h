#pragma once
// The socket layer's one error table: a Winsock-style system error (platform/OverlappedSocket.h
// translates errno into these numbers) to the LUMORESULT its callers see.
//
//   0                                   -> 0
//   64 (the network name is gone)       -> 3  LUMORESULT_NETWORK_ERROR
//   995 (ended by our own close)        -> 13 LUMORESULT_ABORTED
//   10014 (bad address)                 -> 5  LUMORESULT_INVALID_ARGUMENT
//   10022, 10037, 10038 (invalid, already under way, not a socket) -> 7 LUMORESULT_INVALID_STATE
//   10047, 10049 (family, address not available) -> 5
//   10050, 10051, 10054, 10060, 10065 (network down or unreachable, reset, timed out, host
//                                        unreachable) -> 3
//   10061 (refused)                     -> 12 LUMORESULT_CONNECTION_REFUSED
//   10093 (sockets not started)         -> 7
//   anything else                       -> 11 LUMORESULT_UNKNOWN_ERROR

#include <cstdint>
#include <string>

#include "lumo/buffers/LumoResult.h"

LUMORESULT MapSocketError(uint32_t systemError);

// The system's words for a Winsock-style error ("Connection refused"), as a user reads them.
std::string DescribeSocketError(uint32_t systemError);
