#include "patch/PatchCallbacks.h"

std::atomic<PatchSetTotalFunc> PatchSetTotalCallback{nullptr};
std::atomic<PatchKeepGoingFunc> PatchKeepGoingCallback{nullptr};
std::atomic<PatchMessageFunc> PatchMessageCallback{nullptr};

bool SetPatchCallbacks(PatchSetTotalFunc setTotal, PatchKeepGoingFunc keepGoing, PatchMessageFunc message)
{
    PatchSetTotalCallback = setTotal;
    PatchKeepGoingCallback = keepGoing;
    PatchMessageCallback = message;
    return true;
}

void PatchSetTotal(int total)
{
    if (PatchSetTotalFunc callback = PatchSetTotalCallback.load())
        callback(total);
}

bool PatchKeepGoing()
{
    PatchKeepGoingFunc callback = PatchKeepGoingCallback.load();
    return callback == nullptr || callback();
}

void PatchSendMessage(int level, const std::wstring& text)
{
    if (PatchMessageFunc callback = PatchMessageCallback.load())
        callback(level, text);
}
