#include "lumo/net/CPSocketManager.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "lumo/diagnostics/Assert.h"
#include "lumo/net/IOOperation.h"
#include "lumo/os/OSException.h"
#include "platform/Waitable.h"

std::atomic<CPSocketManager*> g_socketManager{nullptr};
std::atomic<uint32_t> g_iocpThreadId{0xFFFFFFFFu};

namespace
{
int g_socketManagerReferences = 0;

// Never destroyed: a release from a static destructor at exit still finds it.
std::mutex& SocketManagerLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}

uint32_t CurrentThreadId()
{
    return static_cast<uint32_t>(platform::CurrentThreadId());
}
}  // namespace

IOCompletionPort::IOCompletionPort(int) : iocpHandle(new platform::CompletionPort)
{
    Assert(iocpHandle->IsValid(), "iocpHandle != INVALID_HANDLE_VALUE");
}

IOCompletionPort::~IOCompletionPort()
{
    Close();
}

void IOCompletionPort::Close()
{
    iocpHandle.reset();
}

bool IOCompletionPort::Associate(CPHandler& handler)
{
    return iocpHandle && handler.AttachToPort(*iocpHandle);
}

bool IOCompletionPort::Post(uintptr_t key, uint32_t bytes, platform::Overlapped* overlapped)
{
    return iocpHandle && iocpHandle->Post(platform::CompletionPacket{key, bytes, overlapped, 0});
}

uint32_t IOCompletionPort::GetStatus(uintptr_t& key, uint32_t& bytes, platform::Overlapped*& overlapped)
{
    key = 0;
    bytes = 0;
    overlapped = nullptr;
    platform::CompletionPacket packet;
    iocpHandle->GetStatus(packet);
    key = packet.key;
    bytes = packet.bytes;
    overlapped = packet.overlapped;
    return packet.error;
}

CPWorkerThread::CPWorkerThread(CPSocketManager& owner) : manager(owner)
{
    try
    {
        thread.Start(&CPWorkerThread::ThreadProc, this);
    }
    catch (const OSException&)
    {
        // The system's reason, read before anything else can change errno.
        const int reason = errno;
        throw OSException(("the socket layer's worker thread was not created: " + std::string(strerror(reason))).c_str());
    }
}

CPWorkerThread::~CPWorkerThread()
{
    Stop();
}

void CPWorkerThread::Stop()
{
    manager.Post(nullptr, 0, nullptr);
    try
    {
        thread.Wait();
    }
    catch (...)
    {
    }
}

uint32_t CPWorkerThread::ThreadProc(void* self)
{
    g_iocpThreadId.store(CurrentThreadId());
    static_cast<CPWorkerThread*>(self)->Run();
    g_iocpThreadId.store(0xFFFFFFFFu);
    return 0;
}

void CPWorkerThread::Run()
{
    for (;;)
    {
        uintptr_t key = 0;
        uint32_t bytes = 0;
        platform::Overlapped* overlapped = nullptr;
        const uint32_t error = manager.GetStatus(key, bytes, overlapped);
        if (overlapped == nullptr)
        {
            if (key == 0)
            {
                if (error == 0)
                    return;
                continue;
            }
            reinterpret_cast<CPHandler*>(key)->CloseOnWorker();
            continue;
        }
        IOOperation& operation = *static_cast<IOOperation*>(overlapped);
        CPHandler* handler = operation.GetHandler();
        Assert(handler != nullptr, "handler != NULL");
        operation.SetState(IOOperation::STATE_CAUGHT);
        operation.bytesTransferred = bytes;
        handler->HandleOperation(operation, error);
    }
}

CPSocketManager::CPSocketManager(int count) : IOCompletionPort(count)
{
    Assert(count == 1, "threadCount == 1");
    for (int i = 0; i < count; ++i)
        AddWorkerThread();
}

CPSocketManager::~CPSocketManager()
{
    std::vector<std::unique_ptr<CPWorkerThread>> stopping;
    {
        std::lock_guard<std::mutex> lock(workersLock);
        stopping.swap(workers);
    }
    for (size_t i = 0; i < stopping.size(); ++i)
        Post(nullptr, 0, nullptr);
    for (auto& worker : stopping)
    {
        worker->Stop();
        worker.reset();
    }
    Close();
}

void CPSocketManager::AddWorkerThread()
{
    auto worker = std::make_unique<CPWorkerThread>(*this);
    std::lock_guard<std::mutex> lock(workersLock);
    workers.push_back(std::move(worker));
}

bool CPSocketManager::Associate(CPHandler& handler)
{
    std::lock_guard<std::mutex> lock(workersLock);
    if (!IOCompletionPort::Associate(handler))
        return false;
    handler.SetManager(this);
    return true;
}

bool CPSocketManager::Post(CPHandler* key, uint32_t bytes, IOOperation* operation)
{
    if (operation)
        operation->SetState(IOOperation::STATE_POSTED);
    return IOCompletionPort::Post(reinterpret_cast<uintptr_t>(key), bytes, operation);
}

bool CPSocketManager::PostClose(CPHandler& handler)
{
    return IOCompletionPort::Post(reinterpret_cast<uintptr_t>(&handler), 0, nullptr);
}

bool AcquireSocketManager(int threadCount, std::string* error)
{
    std::lock_guard<std::mutex> lock(SocketManagerLock());
    if (g_socketManagerReferences == 0)
    {
        try
        {
            g_socketManager.store(new CPSocketManager(threadCount));
        }
        catch (const OSException& failure)
        {
            if (error)
                *error = failure.what();
            return false;
        }
    }
    ++g_socketManagerReferences;
    return true;
}

void ReleaseSocketManager()
{
    std::lock_guard<std::mutex> lock(SocketManagerLock());
    if (g_socketManagerReferences <= 0)
        return;
    if (--g_socketManagerReferences == 0)
        delete g_socketManager.exchange(nullptr);
}

bool IsInIOCPThread()
{
    return CurrentThreadId() == g_iocpThreadId.load();
}
