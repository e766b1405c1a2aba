#include "lumo/files/ChecksummedLines.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>

#include <cstdio>

namespace LumoUtil {

namespace {

std::string CrcHex(const std::string& payload)
{
    const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(payload.data()), static_cast<uInt>(payload.size()));
    char text[9];
    std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(crc & 0xFFFFFFFFUL));
    return text;
}

bool IsIntact(const std::string& line)
{
    return line.size() > 9 && line[8] == ' ' && CrcHex(line.substr(9)) == line.substr(0, 8);
}

}  // namespace

std::string ChecksummedLine(const std::string& payload)
{
    return CrcHex(payload) + " " + payload + "\n";
}

std::vector<FramedLine> SplitChecksummedLines(const std::string& bytes)
{
    std::vector<FramedLine> lines;
    size_t used = 0;
    for (size_t start = 0; start < bytes.size();) {
        const size_t end = bytes.find('\n', start);
        FramedLine line;
        line.number = static_cast<int>(lines.size() + 1);
        // An unterminated fragment is the torn last write: never intact.
        if (end != std::string::npos) {
            const std::string text = bytes.substr(start, end - start);
            line.intact = IsIntact(text);
            if (line.intact)
                line.payload = text.substr(9);
        }
        lines.push_back(std::move(line));
        if (lines.back().intact)
            used = lines.size();
        start = end == std::string::npos ? bytes.size() : end + 1;
    }
    lines.resize(used);
    return lines;
}

bool AppendChecksummedLines(int fd, const std::string& payloads)
{
    std::string lines;
    for (size_t start = 0; start < payloads.size();) {
        const size_t end = payloads.find('\n', start);
        lines += ChecksummedLine(payloads.substr(start, end - start));
        start = end + 1;
    }
    size_t done = 0;
    errno = 0;
    while (done < lines.size()) {
        const ssize_t n = ::write(fd, lines.data() + done, lines.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (done == lines.size() && ::fdatasync(fd) == 0)
        return true;
    if (errno == 0)
        errno = EIO;
    return false;
}

}  // namespace LumoUtil
