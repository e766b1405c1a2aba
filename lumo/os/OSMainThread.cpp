#include <mutex>
#include <vector>

#include "lumo/os/OS.h"

namespace OS
{

namespace
{

// Real thread ids: every thread has its own, so the record tells threads apart. Meant for the
// main thread, but a small lock keeps other callers from corrupting it.
struct MainThreadRecord
{
    std::mutex lock;
    pid_t current = 0;  // none recorded
    std::vector<pid_t> earlier;
};

MainThreadRecord& Record()
{
    static MainThreadRecord* record = new MainThreadRecord;  // used until the very end
    return *record;
}

}  // namespace

void PushMainThread()
{
    MainThreadRecord& r = Record();
    std::lock_guard<std::mutex> guard(r.lock);
    r.earlier.push_back(r.current);
    r.current = platform::CurrentThreadId();
}

void PopMainThread()
{
    MainThreadRecord& r = Record();
    std::lock_guard<std::mutex> guard(r.lock);
    // A pop without a push leaves the record as it is.
    if (r.earlier.empty())
        return;
    r.current = r.earlier.back();
    r.earlier.pop_back();
}

bool IsMainThread()
{
    MainThreadRecord& r = Record();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.current != 0 && r.current == platform::CurrentThreadId();
}

}  // namespace OS
