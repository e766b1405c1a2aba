// The base of every thread the application starts: its body runs under the crash guard, so a crash
// or an exception nobody catches writes the fatal dump and ends the process with status 255
// instead of tearing it down silently. Every such thread is joinable: its owner waits for it and
// deletes it, so no thread outlives the objects it reports to.
#pragma once

#include <wx/thread.h>

class wxGuardedThread : public wxThread {
public:
    wxGuardedThread() : wxThread(wxTHREAD_JOINABLE) {}

protected:
    // The thread body, supplied by each derived class.
    virtual ExitCode GuardedEntry() = 0;

private:
    ExitCode Entry() final;
};
