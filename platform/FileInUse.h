#pragma once
// Whether some other open descriptor (of any process, this one included) has a file open: the
// nearest Linux gets to a Windows open without sharing. A write lease can only be taken while
// nobody else has the file open, so taking and dropping one is the probe. It is best effort:
// leases are missing on some file systems and need ownership of the file (or CAP_LEASE).

#include <string>

namespace platform
{

enum class FileUse
{
    NotInUse,
    InUse,
    Unknown,  // the probe could not be made (no lease support, no rights, not a regular file)
};

// `path` is a native path; a symbolic link is not followed (it gives Unknown). A missing file
// gives Unknown with last error 2. Unknown is reported once per process on the debugger output.
FileUse ProbeFileInUse(const std::string& path);

}  // namespace platform
