#include "platform/StartFailure.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>

namespace platform
{
namespace
{

constexpr size_t kHeaderSize = 256;  // as much of a "#!" line as the kernel reads

// The interpreter as the kernel reads it from the "#!" line: blanks after "#!" skipped, then up
// to the next blank or the line's end (a carriage return stays part of it). Empty when the file
// has no such line.
std::string ReadInterpreter(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::string();
    char header[kHeaderSize];
    ssize_t length;
    while ((length = read(fd, header, sizeof header)) < 0 && errno == EINTR)
    {
    }
    close(fd);
    if (length < 2 || header[0] != '#' || header[1] != '!')
        return std::string();
    const std::string line(header + 2, static_cast<size_t>(length) - 2);
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos)
        return std::string();
    const size_t end = line.find_first_of(" \t\n", start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Control characters (the carriage return) written out, so the name can be read in a message.
std::string Visible(const std::string& name)
{
    std::string text;
    for (const char c : name)
    {
        if (c == '\r')
            text += "\\r";
        else if (static_cast<unsigned char>(c) < 0x20)
            text += "\\x" + std::string(1, "0123456789abcdef"[(c >> 4) & 0xF]) + "0123456789abcdef"[c & 0xF];
        else
            text += c;
    }
    return text;
}

uint64_t ReadLittleEndian(const unsigned char* bytes, size_t count)
{
    uint64_t value = 0;
    for (size_t i = count; i > 0; --i)
        value = value << 8 | bytes[i - 1];
    return value;
}

// The program loader a little-endian ELF program names (its PT_INTERP program header); empty
// when the file is no such program or names none. The header fields are read byte for byte.
std::string ReadElfLoader(const std::string& path)
{
    constexpr uint32_t kInterpreterHeader = 3;  // PT_INTERP
    constexpr uint64_t kLongestLoader = 4096;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::string();
    std::string loader;
    unsigned char header[64];
    const bool elf = pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
                     memcmp(header, "\x7f" "ELF", 4) == 0;
    if (elf && header[5] == 1 /* little-endian */ && (header[4] == 1 || header[4] == 2))
    {
        const bool wide = header[4] == 2;  // 64-bit
        const uint64_t tableOffset = wide ? ReadLittleEndian(header + 0x20, 8) : ReadLittleEndian(header + 0x1C, 4);
        const uint64_t entrySize = ReadLittleEndian(header + (wide ? 0x36 : 0x2A), 2);
        const uint64_t entries = ReadLittleEndian(header + (wide ? 0x38 : 0x2C), 2);
        unsigned char entry[56];
        for (uint64_t i = 0; i < entries && entrySize >= (wide ? 56u : 32u); ++i)
        {
            if (pread(fd, entry, entrySize > sizeof entry ? sizeof entry : entrySize,
                      static_cast<off_t>(tableOffset + i * entrySize)) < (wide ? 56 : 32))
                break;
            if (ReadLittleEndian(entry, 4) != kInterpreterHeader)
                continue;
            const uint64_t offset = wide ? ReadLittleEndian(entry + 8, 8) : ReadLittleEndian(entry + 4, 4);
            const uint64_t size = wide ? ReadLittleEndian(entry + 0x20, 8) : ReadLittleEndian(entry + 0x10, 4);
            if (size == 0 || size > kLongestLoader)
                break;
            std::string text(size, '\0');
            if (pread(fd, text.data(), size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size))
                loader = text.substr(0, text.find('\0'));
            break;
        }
    }
    close(fd);
    return loader;
}

bool IsWindowsPath(const std::string& name)
{
    return name.find('\\') != std::string::npos ||
           (name.size() >= 2 && isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':');
}

}  // namespace

std::string ExplainInterpreterFailure(const std::string& path, int error)
{
    if (error != ENOENT && error != EACCES)
        return std::string();
    // Refused for itself (no execute right): the plain reason is the right one.
    if (error == EACCES && access(path.c_str(), X_OK) != 0)
        return std::string();
    const std::string interpreter = ReadInterpreter(path);
    if (interpreter.empty())
    {
        // A program built for a system this one lacks (another architecture's loader, a 32-bit
        // program without the 32-bit libraries) is "missing" the same way.
        const std::string loader = error == ENOENT ? ReadElfLoader(path) : std::string();
        if (!loader.empty() && access(loader.c_str(), F_OK) != 0)
            return "its program loader \"" + Visible(loader) + "\" does not exist (a program built for another system)";
        return std::string();
    }
    const std::string named = "\"" + Visible(interpreter) + "\"";
    if (interpreter.back() == '\r')
        return "its \"#!\" line ends in a carriage return (a Windows line end), so its interpreter is " + named +
               ", which does not exist";
    if (IsWindowsPath(interpreter))
        return "its \"#!\" line names a Windows program as its interpreter: " + named;
    if (error == ENOENT && access(interpreter.c_str(), F_OK) != 0)
        return "its interpreter " + named + " (named on its \"#!\" line) does not exist";
    return "its interpreter " + named + " (named on its \"#!\" line) cannot be run: " + strerror(error);
}

}  // namespace platform
