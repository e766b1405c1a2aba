#pragma once
// A recursive mutex that can also be waited for together with other objects, and its scoped
// lock. A thread that holds it may lock it again and must unlock it as often.

#include <boost/noncopyable.hpp>

#include "lumo/os/OS.h"

namespace OS
{

class Mutex : private boost::noncopyable
{
public:
    Mutex();  // throws "Failed to create the mutex"
    virtual ~Mutex();

    void Lock();
    // Throws "Failed to release the mutex" when the calling thread does not hold it.
    void Unlock();

    const Handle& GetHandle() const { return m_handle; }

private:
    Handle m_handle;
    platform::Mutex* m_mutex;  // the handle's object, without a cast on every call
};

class MutexLock : private boost::noncopyable
{
public:
    explicit MutexLock(Mutex& mutex);
    // Unlocks; a failure here is a programming error and stops the process (a destructor
    // must not throw).
    virtual ~MutexLock();

private:
    Mutex* m_mutex;
};

}  // namespace OS
