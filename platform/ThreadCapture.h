#pragma once
// Where another thread of this process is and how it got there. Nothing outside a thread can
// stop it and read its registers, so the thread is asked: a signal (kThreadCaptureSignal) sent to
// it alone runs a handler on it that records the interrupted instruction and stack pointer and
// walks its own stack from there (StackCapture.h), and the asking thread waits a bounded time for
// that answer. The walk is taken at once because the thread's stack moves on as soon as the
// handler returns.
//
// The target sees the signal like any other: a blocking call that the kernel does not restart
// after a handler (sleeps, poll, epoll_wait, ...) returns EINTR once.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/StackCapture.h"

namespace platform
{

// A real-time signal nothing else of ours uses; the handler is installed on the first capture.
int ThreadCaptureSignal();

// The most frames one capture records.
constexpr size_t kThreadCaptureFrames = 1024;
// How long a capture waits for the thread's answer unless told otherwise.
constexpr int kThreadCaptureTimeoutMs = 2000;

enum class ThreadCaptureResult
{
    Captured,
    Ended,     // no such thread in this process (it has ended, or never was one of ours)
    NoAnswer,  // the thread did not answer in time: it blocks the signal, or it is stopped
    Failed,    // the signal could not be set up or sent
};

struct ThreadCapture
{
    StackStart place;              // the interrupted instruction and its stack pointer
    std::vector<uint64_t> frames;  // place.pc first, then the return addresses, innermost first
};

// Captures `thread` (a thread id of this process, gettid numbering) and waits at most timeoutMs
// for it. On any result but Captured, `error` says what failed, naming the thread. Captures are
// serialised. (The calling thread answers too, from inside this function; CaptureReturnAddresses
// is the way to its own stack.)
ThreadCaptureResult CaptureThread(pid_t thread, int timeoutMs, ThreadCapture& capture, std::string& error);

}  // namespace platform
