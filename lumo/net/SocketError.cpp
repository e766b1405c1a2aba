#include "lumo/net/SocketError.h"

#include <cerrno>
#include <cstring>

#include "platform/OverlappedSocket.h"

LUMORESULT MapSocketError(uint32_t systemError)
{
    using namespace platform;
    switch (systemError)
    {
    case 0: return LUMORESULT_OK;
    case kWsaNetnameDeleted: return LUMORESULT_NETWORK_ERROR;
    case kWsaOperationAborted: return LUMORESULT_ABORTED;
    case kWsaEFault: return LUMORESULT_INVALID_ARGUMENT;
    case kWsaEInval:
    case kWsaEAlready:
    case kWsaENotSock: return LUMORESULT_INVALID_STATE;
    case kWsaEAfNoSupport:
    case kWsaEAddrNotAvail: return LUMORESULT_INVALID_ARGUMENT;
    case kWsaENetDown:
    case kWsaENetUnreach:
    case kWsaEConnReset:
    case kWsaETimedOut:
    case kWsaEHostUnreach: return LUMORESULT_NETWORK_ERROR;
    case kWsaEConnRefused: return LUMORESULT_CONNECTION_REFUSED;
    case kWsaNotInitialised: return LUMORESULT_INVALID_STATE;
    default: return LUMORESULT_UNKNOWN_ERROR;
    }
}

std::string DescribeSocketError(uint32_t systemError)
{
    using namespace platform;
    if (systemError == kWsaOperationAborted)
        return "the connection was closed by this program";
    if (systemError == kWsaNetnameDeleted)
        return "the network connection is gone";
    // An errno without a Winsock twin travels as 0x20000000 | errno.
    if ((systemError & 0x20000000u) != 0)
        return std::strerror(static_cast<int>(systemError & ~0x20000000u));
    // Each Winsock number back to the first errno that maps to it (platform/OverlappedSocket.cpp).
    for (int errnoValue : {ECONNREFUSED, ECONNRESET, ETIMEDOUT, ENETUNREACH, EHOSTUNREACH, ENETDOWN, EADDRNOTAVAIL,
                           EADDRINUSE, EAFNOSUPPORT, EFAULT, EINVAL, EALREADY, ENOTSOCK, ENOBUFS, EMFILE, ECONNABORTED,
                           EISCONN, ENOTCONN, ESHUTDOWN})
        if (WinsockErrorFromErrno(errnoValue) == systemError)
            return std::strerror(errnoValue);
    return "system error " + std::to_string(systemError);
}
