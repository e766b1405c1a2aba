#include "lumo/net/IOOperation.h"

#include "lumo/diagnostics/Assert.h"

IOOperation::IOOperation(bool autoDelete)
    : autoDelete(autoDelete), event(OS::CreateEvent(true, false, nullptr))
{
}

IOOperation::~IOOperation()
{
    SetState(STATE_DESTROYED);
    FreeOwnedBuffer();
}

void IOOperation::SetState(uint32_t next)
{
    switch (next)
    {
    case STATE_UNUSED:
        break;
    case STATE_POSTED:
        Assert(IsInState(STATE_UNUSED) || IsInState(STATE_CAUGHT), "IsInState(STATE_UNUSED) || IsInState(STATE_CAUGHT)");
        break;
    case STATE_FAILEDPOST:
    case STATE_CAUGHT:
        Assert(IsInState(STATE_POSTED), "IsInState(STATE_POSTED)");
        break;
    case STATE_SIGNALLED:
        Assert(IsInState(STATE_CAUGHT) || IsInState(STATE_FAILEDPOST),
               "IsInState(STATE_CAUGHT) || IsInState(STATE_FAILEDPOST)");
        break;
    case STATE_COMPLETE:
        Assert(IsInState(STATE_UNUSED) || IsInState(STATE_SIGNALLED),
               "IsInState(STATE_UNUSED) || IsInState(STATE_SIGNALLED)");
        break;
    case STATE_DESTROYED:
        Assert(IsInState(STATE_COMPLETE) || IsInState(STATE_UNUSED),
               "IsInState(STATE_COMPLETE) || IsInState(STATE_UNUSED)");
        break;
    default:
        Assert(false, "false");
        break;
    }
    state = next;
}

void IOOperation::Signal(void* argument)
{
    SetState(STATE_SIGNALLED);
    done.store(true, std::memory_order_release);
    if (callback)
        callback(argument, *this);
    if (autoDelete)
    {
        // Nobody waits for an auto-delete operation: it completes here, so that its destructor's
        // check holds.
        SetState(STATE_COMPLETE);
        OS::SetEvent(event);
        delete this;
        return;
    }
    // A blocking waiter may destroy the operation as soon as the event is set: keep the event
    // alive through our own reference and touch nothing of the operation after it.
    const OS::Handle keep = event;
    OS::SetEvent(keep);
}

void IOOperation::Wait()
{
    OS::WaitForObject(event, OS::INFINITE);
    SetState(STATE_COMPLETE);
}

void IOOperation::SetBuffer(uint32_t newCapacity, uint8_t* newBuffer, bool owned)
{
    FreeOwnedBuffer();
    capacity = newCapacity;
    buffer = newBuffer;
    ownsBuffer = owned;
    bytesDone = 0;
    bytesTransferred = 0;
}

void IOOperation::ClearBuffer()
{
    buffer = nullptr;
    ownsBuffer = false;
    capacity = 0;
}

WSABUF& IOOperation::NextWSABUF(uint32_t max)
{
    wsaBuffer.buf = buffer + bytesDone;
    wsaBuffer.len = length - bytesDone;
    if (max != 0 && wsaBuffer.len > max)
        wsaBuffer.len = max;
    return wsaBuffer;
}

void IOOperation::Reset()
{
    FreeOwnedBuffer();
    buffer = nullptr;
    capacity = length = bytesDone = bytesTransferred = 0;
    m_error = LUMORESULT_OK;
    systemError = 0;
    m_operation = IO_TCP_Invalid;
    noBufferRetries = 0;
    movedCounter = nullptr;
    handler = nullptr;
    done.store(false, std::memory_order_relaxed);
    OS::ResetEvent(event);
    state = STATE_UNUSED;
}

void IOOperation::FreeOwnedBuffer()
{
    if (ownsBuffer)
        delete[] buffer;
    buffer = nullptr;
    ownsBuffer = false;
}

const char* IOOperation::GetOperationName(uint32_t code)
{
    static const char* const names[] = {
        "IO_TCP_Invalid",   "IO_TCP_StartConnect", "IO_TCP_Connect",         "IO_TCP_StartAccept",
        "IO_TCP_Accept",    "IO_TCP_Read",         "IO_TCP_Write",           "IO_TCP_StartRead",
        "IO_TCP_StartWrite", "IO_TCP_StartDisconnect", "IO_TCP_Disconnect",
    };
    return code < sizeof names / sizeof names[0] ? names[code] : "IO_UNKNOWN";
}
