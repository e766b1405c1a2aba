// The patcher's start-up after the process-wide services (crash handlers, dump name) are up: the
// command line, the install location, the working folder, the write-access test or the hand-over
// to an elevated copy, the window, install discovery, and whether a run starts at once, waits for
// "Apply Update" or cannot start at all. Everything outside the process comes in through
// StartupServices, so tests run it with doubles.
#pragma once

#include "app/PatchMainFrame.h"
#include "app/core/StartupDecisions.h"

#include <functional>
#include <string>
#include <vector>

namespace LumoPatch {

// What the command line tells the application object itself.
struct AppSettings {
    bool admin = false;
    bool debug = false;
    bool onExitGiven = false;
    std::wstring onExitCommand;
    std::wstring programFolder;  // the folder of the patcher's own file
};

struct StartupServices {
    std::vector<std::wstring> arguments;  // argv, the program first
    bool usageShown = false;              // the usage for "help" was printed before start-up
    std::wstring executablePath;          // absolute: the program's own file
    std::wstring workingFolder;           // where the program was started
    platform::Elevator* elevator = nullptr;
    AccessChecks accessChecks;
    std::function<void(const std::wstring& text, const std::wstring& caption)> messageBox;
    std::function<void(const std::wstring& folder)> changeDirectory;
    std::function<void(const AppSettings&)> runOnExitProgram;
    PatchMainFrameSeams frameSeams;
};

// True when the window is up and the event loop is to run; false when this process ends here (an
// elevated copy did the work, or the installation cannot be patched). The frame, once created, is
// the toolkit's top window.
bool RunStartup(AppSettings& settings, StartupServices& services);

// The error line of a start-up that has nothing to do.
inline constexpr wchar_t kNoValidOperation[] = L"No valid patch operation was specified. Patching aborted.";

}  // namespace LumoPatch
