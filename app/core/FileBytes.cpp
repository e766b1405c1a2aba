#include "app/core/FileBytes.h"

#include "platform/NativePath.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool ReadFileBytes(const std::wstring& path, std::string& bytes, size_t maxBytes)
{
    bytes.clear();
    const int fd = open(ToNativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char chunk[65536];
    bool ok = true;
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        if (bytes.size() + static_cast<size_t>(got) > maxBytes) {
            ok = false;
            break;
        }
        bytes.append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    return ok;
}
