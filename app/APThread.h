// The worker of the main frame: a guarded thread that tells its owner frame when its body has
// ended (event id 2), and the patch engine's cancel check.
#pragma once

#include "app/GuardedThread.h"

#include <atomic>

namespace LumoPatch {

class MainFrame;

class APThread : public wxGuardedThread {
public:
    explicit APThread(MainFrame* owner);
    // Clears g_currentWorkerThread when it still names this thread.
    ~APThread() override;

    MainFrame* Owner() const { return m_owner; }
    // Creates and starts the thread (a seam: tests make it fail).
    virtual wxThreadError Start() { return Run(); }

    // The position of the stages that drive the gauge without a download (0 until they move it);
    // any thread may read it.
    virtual float Progress() const { return 0.0f; }

protected:
    // The last step of every body: posts the finished event (id 2) to the owner frame, once.
    ExitCode GuardedEntry() override;
    // Enters and leaves the owner frame's critical section. Also posts the finished event when a
    // body returned without doing so, so the frame never waits for a run that is over.
    void OnExit() override;

private:
    void PostFinished();

    MainFrame* m_owner;
    std::atomic<bool> m_finishedPosted{false};
};

// The most recently constructed worker; cleared when that worker is deleted.
extern std::atomic<APThread*> g_currentWorkerThread;

// The patch engine's keep-going check: false once the current worker is asked to end, or once the
// user has confirmed cancelling in the main frame (for the rest of the process).
bool KeepPatchingCallback();

}  // namespace LumoPatch
