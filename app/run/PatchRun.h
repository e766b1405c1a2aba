// One run of the patcher without a window: the pre-flight checks, then exactly one of the repair
// run, the local chain (patches appended to the program) or the remote chain (patch servers),
// with the asset-database update. The patch thread of the window runs one on its own thread; the
// headless driver runs one on the main thread. Everything the user sees goes through the RunHost.
#pragma once

#include "app/core/RunHost.h"
#include "patch/PatchTask.h"

#include <string>

namespace LumoPatch {

class PatchRun : public KestinPatchTask {
public:
    explicit PatchRun(RunHost& host);
    ~PatchRun() override;

    // The whole run up to its last log line ("Patching completed." or "Patching aborted.").
    // Returns the outcome. The caller then tells its host the run has finished.
    bool Run();

    // The patch task's log lines go to the host.
    void Log(int level, const std::string& text) override;
    void Log(int level, const std::wstring& text) override;

    RunHost& Host() { return m_host; }

private:
    RunHost& m_host;
};

}  // namespace LumoPatch
