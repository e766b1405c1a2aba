#include "platform/StartFailure.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <cctype>

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
        return std::string();
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
