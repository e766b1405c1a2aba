#pragma once
// A plain thread whose body runs under the crash guard (GuardedThreadEntry): a crash, a stack
// overflow or an exception nobody catches in the body writes the fatal dump and ends the process
// with status 255, as on the thread that started it. The window's threads get the same from
// wxGuardedThread; this one serves the code that has no toolkit (the patch run, the build query).
//
// A thread the system refuses (too many threads, no memory for a stack) is reported by Start, not
// thrown: the caller decides whether its work can go on without it.

#include <functional>
#include <string>
#include <thread>

namespace OS
{

class GuardedThread
{
public:
    GuardedThread() = default;
    // Joins a thread that was started and not joined yet.
    ~GuardedThread();
    GuardedThread(const GuardedThread&) = delete;
    GuardedThread& operator=(const GuardedThread&) = delete;

    // Runs body on a new thread. False when the thread could not be created: body never runs, and
    // error (when given) says why. Starting a thread that has been started and not joined is a
    // programming error that stops the process.
    bool Start(std::function<void()> body, std::string* error = nullptr);
    // Whether a started thread has not been joined yet.
    bool Started() const { return m_thread.joinable(); }
    // Waits for the body to end; nothing when no thread runs.
    void Join();

private:
    static void* Entry(void* self);

    std::function<void()> m_body;
    std::thread m_thread;
};

// For tests: while a refusal is set, every Start fails as if the system had no thread to give
// (errno EAGAIN). Null lets threads be created again.
using ThreadRefusal = bool (*)();
void SetThreadRefusal(ThreadRefusal refuse);

}  // namespace OS
