#pragma once
// Child programs with their output read through a pipe. `OS::Process` starts a program whose
// standard output and standard error share one pipe that we read; the caller can wait for it,
// read its exit code or terminate it (also from another thread while a read is blocked).
// `OS::RunProcess` runs a program to its end and returns everything it printed.
//
// The program path is wide and reaches the OS through ToNativePath (a bare name is looked up in
// PATH, as a Windows command line without a folder is searched for). The arguments are one 8-bit
// string written the way a Windows program's command line is (quotes, backslashes, see
// platform/CommandLineSplit.h); it is split into the child's argument vector, never cut, and each
// argument reaches the child as UTF-8 of its ToWide form. The child's standard input is
// /dev/null. Nothing kills the child when its object goes.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform
{
class SpawnedChild;
}

namespace OS
{

class Process
{
public:
    // Starts `exe` with `args`, optionally in `workingFolder` (empty: ours). Null when it could
    // not be started; the last error (platform/LastError.h) then says why, and `error` (when
    // given) holds the start's own message, which names the program and the reason. With
    // `ownProcessGroup` the child leads a process group of its own and Terminate ends all of it
    // (platform/Spawn.h), so what a script started cannot outlive a stop.
    static std::unique_ptr<Process> Start(const std::wstring& exe, const std::string& args,
                                          const std::wstring& workingFolder = std::wstring(),
                                          std::string* error = nullptr, bool ownProcessGroup = false);
    // The same with the arguments one by one, each handed on whole, whatever its characters.
    static std::unique_ptr<Process> Start(const std::wstring& exe, const std::vector<std::wstring>& arguments,
                                          const std::wstring& workingFolder = std::wstring(),
                                          std::string* error = nullptr, bool ownProcessGroup = false);

    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();  // Close

    // One read of up to 8192 bytes of the child's output, appended to `out` (NUL bytes are left
    // out). False at the end of the output: the pipe has closed, or the child has ended and all
    // it wrote has been read (a grandchild holding the pipe open does not count), or a failure.
    bool ReadOutput(std::string& out);
    // ReadOutput as text for the log: what the child wrote decoded by DecodeChildOutput, a
    // character cut between two reads kept for the next. False when nothing more is to come.
    bool ReadOutputText(std::wstring& out);
    // Standard error shares the output pipe, so there is nothing to read here: false at once.
    bool ReadError(std::string& out);
    // Waits up to `milliseconds` (0xFFFFFFFF: no limit); true when the child has ended.
    bool Wait(uint32_t milliseconds);
    // The child's exit code; 259 while it runs; 128 + the signal when a signal ended it (the
    // code given to Terminate when that was ours); -1 when it cannot be read.
    int GetExitCode();
    // Ends the child, which then reports `exitCode`. False when it had already been collected.
    bool Terminate(uint32_t exitCode);
    // Closes the pipe and the process watch and frees the read buffer. Further calls fail.
    void Close();

    uint32_t GetProcessId() const { return m_processId; }

private:
    Process();

    std::unique_ptr<platform::SpawnedChild> m_child;
    uint32_t m_processId = 0;
    std::unique_ptr<char[]> m_readBuffer;  // 8192 bytes and a terminator, made on the first read
    std::string m_textTail;                // ReadOutputText: the start of a character still cut off
};

// A child's output as text. A Linux program writes UTF-8, and the paths it prints are the UTF-8
// ones it was handed, in any script: valid UTF-8 is read as such. Bytes that are not (an older
// tool writing Windows-1252) are read with the 8-bit table (ToWide), as the whole piece.
std::wstring DecodeChildOutput(const std::string& bytes);

// Runs `exe` with `args` to its end and returns its output. A non-zero exit code puts
// "ERROR <code>\n" in front; a program that cannot be started gives "ERROR create-process\n".
std::string RunProcess(const std::wstring& exe, const std::string& args);

}  // namespace OS
