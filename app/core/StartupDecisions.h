// The two decisions of start-up that need no window: whether this process may patch the
// installation or must hand over to an elevated copy of itself, and whether a run starts at once.
#pragma once

#include "app/core/PatcherOptions.h"
#include "platform/Elevator.h"

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// The arguments after the program for the elevated copy, in this order:
//   --admin [--repair] [--debug] [--server=URL]... [--] [[current build] <install path>]
// one "--server" per server (a server may hold ";"), the build and the install path when an
// install path is known (an empty parameter is a wrong command line; the copy then looks in the
// registry itself), and "--" only when a parameter would otherwise read as an option. The list
// file and the onexit program are not passed on: the servers travel as "--server" and this
// process runs onexit.
std::vector<std::wstring> BuildElevatedArguments(const PatcherOptions& options, bool debug);

enum class StartupAccess {
    Granted,          // the installation can be patched by this process
    ElevatedCopyRan,  // an elevated copy ran and has ended: run onexit and end
    ElevationFailed,  // the copy could not be started or was refused: show 132/134, run onexit, end
    Denied,           // already elevated (--admin or root) and still no access: show 132/134, end
    ReadOnlyFileSystem,  // no access, and no user could have it: show ReadOnlyInstallationText/134, end
};

struct AccessChecks {
    std::function<bool(const std::wstring& installPath)> writable;  // the write-access test
    uid_t effectiveUser = 0;
    // The installation lies on a read-only file system (IsOnReadOnlyFileSystem); asked only after
    // the write test failed. Not set: never.
    std::function<bool(const std::wstring& installPath)> readOnlyFileSystem;
};

// What the box and the run's log say instead of the text about a user account when the
// installation lies on a read-only file system.
std::wstring ReadOnlyInstallationText(const std::wstring& installPath);

// The write-access test on options.installPath; without access, an elevated copy of program
// (absolute) with BuildElevatedArguments (a relative install path made absolute against the working
// folder), unless this process is elevated already (admin, or effective user 0) or the
// installation lies on a read-only file system (which no user can write). Logs the copy's arguments to the system log ("parm: ...").
StartupAccess CheckAccessOrElevate(const PatcherOptions& options, bool admin, bool debug, const std::wstring& program,
                                   platform::Elevator& elevator, const AccessChecks& checks);

// The checks of this process: CheckAccessOrElevate's write test, geteuid() and
// IsOnReadOnlyFileSystem.
AccessChecks ProcessAccessChecks();

enum class RunDecision {
    StartNow,      // servers were given, or repair asked for without an applicable embedded patch
    WaitForApply,  // an embedded patch applies: the user presses "Apply Update"
    NothingToDo,   // disable "Apply Update" and say "No valid patch operation was specified. Patching aborted."
};

// The last step of start-up, after discovery.
RunDecision DecideRun(const PatcherOptions& options);
