#include "platform/LastError.h"

#include <cerrno>
#include <cstring>

namespace platform
{

namespace
{

thread_local uint32_t t_lastError = 0;

struct ErrorRow
{
    uint32_t code;
    int errnoValue;  // 0: no errno twin
    const char* text;
};

// The one table between errno and the Windows numbering. The first row of a code is the one
// its text comes from; several errno values may share a code.
const ErrorRow kErrors[] = {
    {kErrorSuccess, 0, "The operation completed successfully."},
    {kErrorInvalidFunction, ENOSYS, "Incorrect function."},
    {kErrorFileNotFound, ENOENT, "The system cannot find the file specified."},
    {kErrorPathNotFound, ENOTDIR, "The system cannot find the path specified."},
    {kErrorTooManyOpenFiles, EMFILE, "The system cannot open the file: too many files are open."},
    {kErrorTooManyOpenFiles, ENFILE, nullptr},
    {kErrorAccessDenied, EACCES, "Access is denied."},
    {kErrorAccessDenied, EPERM, nullptr},
    {kErrorAccessDenied, EISDIR, nullptr},
    {kErrorInvalidHandle, EBADF, "The handle is invalid."},
    {kErrorNotEnoughMemory, ENOMEM, "Not enough memory resources are available to process this command."},
    {kErrorWriteProtect, EROFS, "The media is write protected."},
    {kErrorSharingViolation, ETXTBSY, "The process cannot access the file because it is being used by another process."},
    {kErrorLockViolation, EAGAIN, "The process cannot access the file because another process has locked a portion of the file."},
    {kErrorNotSupported, EOPNOTSUPP, "The request is not supported."},
    {kErrorFileExists, EEXIST, "The file exists."},
    {kErrorInvalidParameter, EINVAL, "The parameter is incorrect."},
    {kErrorBrokenPipe, EPIPE, "The pipe has been ended."},
    {kErrorDiskFull, ENOSPC, "There is not enough space on the disk."},
    {kErrorDiskFull, EDQUOT, nullptr},
    {kErrorInsufficientBuffer, ERANGE, "The data area passed to a system call is too small."},
    {kErrorInvalidName, EILSEQ, "The filename, directory name, or volume label syntax is incorrect."},
    {kErrorNegativeSeek, 0, "An attempt was made to move the file pointer before the beginning of the file."},
    {kErrorDirNotEmpty, ENOTEMPTY, "The directory is not empty."},
    {kErrorBusy, EBUSY, "The requested resource is in use."},
    {kErrorAlreadyExists, 0, "Cannot create a file when that file already exists."},
    {kErrorFilenameTooLong, ENAMETOOLONG, "The filename or extension is too long."},
    {kErrorNoData, 0, "The pipe is being closed."},
    {kErrorNotOwner, 0, "Attempt to release mutex not owned by caller."},
    {kErrorMessageNotFound, 0, "The system cannot find message text for this message number."},
    {kErrorTooManyLinks, EMLINK, "An attempt was made to create more links on a file than the file system supports."},
    {kErrorTooManyLinks, ELOOP, nullptr},
    {kErrorTimeout, ETIMEDOUT, "This operation returned because the timeout period expired."},
};

constexpr uint32_t kErrnoBit = 0x20000000;

}  // namespace

uint32_t GetLastError()
{
    return t_lastError;
}

void SetLastError(uint32_t code)
{
    t_lastError = code;
}

uint32_t ErrorFromErrno(int errnoValue)
{
    if (errnoValue == 0)
        return kErrorSuccess;
    for (const ErrorRow& row : kErrors)
        if (row.errnoValue == errnoValue)
            return row.code;
    return kErrnoBit | static_cast<uint32_t>(errnoValue);
}

uint32_t SetLastErrorFromErrno(int errnoValue)
{
    uint32_t code = ErrorFromErrno(errnoValue);
    SetLastError(code);
    return code;
}

bool LookUpErrorText(uint32_t code, std::string& text)
{
    for (const ErrorRow& row : kErrors)
    {
        if (row.code == code && row.text)
        {
            text = row.text;
            return true;
        }
    }
    if ((code & 0xF0000000u) == kErrnoBit && (code & 0x0FFFFFFFu) != 0)
    {
        char buffer[256];
        // The GNU strerror_r returns the text, which may or may not be in the buffer.
        const char* message = strerror_r(static_cast<int>(code & 0x0FFFFFFFu), buffer, sizeof buffer);
        text = message;
        return true;
    }
    return false;
}

}  // namespace platform
