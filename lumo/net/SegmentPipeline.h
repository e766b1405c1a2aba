#pragma once
// The receive loop of the repair client: records arrive through four rotating slots, so that while
// one record is read from the server the two before it inflate and the one before those is
// written. Records are written in the order they arrived, one writer at a time.

#include <cstdint>
#include <functional>
#include <vector>

#include "lumo/net/FileGrowthCheck.h"
#include "lumo/net/LumoAgentClientTask.h"
#include "lumo/net/SaveSchedule.h"

struct SegmentPipelineResult
{
    uint32_t received = 0;
    // Records whose write succeeded (the owner is told of each one as it happens).
    uint32_t written = 0;
    // A record was refused, cut, or failed to inflate or to be written.
    bool failed = false;
    // The files growth found too long once the writes had ended, and cut back.
    std::vector<FileGrowthCheck::CutBack> cuts;
};

// Receives up to total records from the owner's stream while keepGoing() holds, calling save()
// through schedule after a record whenever the schedule says a save is due (never without one),
// then writes what is still in the slots and calls save() once more. A
// write that finds the disk full ends the run at once: the records still held are not written. Every
// write that ran is handed to growth (when given), in the order the writes happened, and growth's
// rule is enforced before that last save, on the files as the records left them.
SegmentPipelineResult ReceiveSegments(SegmentTransferOwner& owner, uint32_t total,
                                      const std::function<bool()>& keepGoing, const std::function<void()>& save,
                                      FileGrowthCheck* growth = nullptr, SaveSchedule* schedule = nullptr);
