#pragma once
// The "debugger output" of the program: diagnostics meant for a developer watching the process.
// It goes to stderr when the environment variable LUMO_DEBUG_OUTPUT is set to anything but ""
// or "0" (read once), and to a hook that tests install to capture it.

#include <functional>
#include <string>

namespace platform
{

void WriteDebugOutput(const char* text);
void WriteDebugOutput(const std::string& text);
// Whether anything written now reaches someone (stderr is enabled or a hook is installed).
bool DebugOutputHasReader();

using DebugOutputHook = std::function<void(const std::string& text)>;

// Replaces the hook (an empty one removes it) and returns the previous one. The hook may run
// on any thread, never with a lock of ours held.
DebugOutputHook SetDebugOutputHook(DebugOutputHook hook);

}  // namespace platform
