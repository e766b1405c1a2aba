// The worker of one run: the headless patch run on its own thread, reporting to the frame through
// the frame's GuiBridge, then the finished event.
#pragma once

#include "app/APThread.h"
#include "app/run/PatchRun.h"

namespace LumoPatch {

class PatchThread : public APThread {
public:
    explicit PatchThread(MainFrame* owner);

    // The download progress of the run's patch task; any thread.
    PatchProgress GetProgress() { return m_run.GetProgress(); }
    float Progress() const override { return m_run.Progress(); }

protected:
    ExitCode GuardedEntry() override;

private:
    PatchRun m_run;
};

}  // namespace LumoPatch
