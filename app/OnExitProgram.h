// The program the "onexit" option names, started when the patcher ends (by the unelevated
// process only: an elevated copy never gets the option).
#pragma once

#include <cstdint>
#include <string>

namespace LumoPatch {

// Splits command as a Unix shell would split words (quotes group, no shell runs it) and starts it
// without waiting longer than waitMilliseconds for it to end. A first word without "/" names a file
// in programFolder when one of that name is there (a launcher passes a bare name of a program that
// sits beside the patcher), otherwise a program on PATH. An empty command starts nothing. When the
// start fails, "Error creating process, code: <code>" goes to standard error, the code in the
// system's error numbering (platform::ErrorFromErrno: 2 for a missing program, 5 for one that may
// not be run), and on the next line the program and why it could not start.
void StartOnExitProgram(const std::wstring& command, const std::wstring& programFolder,
                        uint32_t waitMilliseconds = 1000);

}  // namespace LumoPatch
