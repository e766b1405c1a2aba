#pragma once
// The completion port of the socket layer and the process-wide manager that owns it with its one
// worker thread. The worker alone runs completion handlers and makes socket calls; every other
// thread posts operations (lumo/net/IOOperation.h) and waits for them.
//
// A packet is one of:
//   key 0, no operation           wake packet: the worker leaves its loop
//   key = handler, no operation   close request: the handler closes its socket on the worker
//   an operation                  its handler's HandleOperation runs with the packet's error

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lumo/os/OSThread.h"
#include "platform/CompletionPort.h"

class CPSocketManager;
class IOOperation;

// Something whose socket is associated with the port.
class CPHandler
{
public:
    CPHandler() = default;
    virtual ~CPHandler() = default;
    CPHandler(const CPHandler&) = delete;
    CPHandler& operator=(const CPHandler&) = delete;

    // Worker only: one dequeued packet of this handler's operation.
    virtual void HandleOperation(IOOperation& operation, uint32_t systemError) = 0;
    // The descriptor to associate with the port (-1 when none).
    virtual int GetHandle() const = 0;
    // Associates the handle with port; false when the system refuses it.
    virtual bool AttachToPort(platform::CompletionPort& port) = 0;
    // Worker only: a close request.
    virtual void CloseOnWorker() {}

    CPSocketManager* GetManager() const { return manager.load(std::memory_order_acquire); }
    void SetManager(CPSocketManager* owner) { manager.store(owner, std::memory_order_release); }

private:
    std::atomic<CPSocketManager*> manager{nullptr};
};

class IOCompletionPort
{
public:
    // concurrency is what the system may run at once; this port always runs one worker. A port
    // that cannot be made ends the process through Assert.
    explicit IOCompletionPort(int concurrency);
    virtual ~IOCompletionPort();
    IOCompletionPort(const IOCompletionPort&) = delete;
    IOCompletionPort& operator=(const IOCompletionPort&) = delete;

    void Close();
    bool Associate(CPHandler& handler);
    // False when the packet could not be queued.
    bool Post(uintptr_t key, uint32_t bytes, platform::Overlapped* overlapped);
    // Worker only: waits for the next packet; returns its error (0 on success).
    uint32_t GetStatus(uintptr_t& key, uint32_t& bytes, platform::Overlapped*& overlapped);

private:
    std::unique_ptr<platform::CompletionPort> iocpHandle;
};

class CPWorkerThread
{
public:
    // Starts the thread; throws OSException, its message saying why, when the system refuses it.
    explicit CPWorkerThread(CPSocketManager& owner);
    virtual ~CPWorkerThread();

    // Posts a wake packet and joins the thread.
    void Stop();

private:
    static uint32_t ThreadProc(void* self);
    void Run();

    CPSocketManager& manager;
    OS::Thread thread;
};

class CPSocketManager : public IOCompletionPort
{
public:
    // Exactly one worker: the worker's id is one process-wide value (g_iocpThreadId).
    explicit CPSocketManager(int threadCount);
    ~CPSocketManager() override;

    // Associates the handler's socket, with the handler as its completion key, and makes this
    // its manager.
    bool Associate(CPHandler& handler);
    // With an operation: sets it POSTED and queues it; false (the operation stays POSTED) when
    // it could not be queued. Without one: a bare packet.
    bool Post(CPHandler* key, uint32_t bytes, IOOperation* operation);
    // Asks the worker to close the handler's socket (see CPHandler::CloseOnWorker).
    bool PostClose(CPHandler& handler);

private:
    void AddWorkerThread();

    std::vector<std::unique_ptr<CPWorkerThread>> workers;
    std::mutex workersLock;
};

// The manager while any reference is held; null otherwise.
extern std::atomic<CPSocketManager*> g_socketManager;
// The worker's thread id, 0xFFFFFFFF while no worker runs.
extern std::atomic<uint32_t> g_iocpThreadId;

// Counted: the first call creates the manager with threadCount workers (which must be 1); later
// calls ignore threadCount. The application takes one reference for its life, each TCP stream one.
// False, with no reference taken and error (when given) saying why, when the system refuses the
// worker thread; a later call tries again.
bool AcquireSocketManager(int threadCount, std::string* error = nullptr);
// The last release stops the worker and destroys the manager.
void ReleaseSocketManager();
bool IsInIOCPThread();
