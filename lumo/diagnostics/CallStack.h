#pragma once
// Call stacks: `StackWalker` records return addresses (innermost first)
// and turns them into frames (image, function, source file and line); `LogCallStack` writes the
// current stack to the system log. The tracking allocator keeps 18-frame captures with its
// allocations, the crash handlers and Assert log the failing thread's stack.
//
// Symbols are looked up only between Acquire and Release (the look-up, once set up, stays for
// the process). Walking and looking up are serialised by one walker lock. None of this is for
// signal context; platform/StackCapture.h is.
//
// Another thread of the process is captured by asking it (platform/ThreadCapture.h): a signal
// makes it record its place and walk its own stack at once, and the walk travels with the
// context, since the thread's stack moves on as soon as it goes on.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/StackCapture.h"
#include "platform/ThreadCapture.h"

// Where a walk starts: a place in a function that is still running and its stack pointer.
struct StackContext : platform::StackStart
{
    // 0 for a place of the capturing thread (Walk follows the stack from it); else the id of the
    // other thread captured, whose walk `frames` holds (pc first).
    pid_t thread = 0;
    std::shared_ptr<const std::vector<uint64_t>> frames;
};

// One symbolised frame. A fresh record (nothing known) has empty image and function, file
// "<unknown>" and line 0xFFFFFFFF.
struct StackFrameRecord
{
    std::wstring image;
    std::wstring function;
    std::wstring file = L"<unknown>";
    uint32_t line = 0xFFFFFFFF;
};

// The frame limits of the callers.
constexpr uint32_t kAllocationStackFrames = 18;
constexpr uint32_t kLogCallStackFrames = 64;
constexpr uint32_t kAllocatorMessageStackFrames = 1024;

class StackWalker
{
public:
    // Counts a user of the symbol look-up; the first one sets it up.
    static void Acquire();
    // Drops a user. The look-up stays set up in any case (`keep` is accepted for the callers that
    // ask for it): it cannot be released, and setting it up again would only cost time.
    static void Release(bool keep);
    // True once the symbol look-up is set up.
    static bool SymbolsReady();

    // The calling function's current place, as the start of a later Walk from the same function
    // (or one it calls).
    __attribute__((noinline)) static void CaptureContext(StackContext& context);
    // The current place of `thread` (a thread id of this process, gettid numbering), waiting at
    // most timeoutMs for its answer; the calling thread's own id captures as above. False with
    // `error` saying why ("thread <id> has ended ...", "... did not answer ...") and the context
    // left empty.
    __attribute__((noinline)) static bool CaptureContext(StackContext& context, pid_t thread, std::string& error,
                                                         int timeoutMs = platform::kThreadCaptureTimeoutMs);

    // Records up to `limit` (at most 65535) addresses from `start` outwards into `addresses`;
    // the first is start's own place. Returns the count. For another thread's context these are
    // the frames it recorded when it was captured.
    static uint16_t Walk(uint64_t* addresses, const StackContext& start, uint32_t limit);

    // One fresh record per address, filled where the look-up knows it.
    static void Symbolise(const uint64_t* addresses, uint16_t count, std::vector<StackFrameRecord>& frames);
    // Fills `frame` for one address; false (the record left as it was) when no symbol is known.
    static bool SymboliseFrame(uint64_t address, StackFrameRecord& frame);

    // Walk and Symbolise in one.
    static void CaptureAndSymbolise(std::vector<StackFrameRecord>& frames, const StackContext& start, uint32_t limit);
};

// Writes the current stack to the system log: one line "callstack: " with the addresses in
// hexadecimal (at most 64, the line kept below 511 characters), and with symbols one line
// "  image function [file:line]" per frame. The lines of one call stay together.
__attribute__((noinline)) void LogCallStack(bool withSymbols);
