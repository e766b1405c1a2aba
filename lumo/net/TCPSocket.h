#pragma once
// A TCP socket driven by the completion port. Userland threads start operations (StartConnect,
// StartRead, StartWrite, StartDisconnect, StartAccept), which post a start packet; the worker
// issues the socket call, re-issues it until the whole requested length has moved, and signals
// the operation. Outcomes are LUMORESULT codes from MapSocketError.
//
// Userland classes: 0 covers connect, bind, read, listen and accept, 1 covers write. At most one
// thread at a time may have operations of a class in progress on a socket (Enter/LeaveUserland,
// checked by Assert), so one reader and one writer may work at once. A blocking caller holds its
// class from before the start until after its wait, so that the worker sees the operation as in
// progress.
//
// Close is abortive (the peer sees a reset) and may come from any thread: the worker does it,
// ending every parked operation with 995 (LUMORESULT_ABORTED), so no waiter is left behind and no
// call is made on a descriptor after it was closed. Once Close returns, nothing refers to the
// socket any more. A closed socket is not reused: a later connect fails, as it does after a
// graceful disconnect.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "lumo/buffers/LumoResult.h"
#include "lumo/net/CPSocketManager.h"
#include "lumo/net/IOOperation.h"
#include "lumo/net/SocketAddress.h"
#include "platform/OverlappedSocket.h"

constexpr int INVALID_SOCKET = -1;

// The extension functions of the socket library (connect, accept, accept addresses, disconnect,
// transmit): all present on this system. Loaded once per process.
void LoadSocketExtensions(int socket);
extern std::atomic<bool> g_socketExtensionsLoaded;

class TCPSocket : public CPHandler
{
public:
    enum
    {
        USERLAND_OPERATION_CLASS_READ = 0,
        USERLAND_OPERATION_CLASS_WRITE = 1,
        USERLAND_OPERATION_CLASS_MAX = 2,  // also "any class" in queries
    };

    TCPSocket();
    // Closes the socket when still open.
    ~TCPSocket() override;

    void HandleOperation(IOOperation& operation, uint32_t systemError) override;
    int GetHandle() const override { return m_socket.load(); }
    bool AttachToPort(platform::CompletionPort& port) override;
    void CloseOnWorker() override;

    // Makes the socket and associates it with manager; false on failure (nothing left open).
    virtual bool Create(CPSocketManager* manager);
    virtual void StartConnect(const SocketAddress& address, IOOperation& operation);
    virtual void StartRead(IOOperation& operation);
    virtual void StartWrite(IOOperation& operation);
    virtual void StartDisconnect(IOOperation& operation);

    // Worker side: true when the operation is finished (then signalled).
    virtual bool AcceptResponse(IOOperation& operation, uint32_t systemError);
    virtual bool ConnectResponse(IOOperation& operation, uint32_t systemError);
    virtual bool RecvResponse(IOOperation& operation, uint32_t systemError);
    virtual bool SendResponse(IOOperation& operation, uint32_t systemError);
    virtual bool DisconnectResponse(IOOperation& operation, uint32_t systemError);

    // mode 2: address reuse; 1: exclusive (binding is exclusive here anyway); 0: neither.
    LUMORESULT Bind(const SocketAddress& address, int mode);
    LUMORESULT Listen(int backlog);
    // acceptSocket takes the next connection (its own socket, if any, is replaced).
    void StartAccept(TCPSocket& acceptSocket, IOOperation& operation);
    LUMORESULT Shutdown(int how);
    void Close();

    // Seconds since the connection was made; -1 when not connected.
    int GetConnectTime() const;
    SocketAddress GetLocalAddress() const;
    SocketAddress GetRemoteAddress() const;
    void SetReturnOnPartialData(bool value) { returnOnPartialData.store(value); }
    void SetCreatorThreadId(uint32_t id) { creatorThreadId = id; }

    void EnterUserland(int userlandOperationClass);
    void LeaveUserland(int userlandOperationClass);
    bool IsUserlandSocketOperationInProgress(int userlandOperationClass = USERLAND_OPERATION_CLASS_MAX) const;
    bool IsCurrentThreadInUserland(int userlandOperationClass = USERLAND_OPERATION_CLASS_MAX) const;

private:
    bool IsInUserlandThread() const { return !IsInIOCPThread(); }
    // Posts a start packet; a failed post signals the operation at once.
    void PostStart(IOOperation& operation, uint32_t code);
    // The worker's common scheme of receive and send.
    bool TransferResponse(IOOperation& operation, uint32_t systemError, bool receiving);
    static bool Fail(IOOperation& operation, uint32_t systemError);
    void MarkConnected();
    void ReadLocalAddress();

    uint32_t creatorThreadId = 0xFFFFFFFFu;
    std::atomic<int> m_socket{INVALID_SOCKET};
    TCPSocket* acceptSocket = nullptr;  // worker side, between StartAccept and its completion
    std::atomic<bool> returnOnPartialData{false};
    // Written by the worker before it signals, or by a userland call of the class that reads them.
    mutable std::mutex addressLock;
    SocketAddress localAddress;
    SocketAddress remoteAddress;
    std::atomic<int64_t> connectedSince{-1};  // steady-clock seconds
    std::atomic<uint32_t> m_currentUserlandThread[USERLAND_OPERATION_CLASS_MAX];
    std::atomic<int> userlandCount[USERLAND_OPERATION_CLASS_MAX];

    // The worker's side of the descriptor.
    platform::OverlappedSocket io;
    // Held by userland calls that use the descriptor directly (bind, listen, shutdown) and by the
    // worker while it closes it, so that none of them meets a number already given to another file.
    std::mutex descriptorLock;
    // Close requests wait here for the worker.
    std::mutex closeLock;
    std::condition_variable closeDone;
    bool closePending = false;
};
