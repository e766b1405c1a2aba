#include "lumo/net/SegmentPipeline.h"

#include <cerrno>

namespace
{
// The disk can take nothing more: every later write would fail the same way, or leave zeros.
bool IsOutOfSpace(int systemError)
{
    return systemError == ENOSPC || systemError == EDQUOT;
}
} // namespace

SegmentPipelineResult ReceiveSegments(SegmentTransferOwner& owner, uint32_t total,
                                      const std::function<bool()>& keepGoing, const std::function<void()>& save,
                                      FileGrowthCheck* growth, SaveSchedule* schedule)
{
    constexpr size_t kSlots = 4;
    LumoAgentClientTask slots[kSlots];
    SegmentPipelineResult result;
    bool outOfSpace = false;
    // Ends the write of one slot: counts it when it succeeded, and hands what it did to growth.
    auto endWrite = [&](LumoAgentClientTask& slot) {
        const bool held = slot.IsBusy();
        SegmentWrite outcome;
        const bool ok = slot.WriteFileEnd(&outcome);
        if (growth)
            growth->Record(outcome);
        if (ok && held)
        {
            ++result.written;
            owner.CountWrittenSegment();
        }
        outOfSpace = outOfSpace || IsOutOfSpace(outcome.systemError);
        return ok;
    };
    size_t i = 0; // the slot the next record goes into
    while (keepGoing() && result.received < total)
    {
        if (!slots[i].ReceiveFile(owner))
        {
            result.failed = true;
            break;
        }
        ++result.received;
        if (schedule && schedule->Due())
            schedule->Save(save);
        // The slot received three passes ago finishes its write before the one received two
        // passes ago begins: one writer at a time, in receive order.
        const bool ok = endWrite(slots[(i + 1) % kSlots]) && slots[(i + 2) % kSlots].WriteFileBegin();
        i = (i + 1) % kSlots;
        if (!ok)
        {
            result.failed = true;
            break;
        }
    }
    // The slots still holding records, oldest first: they follow the one that would have been
    // received into next. On a full disk they are dropped unwritten (no write of theirs has begun:
    // one writer at a time, and the next begins only after the last one succeeded).
    for (size_t k = 1; k <= kSlots && !outOfSpace; ++k)
        if (!endWrite(slots[(i + k) % kSlots]))
            result.failed = true;
    // Without a door nothing was written, so nothing can be too long.
    if (growth && owner.GetDoor())
        result.cuts = growth->Enforce(owner.GetSummary(), *owner.GetDoor());
    save();
    return result;
}
