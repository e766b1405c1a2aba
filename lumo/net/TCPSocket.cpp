#include "lumo/net/TCPSocket.h"

#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "lumo/diagnostics/Assert.h"
#include "lumo/net/LumoInternet.h"
#include "lumo/net/SocketError.h"
#include "platform/Waitable.h"

std::atomic<bool> g_socketExtensionsLoaded{false};

void LoadSocketExtensions(int)
{
    g_socketExtensionsLoaded.store(true);
}

namespace
{
constexpr uint32_t kNoThread = 0xFFFFFFFFu;

uint32_t CurrentThreadId()
{
    return static_cast<uint32_t>(platform::CurrentThreadId());
}

int64_t SteadySeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool IsUnderWay(uint32_t issued)
{
    return issued == 0 || issued == platform::kWsaIoPending;
}

// Out of buffers is waited out: a yield at first, then short sleeps, so the worker does not spin.
void BackOff(uint32_t tries)
{
    if (tries < 100)
        sched_yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

SocketAddress AddressOf(int fd, int (*query)(int, sockaddr*, socklen_t*))
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (fd < 0 || query(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return SocketAddress{};
    return SockAddrToAddress(address);
}
}  // namespace

TCPSocket::TCPSocket() : io(reinterpret_cast<uintptr_t>(this))
{
    for (int i = 0; i < USERLAND_OPERATION_CLASS_MAX; ++i)
    {
        m_currentUserlandThread[i].store(kNoThread);
        userlandCount[i].store(0);
    }
}

TCPSocket::~TCPSocket()
{
    Close();
    Assert(INVALID_SOCKET == m_socket, "INVALID_SOCKET == m_socket");
}

bool TCPSocket::Create(CPSocketManager* manager)
{
    Assert(INVALID_SOCKET == m_socket, "INVALID_SOCKET == m_socket");
    const int fd = platform::CreateStreamSocket();
    if (fd < 0)
        return false;
    m_socket.store(fd);
    if (!manager || !manager->Associate(*this))
    {
        Close();
        return false;
    }
    LoadSocketExtensions(fd);
    return true;
}

bool TCPSocket::AttachToPort(platform::CompletionPort& port)
{
    return io.Attach(port, m_socket.load());
}

void TCPSocket::EnterUserland(int userlandOperationClass)
{
    Assert(userlandOperationClass != USERLAND_OPERATION_CLASS_MAX,
           "userlandOperationClass != USERLAND_OPERATION_CLASS_MAX");
    Assert(IsInUserlandThread(), "IsInUserlandThread()");
    const uint32_t myThreadID = CurrentThreadId();
    const uint32_t wasThreadID = m_currentUserlandThread[userlandOperationClass].exchange(myThreadID);
    Assert(wasThreadID == kNoThread || wasThreadID == myThreadID, "wasThreadID == -1 || wasThreadID == myThreadID");
    ++userlandCount[userlandOperationClass];
}

void TCPSocket::LeaveUserland(int userlandOperationClass)
{
    Assert(userlandOperationClass != USERLAND_OPERATION_CLASS_MAX,
           "userlandOperationClass != USERLAND_OPERATION_CLASS_MAX");
    Assert(m_currentUserlandThread[userlandOperationClass] == CurrentThreadId(),
           "m_currentUserlandThread[userlandOperationClass] == ::GetCurrentThreadId()");
    const int count = --userlandCount[userlandOperationClass];
    Assert(count >= 0, "count >= 0");
    if (count == 0)
        m_currentUserlandThread[userlandOperationClass].store(kNoThread);
}

bool TCPSocket::IsUserlandSocketOperationInProgress(int userlandOperationClass) const
{
    if (userlandOperationClass != USERLAND_OPERATION_CLASS_MAX)
        return m_currentUserlandThread[userlandOperationClass] != kNoThread;
    return m_currentUserlandThread[0] != kNoThread || m_currentUserlandThread[1] != kNoThread;
}

bool TCPSocket::IsCurrentThreadInUserland(int userlandOperationClass) const
{
    const uint32_t me = CurrentThreadId();
    if (userlandOperationClass != USERLAND_OPERATION_CLASS_MAX)
        return m_currentUserlandThread[userlandOperationClass] == me;
    return m_currentUserlandThread[0] == me || m_currentUserlandThread[1] == me;
}

void TCPSocket::PostStart(IOOperation& operation, uint32_t code)
{
    operation.SetHandler(this);
    operation.m_operation = code;
    CPSocketManager* manager = GetManager();
    if (manager && manager->Post(this, 0, &operation))
        return;
    if (!manager)
        operation.SetState(IOOperation::STATE_POSTED);
    operation.SetState(IOOperation::STATE_FAILEDPOST);
    Fail(operation, manager ? platform::kWsaENoBufs : platform::kWsaNotInitialised);
    operation.Signal(this);
}

void TCPSocket::StartConnect(const SocketAddress& address, IOOperation& operation)
{
    EnterUserland(USERLAND_OPERATION_CLASS_READ);
    {
        std::lock_guard<std::mutex> lock(addressLock);
        remoteAddress = address;
    }
    PostStart(operation, IOOperation::IO_TCP_StartConnect);
    LeaveUserland(USERLAND_OPERATION_CLASS_READ);
}

void TCPSocket::StartRead(IOOperation& operation)
{
    EnterUserland(USERLAND_OPERATION_CLASS_READ);
    operation.bytesTransferred = 0;
    PostStart(operation, IOOperation::IO_TCP_StartRead);
    LeaveUserland(USERLAND_OPERATION_CLASS_READ);
}

void TCPSocket::StartWrite(IOOperation& operation)
{
    EnterUserland(USERLAND_OPERATION_CLASS_WRITE);
    operation.bytesTransferred = 0;
    PostStart(operation, IOOperation::IO_TCP_StartWrite);
    LeaveUserland(USERLAND_OPERATION_CLASS_WRITE);
}

void TCPSocket::StartDisconnect(IOOperation& operation)
{
    PostStart(operation, IOOperation::IO_TCP_StartDisconnect);
}

void TCPSocket::StartAccept(TCPSocket& socket, IOOperation& operation)
{
    EnterUserland(USERLAND_OPERATION_CLASS_READ);
    // Read by the worker only after the start packet, which the port's lock orders after this.
    acceptSocket = &socket;
    PostStart(operation, IOOperation::IO_TCP_StartAccept);
    LeaveUserland(USERLAND_OPERATION_CLASS_READ);
}

void TCPSocket::HandleOperation(IOOperation& operation, uint32_t systemError)
{
    Assert(IsInIOCPThread(), "IsInIOCPThread()");
    Assert(operation.m_operation == IOOperation::IO_TCP_StartDisconnect ||
               operation.m_operation == IOOperation::IO_TCP_Disconnect || IsUserlandSocketOperationInProgress(),
           "operation.m_operation == IOOperation::IO_TCP_StartDisconnect || operation.m_operation == "
           "IOOperation::IO_TCP_Disconnect || IsUserlandSocketOperationInProgress()");
    Assert(IOOperation::IO_TCP_Invalid != operation.m_operation, "IOOperation::IO_TCP_Invalid != operation.m_operation");
    Assert(NULL != GetManager(), "NULL != GetManager()");
    bool finished = false;
    switch (operation.m_operation)
    {
    case IOOperation::IO_TCP_StartConnect:
    case IOOperation::IO_TCP_Connect:
        finished = ConnectResponse(operation, systemError);
        break;
    case IOOperation::IO_TCP_StartAccept:
    case IOOperation::IO_TCP_Accept:
        finished = AcceptResponse(operation, systemError);
        break;
    case IOOperation::IO_TCP_Read:
    case IOOperation::IO_TCP_StartRead:
        finished = RecvResponse(operation, systemError);
        break;
    case IOOperation::IO_TCP_Write:
    case IOOperation::IO_TCP_StartWrite:
        finished = SendResponse(operation, systemError);
        break;
    case IOOperation::IO_TCP_StartDisconnect:
    case IOOperation::IO_TCP_Disconnect:
        finished = DisconnectResponse(operation, systemError);
        break;
    default:
        break;
    }
    if (finished)
        operation.Signal(this);
}

bool TCPSocket::Fail(IOOperation& operation, uint32_t systemError)
{
    operation.systemError = systemError;
    operation.m_error = MapSocketError(systemError);
    return true;
}

void TCPSocket::MarkConnected()
{
    connectedSince.store(SteadySeconds());
}

void TCPSocket::ReadLocalAddress()
{
    const SocketAddress local = AddressOf(io.Fd(), &getsockname);
    std::lock_guard<std::mutex> lock(addressLock);
    localAddress = local;
}

bool TCPSocket::ConnectResponse(IOOperation& operation, uint32_t systemError)
{
    Assert(IsInIOCPThread(), "IsInIOCPThread()");
    if (systemError != 0)
        return Fail(operation, systemError);
    if (operation.m_error != LUMORESULT_OK)
        return true;
    if (operation.m_operation == IOOperation::IO_TCP_StartConnect)
    {
        operation.m_operation = IOOperation::IO_TCP_Connect;
        operation.SetState(IOOperation::STATE_POSTED);
        const uint32_t issued = io.Connect(AddressToSockAddr(GetRemoteAddress()), &operation);
        if (IsUnderWay(issued))
            return false;
        operation.SetState(IOOperation::STATE_FAILEDPOST);
        return Fail(operation, issued);
    }
    MarkConnected();
    ReadLocalAddress();
    return true;
}

bool TCPSocket::RecvResponse(IOOperation& operation, uint32_t systemError)
{
    return TransferResponse(operation, systemError, true);
}

bool TCPSocket::SendResponse(IOOperation& operation, uint32_t systemError)
{
    return TransferResponse(operation, systemError, false);
}

bool TCPSocket::TransferResponse(IOOperation& operation, uint32_t systemError, bool receiving)
{
    Assert(IsInIOCPThread(), "IsInIOCPThread()");
    Assert(LUMORESULT_OK == operation.m_error || 0 == systemError, "LUMORESULT_OK == operation.m_error || ERROR_SUCCESS == error");
    const uint32_t issuedCode = receiving ? IOOperation::IO_TCP_Read : IOOperation::IO_TCP_Write;
    if (operation.AddBytesDone(operation.bytesTransferred) == operation.GetLength())
        return true;
    if (receiving && operation.GetBytesDone() > 0 && returnOnPartialData.load())
        operation.m_error = LUMORESULT_PARTIAL_DATA;
    if (operation.m_error != LUMORESULT_OK)
        return true;
    if (systemError != 0)
        return Fail(operation, systemError);
    // A completed receive that delivered nothing: the peer has closed its side.
    if (receiving && operation.bytesTransferred == 0 && operation.m_operation == issuedCode)
    {
        operation.m_error = LUMORESULT_ABORTED;
        return true;
    }
    operation.bytesTransferred = 0;
    operation.m_operation = issuedCode;
    operation.SetState(IOOperation::STATE_POSTED);
    const WSABUF& window = operation.NextWSABUF(0);
    const uint32_t issued =
        receiving ? io.Recv(window.buf, window.len, &operation) : io.Send(window.buf, window.len, &operation);
    if (IsUnderWay(issued))
        return false;
    if (issued == platform::kWsaENoBufs)
    {
        operation.SetState(IOOperation::STATE_CAUGHT);
        operation.m_operation = receiving ? IOOperation::IO_TCP_StartRead : IOOperation::IO_TCP_StartWrite;
        LumoInetInternal::PrintDebug(receiving ? "TCPSocket::RecvResponse> WSAENOBUFS!"
                                              : "TCPSocket::SendResponse> WSAENOBUFS!");
        BackOff(operation.noBufferRetries++);
        if (GetManager()->Post(this, 0, &operation))
            return false;
    }
    operation.SetState(IOOperation::STATE_FAILEDPOST);
    return Fail(operation, issued);
}

bool TCPSocket::DisconnectResponse(IOOperation& operation, uint32_t systemError)
{
    Assert(IsInIOCPThread(), "IsInIOCPThread()");
    if (operation.m_error != LUMORESULT_OK)
        return true;
    if (operation.m_operation != IOOperation::IO_TCP_Disconnect && systemError == 0)
    {
        operation.m_operation = IOOperation::IO_TCP_Disconnect;
        operation.SetState(IOOperation::STATE_POSTED);
        const uint32_t issued = io.Disconnect(&operation);
        if (IsUnderWay(issued))
            return false;
        operation.SetState(IOOperation::STATE_FAILEDPOST);
        systemError = issued;
    }
    connectedSince.store(-1);
    return Fail(operation, systemError);
}

bool TCPSocket::AcceptResponse(IOOperation& operation, uint32_t systemError)
{
    Assert(IsInIOCPThread(), "IsInIOCPThread()");
    if (systemError == 0 && operation.m_error == LUMORESULT_OK &&
        operation.m_operation == IOOperation::IO_TCP_StartAccept)
    {
        operation.m_operation = IOOperation::IO_TCP_Accept;
        operation.SetState(IOOperation::STATE_POSTED);
        const uint32_t issued = io.Accept(acceptSocket->io, &operation);
        if (IsUnderWay(issued))
            return false;
        operation.SetState(IOOperation::STATE_FAILEDPOST);
        systemError = issued;
    }
    TCPSocket& accepted = *acceptSocket;
    acceptSocket = nullptr;
    if (systemError != 0 || operation.m_error != LUMORESULT_OK)
        return systemError != 0 ? Fail(operation, systemError) : true;
    accepted.m_socket.store(accepted.io.Fd());
    accepted.SetManager(GetManager());
    accepted.MarkConnected();
    accepted.ReadLocalAddress();
    const SocketAddress remote = AddressOf(accepted.io.Fd(), &getpeername);
    {
        std::lock_guard<std::mutex> lock(accepted.addressLock);
        accepted.remoteAddress = remote;
    }
    return Fail(operation, 0);
}

LUMORESULT TCPSocket::Bind(const SocketAddress& address, int mode)
{
    EnterUserland(USERLAND_OPERATION_CLASS_READ);
    uint32_t error = platform::kWsaENotSock;
    {
        std::lock_guard<std::mutex> lock(descriptorLock);
        const int fd = m_socket.load();
        const int on = 1;
        const sockaddr_in to = AddressToSockAddr(address);
        if (fd < 0)
            error = platform::kWsaENotSock;
        else if (mode == 2 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
            error = platform::WinsockErrorFromErrno(errno);
        else if (bind(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
            error = platform::WinsockErrorFromErrno(errno);
        else
        {
            error = 0;
            const SocketAddress local = AddressOf(fd, &getsockname);
            std::lock_guard<std::mutex> addresses(addressLock);
            localAddress = local;
        }
    }
    LeaveUserland(USERLAND_OPERATION_CLASS_READ);
    return MapSocketError(error);
}

LUMORESULT TCPSocket::Listen(int backlog)
{
    EnterUserland(USERLAND_OPERATION_CLASS_READ);
    uint32_t error = platform::kWsaENotSock;
    {
        std::lock_guard<std::mutex> lock(descriptorLock);
        const int fd = m_socket.load();
        if (fd >= 0)
            error = listen(fd, backlog) == 0 ? 0 : platform::WinsockErrorFromErrno(errno);
    }
    LeaveUserland(USERLAND_OPERATION_CLASS_READ);
    return MapSocketError(error);
}

LUMORESULT TCPSocket::Shutdown(int how)
{
    // 0, 1 and 2 (receive, send, both) are the same numbers here.
    std::lock_guard<std::mutex> lock(descriptorLock);
    const int fd = m_socket.load();
    if (fd < 0)
        return MapSocketError(platform::kWsaENotSock);
    return shutdown(fd, how) == 0 ? LUMORESULT_OK : MapSocketError(platform::WinsockErrorFromErrno(errno));
}

void TCPSocket::Close()
{
    std::unique_lock<std::mutex> lock(closeLock);
    const int fd = m_socket.exchange(INVALID_SOCKET);
    if (fd != INVALID_SOCKET)
    {
        CPSocketManager* manager = GetManager();
        if (!manager)
        {
            // Never associated: no worker knows the descriptor.
            const linger abortive{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            close(fd);
            return;
        }
        if (IsInIOCPThread())
        {
            lock.unlock();
            CloseOnWorker();
            return;
        }
        closePending = true;
        if (!manager->PostClose(*this))
        {
            // The worker cannot be reached, so it cannot be using the descriptor either.
            lock.unlock();
            CloseOnWorker();
            return;
        }
    }
    // Also a second closer waits until the first one's close is done.
    closeDone.wait(lock, [this] { return !closePending; });
}

void TCPSocket::CloseOnWorker()
{
    {
        std::lock_guard<std::mutex> lock(descriptorLock);
        io.CloseAbortive();
    }
    connectedSince.store(-1);
    std::lock_guard<std::mutex> lock(closeLock);
    closePending = false;
    // Under the lock: a woken closer may destroy the socket as soon as it has the lock.
    closeDone.notify_all();
}

int TCPSocket::GetConnectTime() const
{
    const int64_t since = connectedSince.load();
    if (since < 0 || m_socket.load() == INVALID_SOCKET)
        return -1;
    return static_cast<int>(SteadySeconds() - since);
}

SocketAddress TCPSocket::GetLocalAddress() const
{
    std::lock_guard<std::mutex> lock(addressLock);
    return localAddress;
}

SocketAddress TCPSocket::GetRemoteAddress() const
{
    std::lock_guard<std::mutex> lock(addressLock);
    return remoteAddress;
}
