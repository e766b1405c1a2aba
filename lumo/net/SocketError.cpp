#include "lumo/net/SocketError.h"

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
