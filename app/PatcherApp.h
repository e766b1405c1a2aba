// The patcher's application object: brings the process-wide services up, runs the start-up, and
// at the end starts the "onexit" program and tells the crash handlers that the end is a normal one.
#pragma once

#include "app/Startup.h"

#include <wx/app.h>

namespace LumoPatch {

class KestinPatcherApp : public wxApp {
public:
    KestinPatcherApp();

    // Shows the usage for "help" before the toolkit starts (which, without a display, ends the
    // process), then starts the toolkit.
    bool Initialize(int& argc, wxChar** argv) override;
    bool OnInit() override;
    // The event loop; after a stop signal ended the run, the process ends with 128 + the signal.
    int OnRun() override;
    int OnExit() override;
    // A crash on the GUI thread. Runs in signal context: the dump and a line on standard error,
    // never a window, then the process ends with status 255.
    void OnFatalException() override;

    // Starts the "onexit" program when one was given (waits at most a second).
    void RunOnExitProgram();
    static void RunOnExitProgram(const AppSettings& settings);

private:
    AppSettings m_settings;
    bool m_usageShown = false;
    bool m_socketLayerHeld = false;  // the application's own reference to the socket manager
};

}  // namespace LumoPatch
