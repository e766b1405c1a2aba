#pragma once
// Starting this program again with administrator rights ("runas" on the original platform).
//
// On Linux the only real obstacle is an installation folder owned by root, so the copy is started
// through pkexec:
//
//   pkexec /usr/bin/env DISPLAY=.. XAUTHORITY=.. LUMO_REGISTRY_ROOT=<resolved root> TMPDIR=..
//          LANG=.. <program> <arguments...>
//
// as an argument vector (no shell, no quoting). pkexec clears the environment, so what the copy
// needs is handed over explicitly: the registry root as this process resolved it (or root would
// read its own registry), the temporary folder's parent, and the display and language of the user
// (DISPLAY, XAUTHORITY and LANG only when set here). The environment variable LUMO_ELEVATOR
// chooses the launcher: unset, pkexec from PATH (no pkexec: no elevation); "none", no elevation;
// an absolute path, that program runs in pkexec's place with the same arguments and keeps our
// environment (a site's own launcher, or a test's recording stand-in). A launcher status of 126
// (the user dismissed the prompt) or 127 (not authorised) means refused.
//
// A graphical program running as root is refused by Wayland compositors; there the copy cannot
// open its window and ends with an error status, which the caller sees as a status of the copy.

#include <memory>
#include <string>
#include <vector>

namespace platform
{

struct ElevationResult
{
    enum class Outcome
    {
        Ran,            // the copy ran and ended; exitStatus holds its status
        CouldNotStart,  // no launcher, or it could not be started; error holds errno (0: none)
        Refused,        // the launcher refused (status 126 or 127)
    };
    Outcome outcome = Outcome::CouldNotStart;
    int exitStatus = 0;
    int error = 0;
    std::string reason;  // CouldNotStart: which launcher and why (empty when none was wanted)
};

class Elevator
{
public:
    virtual ~Elevator() = default;
    // Runs program (absolute, native) with arguments (native text) elevated and waits for it.
    virtual ElevationResult RunElevatedAndWait(const std::string& program, const std::vector<std::string>& arguments) = 0;
};

// The elevator LUMO_ELEVATOR chooses (see above).
std::unique_ptr<Elevator> MakeElevator();

// The "NAME=value" settings handed to the elevated copy, in the order above.
std::vector<std::string> ElevationEnvironment();

}  // namespace platform
