#pragma once
// The calling thread's "last error" in the Windows numbering that the product's messages print
// and its callers compare against, mapped from errno by one table.

#include <cstdint>
#include <string>

namespace platform
{

enum : uint32_t
{
    kErrorSuccess = 0,
    kErrorInvalidFunction = 1,
    kErrorFileNotFound = 2,
    kErrorPathNotFound = 3,
    kErrorTooManyOpenFiles = 4,
    kErrorAccessDenied = 5,
    kErrorInvalidHandle = 6,
    kErrorNotEnoughMemory = 8,
    kErrorWriteProtect = 19,
    kErrorSharingViolation = 32,
    kErrorLockViolation = 33,
    kErrorNotSupported = 50,
    kErrorFileExists = 80,
    kErrorInvalidParameter = 87,
    kErrorBrokenPipe = 109,
    kErrorDiskFull = 112,
    kErrorInsufficientBuffer = 122,
    kErrorInvalidName = 123,
    kErrorNegativeSeek = 131,
    kErrorDirNotEmpty = 145,
    kErrorBusy = 170,
    kErrorAlreadyExists = 183,
    kErrorFilenameTooLong = 206,
    kErrorNoData = 232,
    kErrorNotOwner = 288,
    kErrorMessageNotFound = 317,
    kErrorTooManyLinks = 1142,
    kErrorTimeout = 1460,
};

uint32_t GetLastError();
void SetLastError(uint32_t code);

// The Windows number for an errno value. An errno without a Windows twin gives
// 0x20000000 | errno (the customer-code bit), so that no information is lost.
uint32_t ErrorFromErrno(int errnoValue);
// SetLastError(ErrorFromErrno(errnoValue)); returns the code.
uint32_t SetLastErrorFromErrno(int errnoValue);

// A text for the code, or false when there is none.
bool LookUpErrorText(uint32_t code, std::string& text);

}  // namespace platform
