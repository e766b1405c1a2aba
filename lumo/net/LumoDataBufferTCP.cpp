#include "lumo/net/LumoDataBufferTCP.h"

#include <string>

#include "lumo/net/ConsoleLine.h"
#include "platform/Waitable.h"

LumoDataBufferTCP::LumoDataBufferTCP() : socket(new TCPSocket)
{
    if (!HoldSocketManager())
        return;
    socket->SetCreatorThreadId(static_cast<uint32_t>(platform::CurrentThreadId()));
    if (!socket->Create(g_socketManager.load()))
        socket.reset();
}

LumoDataBufferTCP::LumoDataBufferTCP(TCPSocket* wrapped) : socket(wrapped)
{
    if (HoldSocketManager())
        connected.store(socket && socket->GetRemoteAddress().address != SocketAddress::kNone);
}

LumoDataBufferTCP::~LumoDataBufferTCP()
{
    if (socket)
    {
        socket->Close();
        socket.reset();
    }
    if (managerHeld)
        ReleaseSocketManager();
}

bool LumoDataBufferTCP::HoldSocketManager()
{
    std::string error;
    managerHeld = AcquireSocketManager(1, &error);
    if (!managerHeld)
    {
        LumoNet::PrintConsoleLine("No connection can be made: %s\n", error.c_str());
        socket.reset();
    }
    return managerHeld;
}

LUMORESULT LumoDataBufferTCP::ReadData(void* data, uint32_t length)
{
    return Transfer(data, length, true);
}

LUMORESULT LumoDataBufferTCP::WriteData(const void* data, uint32_t length)
{
    return Transfer(const_cast<void*>(data), length, false);
}

LUMORESULT LumoDataBufferTCP::Transfer(void* data, uint32_t length, bool reading)
{
    if (!socket)
        return LUMORESULT_INVALID_STATE;
    if (length == 0)
        return LUMORESULT_OK;
    const int userlandClass =
        reading ? TCPSocket::USERLAND_OPERATION_CLASS_READ : TCPSocket::USERLAND_OPERATION_CLASS_WRITE;
    IOOperation operation;
    operation.SetBuffer(length, static_cast<uint8_t*>(data));
    operation.SetLength(length);
    if (!reading)
        operation.SetMovedCounter(&bytesSent);
    // Held until after the wait, so that the worker sees the transfer in progress.
    socket->EnterUserland(userlandClass);
    {
        std::lock_guard<std::mutex> guard(lock);
        if (reading)
        {
            socket->SetReturnOnPartialData(returnOnPartialData.load());
            socket->StartRead(operation);
        }
        else
            socket->StartWrite(operation);
    }
    operation.Wait();
    socket->LeaveUserland(userlandClass);
    const LUMORESULT result = operation.GetError();
    if (reading && (result == LUMORESULT_OK || result == LUMORESULT_PARTIAL_DATA))
        bytesRead += operation.GetBytesDone();
    operation.ClearBuffer();
    return result;
}

LUMORESULT LumoDataBufferTCP::Connect(const SocketAddress& address)
{
    if (!socket || connected.load())
        return LUMORESULT_INVALID_STATE;
    const int userlandClass = TCPSocket::USERLAND_OPERATION_CLASS_READ;
    socket->EnterUserland(userlandClass);
    // The result is not needed: a socket that cannot bind fails its connect.
    socket->Bind(SocketAddress{0, 0}, 0);
    IOOperation operation;
    {
        std::lock_guard<std::mutex> guard(lock);
        socket->StartConnect(address, operation);
    }
    operation.Wait();
    socket->LeaveUserland(userlandClass);
    const LUMORESULT result = operation.GetError();
    connectError.store(result == LUMORESULT_OK ? 0 : operation.systemError);
    connected.store(result == LUMORESULT_OK);
    return result;
}

void LumoDataBufferTCP::Disconnect(bool abortive)
{
    connected.store(false);
    if (!socket)
        return;
    if (abortive)
    {
        std::lock_guard<std::mutex> guard(lock);
        socket->Close();
        return;
    }
    IOOperation operation;
    {
        std::lock_guard<std::mutex> guard(lock);
        socket->StartDisconnect(operation);
    }
    operation.Wait();
}

LUMORESULT LumoDataBufferTCP::Shutdown(int how)
{
    if (how < 0 || how > 2)
        how = 2;
    if (!socket)
        return LUMORESULT_INVALID_STATE;
    return socket->Shutdown(how);
}

SocketAddress LumoDataBufferTCP::GetLocalAddress() const
{
    return socket ? socket->GetLocalAddress() : SocketAddress{0, 0};
}

SocketAddress LumoDataBufferTCP::GetRemoteAddress() const
{
    return socket ? socket->GetRemoteAddress() : SocketAddress{0, 0};
}
