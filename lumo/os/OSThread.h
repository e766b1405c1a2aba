#pragma once
// A thread object: Start runs Run (or a given function) on a new thread, Wait returns its exit
// code. Starting it again while its thread runs, or destroying it before its thread has ended,
// is a programming error that stops the process. A derived class must Wait in its own
// destructor: by the time this base destructor runs, the derived part that Run uses is gone.

#include <boost/noncopyable.hpp>

#include <cstdint>

#include "lumo/os/OS.h"

namespace OS
{

class Thread : private boost::noncopyable
{
public:
    Thread();
    virtual ~Thread();

    // The thread body; its result is the thread's exit code.
    virtual uint32_t Run();

    // Both throw OSException when the thread cannot be created (errno says why); true otherwise.
    bool Start();
    bool Start(ThreadFunction fn, void* arg);

    // 0 when no thread was started; otherwise waits for the end and returns the exit code
    // (259, still active, when it cannot be read). May be called again.
    uint32_t Wait();

protected:
    Handle m_threadhandle;  // null: no thread

private:
    static uint32_t ThreadProc(void* self);
    void ForgetEndedThread();
};

}  // namespace OS
