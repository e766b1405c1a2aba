#pragma once
// One socket operation in flight: what a userland thread asks of a socket (connect, accept, read,
// write, disconnect), posted to the completion port and carried through its overlapped calls by
// the worker until it is signalled. A blocking caller keeps it on its stack and waits on its
// event; the caller's buffer is used in place.
//
// States, each change checked by Assert:
//   UNUSED -> POSTED -> CAUGHT -> (POSTED -> CAUGHT)* -> SIGNALLED -> COMPLETE
//   POSTED -> FAILEDPOST -> SIGNALLED -> COMPLETE
// and it must be COMPLETE or UNUSED when destroyed.
//
// Threads: the poster writes the fields before posting (the port's lock orders them for the
// worker); the worker writes the outcome before setting the event, which publishes it to the
// waiter.

#include <atomic>
#include <cstdint>

#include "lumo/buffers/LumoResult.h"
#include "lumo/os/OS.h"
#include "platform/CompletionPort.h"

class CPHandler;

struct WSABUF
{
    uint32_t len = 0;
    uint8_t* buf = nullptr;
};

class IOOperation : public platform::Overlapped
{
public:
    enum : uint32_t
    {
        IO_TCP_Invalid = 0,
        IO_TCP_StartConnect = 1,
        IO_TCP_Connect = 2,
        IO_TCP_StartAccept = 3,
        IO_TCP_Accept = 4,
        IO_TCP_Read = 5,
        IO_TCP_Write = 6,
        IO_TCP_StartRead = 7,
        IO_TCP_StartWrite = 8,
        IO_TCP_StartDisconnect = 9,
        IO_TCP_Disconnect = 10,
    };

    enum : uint32_t
    {
        STATE_UNUSED = 0,
        STATE_POSTED = 1,
        STATE_FAILEDPOST = 2,
        STATE_CAUGHT = 3,
        STATE_SIGNALLED = 4,
        STATE_COMPLETE = 5,
        STATE_DESTROYED = 6,
    };

    using Callback = void (*)(void* argument, IOOperation& operation);

    // The event is created here; failure throws OSException.
    explicit IOOperation(bool autoDelete = false);
    virtual ~IOOperation();
    IOOperation(const IOOperation&) = delete;
    IOOperation& operator=(const IOOperation&) = delete;

    // Sets SIGNALLED, calls the callback, sets the event; an auto-delete operation is then
    // completed and deleted. The operation must not be touched afterwards by the signaller.
    virtual void Signal(void* argument);

    // Waits for the event without limit (a failed wait throws OSException), then COMPLETE.
    void Wait();

    // The caller's buffer. Not owned unless owned is set (for auto-delete operations, whose
    // buffer was allocated with new uint8_t[]): an owned buffer is freed by Reset and the
    // destructor. Zeroes the byte counts.
    void SetBuffer(uint32_t capacity, uint8_t* buffer, bool owned = false);
    void SetLength(uint32_t newLength) { length = newLength; }
    uint32_t GetLength() const { return length; }
    void ClearBuffer();
    // The window from bytesDone to length, at most max bytes when max is not 0.
    WSABUF& NextWSABUF(uint32_t max);
    // Worker only: counts bytes one completion moved, also into the operation's counter.
    uint32_t AddBytesDone(uint32_t count)
    {
        if (movedCounter && count > 0)
            movedCounter->fetch_add(count, std::memory_order_relaxed);
        return bytesDone += count;
    }
    // A counter the worker adds every completion's bytes to as they move, so that another thread
    // sees a long transfer's progress before it ends (null: none). It must outlive the operation.
    void SetMovedCounter(std::atomic<uint64_t>* counter) { movedCounter = counter; }
    uint32_t GetBytesDone() const { return bytesDone; }
    LUMORESULT GetError() const { return m_error; }
    CPHandler* GetHandler() const { return handler; }
    void SetHandler(CPHandler* owner) { handler = owner; }
    void SetCallback(Callback function) { callback = function; }
    void SetAutoDelete(bool value) { autoDelete = value; }
    const OS::Handle& GetEvent() const { return event; }
    bool IsInState(uint32_t wanted) const { return state == wanted; }
    bool IsDone() const { return done.load(std::memory_order_acquire); }
    // Back to UNUSED with no buffer, no outcome and the event cleared.
    void Reset();

    void SetState(uint32_t next);

    // "IO_TCP_Read" and so on; "IO_UNKNOWN" for a code outside the table.
    static const char* GetOperationName(uint32_t code);

    uint32_t bytesTransferred = 0;
    LUMORESULT m_error = LUMORESULT_OK;
    uint32_t systemError = 0;
    uint32_t m_operation = IO_TCP_Invalid;
    // Worker only: how often an out-of-buffers send or receive was tried again.
    uint32_t noBufferRetries = 0;

private:
    void FreeOwnedBuffer();

    bool autoDelete;
    std::atomic<bool> done{false};
    OS::Handle event;
    Callback callback = nullptr;
    WSABUF wsaBuffer;
    CPHandler* handler = nullptr;
    uint32_t capacity = 0;
    uint32_t length = 0;
    uint32_t bytesDone = 0;
    uint8_t* buffer = nullptr;
    bool ownsBuffer = false;
    std::atomic<uint64_t>* movedCounter = nullptr;
    uint32_t state = STATE_UNUSED;
};
