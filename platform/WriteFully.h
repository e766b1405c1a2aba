#pragma once
// Writing a whole buffer to a file descriptor.
#include <cstddef>

namespace platform
{

// Writes all size bytes of data to fd, going on after partial writes and EINTR. False at the first
// failure (errno tells why) or when write takes nothing. Calls only write(2), so it may run in a
// signal handler.
bool WriteFully(int fd, const void* data, size_t size);

} // namespace platform
