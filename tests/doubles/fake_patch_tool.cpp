// Stand-in for the installation's binary-patch tool and archive converter. Tests copy this one
// program into an installation's "bin" folder under both names. It is called as
//
//   <tool> OLD DIFF OUT                  (the patch tool)
//   <tool> patchapply OLD DIFF OUT       (the converter)
//
// and rebuilds OUT from OLD and a difference file of its own simple format:
//
//   OLDMD5 <32 lower-case hex digits>\n   the digest OLD must have
//   <directive>\n ...                     optional fault injection, see below
//   DATA\n
//   <the new file's bytes, up to the end>
//
// Exit codes, as the engine reads them: 0 OUT written; 1 too few arguments, or OLD's digest is
// not the one named; 2 OLD cannot be read; 3 DIFF cannot be read or is malformed; 4 OUT cannot be
// opened for writing.
//
// Directives (so that one test can make one file fail):
//   EXIT <n>      exit with n after reading the files, writing nothing
//   GARBAGE       write wrong bytes to OUT and exit 0
//   PARTIAL_KILL  write half of OUT, then die of SIGKILL
//   HANG          sleep (almost) for ever before doing anything else
//   DELAY <ms>    wait that long before writing OUT
//   IGNORE_TERM   ignore SIGTERM (with HANG: only SIGKILL ends it)
//   CHATTY        write 1 MiB to standard output and to standard error first
//   SPAWN         start a grandchild that sleeps for a minute with our standard descriptors
//
// Call log: when the environment variable FAKE_PATCH_TOOL_LOG names a file, every call appends
// one record to it before doing anything else:
//
//   CALL <pid>
//   ARG <argument>        one line per argv entry, argv[0] first
//   CWD <folder>
//   FDS <fd> <fd> ...     descriptors open at start
//   STDIN EOF|DATA        whether standard input was at its end at once
//   OLD 0|1               whether OLD existed at start
//   OUT 0|1               whether OUT existed at start
//   GRANDCHILD <pid>      (SPAWN only, written once it runs)
//
// A race made certain: with LUMO_TEST_MODE=1, FAKE_PATCH_TOOL_SWAP_NAME=<path> and
// FAKE_PATCH_TOOL_SWAP_LINK=<target>, the double removes <path> and puts a symbolic link to
// <target> in its place as soon as it starts, before it opens anything: another program swapping
// a name the patcher works on while the tool runs.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lumo/buffers/Md5.h"

namespace
{

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool ReadWhole(const std::string& path, std::string& bytes)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bytes.clear();
    char buffer[65536];
    for (;;)
    {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0)
        {
            close(fd);
            return false;
        }
        if (got == 0)
            break;
        bytes.append(buffer, size_t(got));
    }
    close(fd);
    return true;
}

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0)
    {
        const ssize_t put = write(fd, data, size);
        if (put <= 0)
            return false;
        data += put;
        size -= size_t(put);
    }
    return true;
}

void AppendToLog(const std::string& text)
{
    const char* logPath = getenv("FAKE_PATCH_TOOL_LOG");
    if (logPath == nullptr || *logPath == '\0')
        return;
    const int fd = open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    WriteAll(fd, text.data(), text.size());
    close(fd);
}

std::string OpenDescriptors()
{
    std::vector<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return "?";
    while (dirent* entry = readdir(dir))
    {
        if (entry->d_name[0] == '.')
            continue;
        const int fd = atoi(entry->d_name);
        if (fd != dirfd(dir))
            fds.push_back(fd);
    }
    closedir(dir);
    std::sort(fds.begin(), fds.end());
    std::string text;
    for (int fd : fds)
        text += (text.empty() ? "" : " ") + std::to_string(fd);
    return text;
}

bool StdinAtEnd()
{
    pollfd fd = {STDIN_FILENO, POLLIN, 0};
    if (poll(&fd, 1, 0) <= 0)
        return false;  // nothing to read, not even the end: a terminal or an open pipe
    char byte;
    return read(STDIN_FILENO, &byte, 1) == 0;
}

void LogCall(int argc, char** argv, const std::string& oldPath, const std::string& outPath)
{
    std::string record = "CALL " + std::to_string(getpid()) + "\n";
    for (int i = 0; i < argc; ++i)
        record += std::string("ARG ") + argv[i] + "\n";
    char cwd[4096];
    record += std::string("CWD ") + (getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?") + "\n";
    record += "FDS " + OpenDescriptors() + "\n";
    record += std::string("STDIN ") + (StdinAtEnd() ? "EOF" : "DATA") + "\n";
    record += std::string("OLD ") + (!oldPath.empty() && Exists(oldPath) ? "1" : "0") + "\n";
    record += std::string("OUT ") + (!outPath.empty() && Exists(outPath) ? "1" : "0") + "\n";
    AppendToLog(record);
}

struct Diff
{
    std::string oldMd5;
    std::string content;
    bool hasExit = false;
    int exitCode = 0;
    bool garbage = false;
    bool partialKill = false;
    bool hang = false;
    int delayMs = 0;
    bool ignoreTerm = false;
    bool chatty = false;
    bool spawn = false;
};

bool ParseDiff(const std::string& bytes, Diff& diff)
{
    size_t pos = 0;
    for (;;)
    {
        const size_t end = bytes.find('\n', pos);
        if (end == std::string::npos)
            return false;  // no DATA line
        const std::string line = bytes.substr(pos, end - pos);
        pos = end + 1;
        if (line == "DATA")
            break;
        if (line.rfind("OLDMD5 ", 0) == 0)
            diff.oldMd5 = line.substr(7);
        else if (line.rfind("EXIT ", 0) == 0)
        {
            diff.hasExit = true;
            diff.exitCode = atoi(line.c_str() + 5);
        }
        else if (line == "GARBAGE")
            diff.garbage = true;
        else if (line == "PARTIAL_KILL")
            diff.partialKill = true;
        else if (line == "HANG")
            diff.hang = true;
        else if (line.rfind("DELAY ", 0) == 0)
            diff.delayMs = atoi(line.c_str() + 6);
        else if (line == "IGNORE_TERM")
            diff.ignoreTerm = true;
        else if (line == "CHATTY")
            diff.chatty = true;
        else if (line == "SPAWN")
            diff.spawn = true;
        else
            return false;
    }
    diff.content = bytes.substr(pos);
    return diff.oldMd5.size() == 32;
}

void Chatter()
{
    const std::string block(64 * 1024, 'x');
    for (int i = 0; i < 16; ++i)
    {
        WriteAll(STDOUT_FILENO, block.data(), block.size());
        WriteAll(STDERR_FILENO, block.data(), block.size());
    }
}

void StartGrandchild()
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        sleep(60);
        _exit(0);
    }
    if (pid > 0)
        AppendToLog("GRANDCHILD " + std::to_string(pid) + "\n");
}

int PatchFile(const std::string& oldPath, const std::string& diffPath, const std::string& outPath)
{
    std::string diffBytes;
    if (!ReadWhole(diffPath, diffBytes))
        return 3;
    Diff diff;
    if (!ParseDiff(diffBytes, diff))
        return 3;

    if (diff.ignoreTerm)
        signal(SIGTERM, SIG_IGN);
    if (diff.chatty)
        Chatter();
    if (diff.spawn)
        StartGrandchild();
    if (diff.hang)
    {
        for (int i = 0; i < 600; ++i)
            sleep(1);
    }

    std::string oldBytes;
    if (!ReadWhole(oldPath, oldBytes))
        return 2;
    if (diff.hasExit)
        return diff.exitCode;

    MD5 md5;
    md5.update(reinterpret_cast<const uint8_t*>(oldBytes.data()), uint32_t(oldBytes.size()));
    md5.finalize();
    char* hex = md5.hex_digest();
    const bool matches = diff.oldMd5 == hex;
    delete[] hex;
    if (!matches)
        return 1;

    if (diff.delayMs > 0)
        usleep(static_cast<useconds_t>(diff.delayMs) * 1000);
    const int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return 4;
    std::string content = diff.content;
    if (diff.garbage)
    {
        content = content.empty() ? std::string("garbage") : content;
        for (char& c : content)
            c = char(c ^ 0x5A);
    }
    if (diff.partialKill)
    {
        WriteAll(fd, content.data(), content.size() / 2);
        fsync(fd);
        raise(SIGKILL);
    }
    const bool written = WriteAll(fd, content.data(), content.size());
    if (close(fd) != 0 || !written)
        return 4;
    return 0;
}

}  // namespace

void SwapNameForLink()
{
    const char* mode = getenv("LUMO_TEST_MODE");
    const char* name = getenv("FAKE_PATCH_TOOL_SWAP_NAME");
    const char* target = getenv("FAKE_PATCH_TOOL_SWAP_LINK");
    if (mode == nullptr || strcmp(mode, "1") != 0 || name == nullptr || target == nullptr)
        return;
    if (unlink(name) != 0 || symlink(target, name) != 0)
        AppendToLog(std::string("SWAP FAILED ") + strerror(errno) + "\n");
}

int main(int argc, char** argv)
{
    // The converter is told its command first; the patch tool takes the three files at once.
    const int first = (argc > 1 && strcmp(argv[1], "patchapply") == 0) ? 2 : 1;
    const bool enough = argc - first >= 3;
    LogCall(argc, argv, enough ? argv[first] : "", enough ? argv[first + 2] : "");
    SwapNameForLink();
    if (!enough)
        return 1;
    return PatchFile(argv[first], argv[first + 1], argv[first + 2]);
}
