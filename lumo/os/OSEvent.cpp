#include "lumo/os/OSEvent.h"

#include "lumo/os/OSException.h"

namespace OS
{

Event::Event(bool manualReset)
{
    try
    {
        m_handle = std::make_shared<platform::Event>(manualReset, false);
    }
    catch (const std::bad_alloc&)
    {
        throw OSException("Failed to create the event");
    }
}

Event::~Event()
{
    // Setting and closing cannot fail here; a destructor must not throw in any case.
    static_cast<platform::Event*>(m_handle.get())->Set();
}

void Event::Set()
{
    try
    {
        SetEvent(m_handle);
    }
    catch (const OSException&)
    {
        throw OSException("Failed to set the event");
    }
}

void Event::Reset()
{
    try
    {
        ResetEvent(m_handle);
    }
    catch (const OSException&)
    {
        throw OSException("Failed to reset the event");
    }
}

void Event::Wait()
{
    WaitForObject(m_handle, INFINITE);
}

}  // namespace OS
