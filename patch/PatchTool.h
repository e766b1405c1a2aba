#pragma once
// The external programs in an installation's "bin" folder that rebuild a patched file from its
// backup and a difference file: the binary-patch tool for ordinary files, and the game's archive
// converter (command "patchapply") for ".ka" archives. They are started with an argument vector,
// never through a shell, so no path needs quoting; the Windows-style command line exists only for
// the user's messages. Their working folder is the tool folder, their standard input /dev/null,
// and their output is left alone (not captured), so a tool that writes a lot can never block on
// us. The exit code is the tool's answer; a tool ended by a signal reports 128 + the signal, so it
// never counts as success.
//
// The tool never gets a name of the installation: the patcher opens the backup (read-only) and
// creates the output itself, through the installation's door, and the tool receives the two as
// inherited descriptors under fixed numbers, named "/proc/self/fd/<n>" on its command line. A
// link or a file swapped in under either name while the tool runs cannot lead it elsewhere. The
// difference file lies in the run's own private folder and is given by its path.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Spawn.h"

namespace LumoUtil {
class InstallDoor;
}

inline constexpr wchar_t kPatchToolExe[] = L"kpatchl-w32.exe";
inline constexpr wchar_t kPatchToolFolder[] = L"bin";
inline constexpr char kArchivePatchCommand[] = "patchapply";

// The numbers under which the tool receives the backup and its output.
inline constexpr int kPatchToolBackupFd = 3;
inline constexpr int kPatchToolOutputFd = 4;

// How long a tool asked to stop (SIGTERM) gets before it is killed.
inline constexpr uint32_t kPatchToolTerminateGraceMs = 5000;

struct PatchToolCommand
{
    std::vector<std::string> argv;  // native, as the program receives them
    std::wstring commandLine;       // the Windows-style line, for messages, every path in "/" style:
                                    // the real names, not the descriptors' names
    std::wstring toolFolder;        // ends with a separator
    std::vector<platform::InheritedDescriptor> inherit;  // the backup and the output
};

// The patch tools of the installation a door holds (the run's), found the way every fixed name
// of an installation is, through that door: the "bin" folder and each tool under its own spelling
// when one entry matches it ignoring case ("Bin", "KACONVERTER.EXE"), the given spelling when none
// does. A name that two entries match is an error, kept for the moment the tool is needed.
struct InstalledPatchTools
{
    std::wstring folder;          // the tool folder, ending with "/"
    std::wstring patchTool;       // kpatchl-w32.exe in it
    std::wstring converter;       // KAConverter.exe in it
    bool converterInstalled = false;  // the converter's name is a file (or a link inside to one)
    std::wstring patchToolError;  // why the tool's name could not be found; empty when it was
    std::wstring converterError;  // the same for the converter
};

InstalledPatchTools FindPatchTools(const LumoUtil::InstallDoor& door);

// The tool's command for rebuilding target from backup and diff, as the user reads it:
//   ordinary file: "<folder>/kpatchl-w32.exe" "B" "D" "T"
//   archive:       "<folder>/KAConverter.exe" patchapply "B" "D" "T"
// and as the tool gets it: B and T are "/proc/self/fd/3" and "/proc/self/fd/4", the descriptors
// backupFd (open for reading) and targetFd (open for writing) handed over under those numbers.
// Both stay the caller's; they must stay open until the tool has ended.
PatchToolCommand MakePatchToolCommand(const InstalledPatchTools& tools, bool archive, const std::wstring& backup,
                                      int backupFd, const std::wstring& diff, const std::wstring& target,
                                      int targetFd);

struct PatchToolRun
{
    enum Outcome
    {
        kExited,     // exitCode holds the tool's answer
        kNotStarted, // error says why
        kCancelled,  // the keep-going check said stop; the tool was ended
    };
    Outcome outcome = kNotStarted;
    int exitCode = -1;  // the exit status; 128 + the signal that ended it; -1 when unknown
    std::string error;
};

// Starts the tool and waits for it, asking the patch engine's keep-going check every 100 ms. On a
// stop the tool gets SIGTERM and, when it is still there after graceMs, SIGKILL.
PatchToolRun RunPatchTool(const PatchToolCommand& command, uint32_t graceMs = kPatchToolTerminateGraceMs);
