#include "sollex/IPCDatabase.h"

#include <unistd.h>

#include <atomic>
#include <memory>

#include "Kiln/Src/Kiln/KernelStandard/KilnFileStatus.h"
#include "Kiln/Src/Kiln/KernelStandard/SyncObject.h"
#include "platform/NamedObjects.h"
#include "platform/Waitable.h"
#include "sollex/SharedMemoryBlock.h"
#include "sollex/SollexLog.h"
#include "sollex/TaskDispatcher.h"

namespace
{

const char kNamePrefix[] = "09731AC6-B611-4e2a-B181-578073F64F24";
const char kDatabaseFile[] = "assets.sdx";
constexpr size_t kDatabaseFileLength = sizeof kDatabaseFile - 1;
constexpr uint32_t kAcquirePollMs = 50;

struct ModuleState
{
    uint32_t processId = 0;
    platform::WaitableRef mutex;  // non-null exactly while attached
    bool creator = false;
    std::string mappingName;  // referenced by the block object
    std::unique_ptr<SharedMemoryBlock> memory;
    IPCDatabaseBlock* block = nullptr;
    float requestTime = 0.0f;
    uint32_t cachedChange = kIPCNone;
};

ModuleState g_ipc;

// Other processes read and write the block at any moment: every access is one atomic word.
uint32_t Load(uint32_t& field)
{
    return std::atomic_ref<uint32_t>(field).load();
}
void Store(uint32_t& field, uint32_t value)
{
    std::atomic_ref<uint32_t>(field).store(value);
}
int8_t LoadCount()
{
    return std::atomic_ref<int8_t>(g_ipc.block->attachCount).load();
}
void StoreCount(int8_t value)
{
    std::atomic_ref<int8_t>(g_ipc.block->attachCount).store(value);
}
uint8_t LoadSuspended()
{
    return std::atomic_ref<uint8_t>(g_ipc.block->exclusiveSuspended).load();
}
void StoreSuspended(uint8_t value)
{
    std::atomic_ref<uint8_t>(g_ipc.block->exclusiveSuspended).store(value);
}

bool IsAlive(uint32_t pid)
{
    // 0 and 0xFFFFFFFF would address process groups; the kernel's test refuses them.
    return Kiln::IsProcessAlive(static_cast<pid_t>(pid));
}

bool Attached()
{
    return g_ipc.mutex != nullptr;
}

std::atomic<uint32_t> g_lockWaitMs{kIPCLockWaitMs};

// Holds the named mutex for a scope, when it comes free within the bound (a mutex whose holder
// died is free); the caller asks Held() and gives up its step otherwise, so that a tool that
// hangs while holding the mutex stalls nobody. Recursive for the holding thread.
class BlockLock
{
public:
    explicit BlockLock(const char* where)
    {
        const uint32_t bound = g_lockWaitMs.load();
        const uint32_t result = platform::WaitForOne(g_ipc.mutex, bound);
        m_held = result == platform::kWaitObject0 || result == platform::kWaitAbandoned0;
        if (!m_held)
            SollexLogMessage("%s> the database mutex was not free within %u ms\n", where, bound);
    }
    ~BlockLock()
    {
        if (m_held)
            static_cast<platform::Mutex*>(g_ipc.mutex.get())->Release();
    }
    BlockLock(const BlockLock&) = delete;
    BlockLock& operator=(const BlockLock&) = delete;

    bool Held() const { return m_held; }

private:
    bool m_held = false;
};

void AppendComponent(std::string& buffer, const std::string& component)
{
    if (!buffer.empty() && buffer.back() != '/' && buffer.back() != '\\')
        buffer += '/';
    size_t start = 0;
    while (start < component.size() && (component[start] == '/' || component[start] == '\\'))
        ++start;
    buffer.append(component, start, std::string::npos);
}

void TakeOwnershipLocked()
{
    Store(g_ipc.block->owner, g_ipc.processId);
    Store(g_ipc.block->requester, kIPCNone);
    g_ipc.requestTime = 0.0f;
}

// Under the mutex: clears an exclusive holder that is no longer alive, which would otherwise
// keep every tool out for as long as anybody keeps the block open.
void ClearDeadExclusiveHolderLocked(const char* where)
{
    const uint32_t holder = Load(g_ipc.block->exclusiveHolder);
    if (holder == 0 || holder == g_ipc.processId || IsAlive(holder))
        return;
    SollexLogMessage("%s> clearing dead exclusive holder (holder processID was %d)\n", where, static_cast<int>(holder));
    StoreSuspended(0);
    Store(g_ipc.block->exclusiveHolder, 0);
}

void Detach()
{
    if (g_ipc.block)
    {
        IPCDatabaseBlock& block = *g_ipc.block;
        if (Load(block.owner) == g_ipc.processId)
            Store(block.owner, kIPCNone);
        {
            // Without the mutex too: a process that hangs holding it is doing nothing with the
            // block, and roles left behind would keep every later attacher out.
            BlockLock hold("IPCShutdown");
            // A live process that has gone must not keep everyone waiting for it.
            if (Load(block.requester) == g_ipc.processId)
                Store(block.requester, kIPCNone);
            if (Load(block.exclusiveHolder) == g_ipc.processId)
            {
                StoreSuspended(0);
                Store(block.exclusiveHolder, 0);
            }
            if (g_ipc.creator)
            {
                Store(block.creator, kIPCNone);
                if (Load(block.layout) >= 1)
                    StoreCount(static_cast<int8_t>(LoadCount() - 1));
            }
        }
    }
    g_ipc.block = nullptr;
    g_ipc.memory.reset();
    g_ipc.mutex.reset();
    g_ipc.creator = false;
}

// Under the mutex, for a process that found the block made already: the attach-time rules.
// False when an exclusive holder keeps this process out.
bool JoinLocked(bool mutexCreatedHere, bool allowSuspendedExclusive)
{
    IPCDatabaseBlock& block = *g_ipc.block;
    ClearDeadExclusiveHolderLocked("IPCInit");
    if (Load(block.exclusiveHolder) != 0 && !(allowSuspendedExclusive && LoadSuspended() == 1))
        return false;
    if (mutexCreatedHere)
    {
        // Nobody had the mutex before us, yet the block is initialised: a process that opened
        // our mutex came in before we took it, initialised the block and counted us already.
        return true;
    }
    if (Load(block.layout) == 0 && Load(block.creator) == 0)
        IPCInitBlock();
    if (Load(block.layout) == 0)
        StoreCount(-1);
    else
        StoreCount(static_cast<int8_t>(LoadCount() + 1));
    return true;
}

}  // namespace

bool IPCMakeNames(const std::string& databasePath, std::string& folder, std::string& mutexName,
                  std::string& mappingName)
{
    std::string lower = databasePath;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    const size_t size = lower.size();
    if (size < kDatabaseFileLength + 1 || lower.compare(size - kDatabaseFileLength, kDatabaseFileLength, kDatabaseFile) != 0)
        return false;
    const char separator = lower[size - kDatabaseFileLength - 1];
    if (separator != '/' && separator != '\\')
        return false;
    folder = databasePath.substr(0, size - kDatabaseFileLength - 1);
    mutexName = kNamePrefix;
    AppendComponent(mutexName, lower.substr(0, size - kDatabaseFileLength - 1));
    for (char& c : mutexName)
        if (c == '\\')
            c = '/';
    mappingName = mutexName;
    AppendComponent(mappingName, "-ipc2");
    return true;
}

bool IPCInit(const char* databasePath, bool allowSuspendedExclusive)
{
    if (Attached())
        return true;
    std::string folder, mutexName, mappingName;
    if (!databasePath || !IPCMakeNames(databasePath, folder, mutexName, mappingName))
        return false;
    // Linux names keep their case: the folder is looked for as spelt, only the names are lowered.
    for (char& c : folder)
        if (c == '\\')
            c = '/';
    if (Kiln::KilnFileStatus(folder.c_str()) == 2)
        return false;

    g_ipc.processId = static_cast<uint32_t>(getpid());
    bool existed = false;
    platform::WaitableRef mutex = platform::CreateNamedMutex(mutexName, false, existed);
    if (!mutex)
        return false;
    g_ipc.mutex = mutex;
    g_ipc.creator = false;
    g_ipc.cachedChange = kIPCNone;
    g_ipc.requestTime = 0.0f;
    bool joined = true;
    {
        // Every attacher works under the mutex, so two attachers never both count or initialise.
        BlockLock hold("IPCInit");
        if (!hold.Held())
        {
            g_ipc.mutex.reset();  // nothing of the block was touched: nothing to leave
            return false;
        }
        g_ipc.mappingName = mappingName;
        g_ipc.memory = std::make_unique<SharedMemoryBlock>(g_ipc.mappingName.c_str(), sizeof(IPCDatabaseBlock));
        if (g_ipc.memory->Create())
            g_ipc.block = static_cast<IPCDatabaseBlock*>(g_ipc.memory->GetView());
        if (!g_ipc.block)
            joined = false;
        else if (!existed && Load(g_ipc.block->layout) == 0 && Load(g_ipc.block->creator) == 0)
            IPCInitBlock();
        else
            joined = JoinLocked(!existed, allowSuspendedExclusive);
    }
    if (!joined)
    {
        Detach();
        return false;
    }
    // The first may make this process creator, the second then clears dead entries.
    IPCIdle();
    IPCIdle();
    return true;
}

void IPCInitBlock()
{
    IPCDatabaseBlock& block = *g_ipc.block;
    Store(block.creator, g_ipc.processId);
    Store(block.owner, kIPCNone);
    Store(block.requester, kIPCNone);
    Store(block.changeCounter, 0);
    Store(block.layout, kIPCLayoutValue);
    StoreCount(1);
    Store(block.exclusiveHolder, 0);
    StoreSuspended(0);
    Store(block.ownerValue, 0);
    g_ipc.creator = true;
}

int32_t IPCGetAttachCount()
{
    return Attached() ? LoadCount() : 0;
}

bool IPCEnterExclusive()
{
    if (!Attached())
        return false;
    // Test and set under the mutex, so that two processes never both become the holder.
    BlockLock hold("IPCEnterExclusive");
    if (!hold.Held() || Load(g_ipc.block->exclusiveHolder) != 0 || LoadCount() > 1)
        return false;
    if (!IPCTryAcquire(true))
        return false;
    Store(g_ipc.block->exclusiveHolder, g_ipc.processId);
    return true;
}

void IPCLeaveExclusive()
{
    if (!Attached() || Load(g_ipc.block->exclusiveHolder) != g_ipc.processId)
        return;
    Store(g_ipc.block->exclusiveHolder, 0);
    if (Load(g_ipc.block->owner) == g_ipc.processId)
        Store(g_ipc.block->owner, kIPCNone);
}

void IPCShutdown()
{
    if (Attached())
        Detach();
}

void IPCIdle()
{
    if (!Attached())
        return;
    IPCDatabaseBlock& block = *g_ipc.block;
    const uint32_t self = g_ipc.processId;
    if (!g_ipc.creator)
    {
        const uint32_t creator = Load(block.creator);
        if (creator == kIPCNone || !IsAlive(creator))
            IPCCheckCreator();
        return;
    }
    const uint32_t owner = Load(block.owner);
    if (owner != kIPCNone && owner != self && !IsAlive(owner))
    {
        BlockLock hold("IPCIdle");
        if (hold.Held() && Load(block.owner) == owner)
        {
            SollexLogMessage("IPCIdle> clearing dead database owner (owner processID was %d)\n", static_cast<int>(owner));
            Store(block.owner, kIPCNone);
        }
    }
    const uint32_t requester = Load(block.requester);
    if (requester != kIPCNone && requester != self && !IsAlive(requester))
    {
        BlockLock hold("IPCIdle");
        if (hold.Held() && Load(block.requester) == requester)
        {
            SollexLogMessage("IPCIdle> clearing dead database requester (requester processID was %d)\n",
                             static_cast<int>(requester));
            Store(block.requester, kIPCNone);
        }
    }
    if (owner == self && requester == self)
    {
        BlockLock hold("IPCIdle");
        if (hold.Held() && Load(block.owner) == self && Load(block.requester) == self)
            Store(block.requester, kIPCNone);
    }
    const uint32_t holder = Load(block.exclusiveHolder);
    if (holder != 0 && holder != self && !IsAlive(holder))
    {
        BlockLock hold("IPCIdle");
        if (hold.Held())
            ClearDeadExclusiveHolderLocked("IPCIdle");
    }
}

bool IPCTryAcquire(bool registerAsRequester)
{
    if (!Attached())
        return false;
    IPCDatabaseBlock& block = *g_ipc.block;
    if (Load(block.owner) == g_ipc.processId)
        return true;
    BlockLock hold("IPCTryAcquire");
    if (!hold.Held())
        return false;
    const uint32_t requester = Load(block.requester);
    if (Load(block.owner) == kIPCNone && (requester == kIPCNone || requester == g_ipc.processId))
    {
        TakeOwnershipLocked();
        return true;
    }
    if (requester == kIPCNone && registerAsRequester)
        Store(block.requester, g_ipc.processId);
    return false;
}

void IPCAcquire()
{
    if (!Attached())
        return;
    IPCDatabaseBlock& block = *g_ipc.block;
    const uint32_t self = g_ipc.processId;
    for (;;)
    {
        if (Load(block.owner) == self)
            return;
        {
            BlockLock hold("IPCAcquire");
            if (!hold.Held())
                continue;  // the wait was the pause: ask again
            const uint32_t requester = Load(block.requester);
            if (Load(block.owner) == kIPCNone && (requester == kIPCNone || requester == self))
            {
                TakeOwnershipLocked();
                return;
            }
            if (requester == kIPCNone)
                Store(block.requester, self);
        }
        // Wait for our turn as requester.
        while (Load(block.requester) != self)
        {
            if (Load(block.requester) == kIPCNone)
            {
                BlockLock hold("IPCAcquire");
                if (hold.Held() && Load(block.requester) == kIPCNone)
                    Store(block.requester, self);
                continue;
            }
            SleepMs(kAcquirePollMs);
            IPCIdle();
        }
        // Then for the owner to go.
        while (Load(block.owner) != self)
        {
            if (Load(block.requester) != self)
                break;  // somebody cleared our request: ask again
            if (Load(block.owner) == kIPCNone)
            {
                BlockLock hold("IPCAcquire");
                if (hold.Held() && Load(block.owner) == kIPCNone)
                    TakeOwnershipLocked();
                continue;
            }
            SleepMs(kAcquirePollMs);
            IPCIdle();
        }
    }
}

void IPCRelease()
{
    if (Attached() && Load(g_ipc.block->owner) == g_ipc.processId)
        Store(g_ipc.block->owner, kIPCNone);
}

bool IPCIsOwner()
{
    return Attached() && Load(g_ipc.block->owner) == g_ipc.processId;
}

bool IPCIsRequesterAndOwner()
{
    if (!Attached() || Load(g_ipc.block->requester) != g_ipc.processId)
        return false;
    BlockLock hold("IPCIsRequesterAndOwner");
    return hold.Held() && Load(g_ipc.block->requester) == g_ipc.processId &&
           Load(g_ipc.block->owner) == g_ipc.processId;
}

bool IPCOwnerHasRequest()
{
    if (Attached() && Load(g_ipc.block->owner) == g_ipc.processId && Load(g_ipc.block->requester) != kIPCNone)
    {
        if (!(g_ipc.requestTime > 0.0f))
            g_ipc.requestTime = GetKernelClock();
        return true;
    }
    g_ipc.requestTime = 0.0f;
    return false;
}

float IPCRequestWaitTime()
{
    if (!IPCOwnerHasRequest())
        return 0.0f;
    return GetKernelClock() - g_ipc.requestTime;
}

uint32_t IPCNotifyChange()
{
    if (!Attached())
        return 0;
    // One atomic step, so that two processes changing at once both count.
    g_ipc.cachedChange = std::atomic_ref<uint32_t>(g_ipc.block->changeCounter).fetch_add(1) + 1;
    return g_ipc.cachedChange;
}

bool IPCHasChanged()
{
    return Attached() && g_ipc.cachedChange != Load(g_ipc.block->changeCounter);
}

void IPCSyncChange()
{
    if (Attached())
        g_ipc.cachedChange = Load(g_ipc.block->changeCounter);
}

bool IPCSuspendExclusive()
{
    if (!Attached() || Load(g_ipc.block->exclusiveHolder) != g_ipc.processId)
        return false;
    StoreSuspended(1);
    if (Load(g_ipc.block->owner) == g_ipc.processId)
        Store(g_ipc.block->owner, kIPCNone);
    return true;
}

bool IPCResumeExclusive()
{
    if (!Attached() || Load(g_ipc.block->exclusiveHolder) != g_ipc.processId || LoadCount() > 1)
        return false;
    StoreSuspended(0);
    return IPCTryAcquire(true);
}

void IPCSetOwnerValue(uint32_t value)
{
    if (Attached() && Load(g_ipc.block->owner) == g_ipc.processId)
        Store(g_ipc.block->ownerValue, value);
}

uint32_t IPCGetOwnerValue()
{
    if (!Attached() || Load(g_ipc.block->owner) == g_ipc.processId)
        return 0;
    return Load(g_ipc.block->ownerValue);
}

void IPCLock()
{
    if (Attached())
        platform::WaitForOne(g_ipc.mutex, platform::kInfinite);
}

void IPCUnlock()
{
    if (Attached())
        static_cast<platform::Mutex*>(g_ipc.mutex.get())->Release();
}

void IPCCheckCreator()
{
    if (!Attached())
        return;
    BlockLock hold("IPCCheckCreator");
    if (!hold.Held())
        return;
    const uint32_t creator = Load(g_ipc.block->creator);
    if (creator == kIPCNone || !IsAlive(creator))
    {
        Store(g_ipc.block->creator, g_ipc.processId);
        g_ipc.creator = true;
    }
}

void IPCSetLockWait(uint32_t milliseconds)
{
    g_lockWaitMs = milliseconds;
}

bool IPCReadBlock(IPCDatabaseBlock& copy)
{
    if (!Attached())
        return false;
    IPCDatabaseBlock& block = *g_ipc.block;
    copy = IPCDatabaseBlock{};
    copy.creator = Load(block.creator);
    copy.owner = Load(block.owner);
    copy.requester = Load(block.requester);
    copy.changeCounter = Load(block.changeCounter);
    copy.layout = Load(block.layout);
    copy.attachCount = LoadCount();
    copy.exclusiveHolder = Load(block.exclusiveHolder);
    copy.exclusiveSuspended = LoadSuspended();
    copy.ownerValue = Load(block.ownerValue);
    return true;
}
