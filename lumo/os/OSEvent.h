#pragma once
// An unnamed event, created not signalled. Destroying it sets it first, so that no waiter is
// left blocked on an event that is gone.

#include "lumo/os/OS.h"

namespace OS
{

class Event
{
public:
    explicit Event(bool manualReset);  // throws "Failed to create the event"
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();    // throws "Failed to set the event"
    void Reset();  // throws "Failed to reset the event"
    void Wait();   // without limit

    const Handle& GetHandle() const { return m_handle; }

private:
    Handle m_handle;
};

}  // namespace OS
