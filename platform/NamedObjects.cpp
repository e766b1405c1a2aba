#include "platform/NamedObjects.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <pthread.h>

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/LastError.h"
#include "platform/ShmFile.h"

namespace platform
{

namespace
{

constexpr off_t kPresenceByte = 0;
constexpr off_t kExclusiveByte = 1;
constexpr off_t kOwnershipByte = 2;
constexpr auto kPollInterval = std::chrono::milliseconds(5);

class NamedMutex : public Mutex
{
public:
    NamedMutex(int fd, std::string shmName) : Mutex(AlwaysLocked{}), m_fd(fd), m_shmName(std::move(shmName)) {}

    ~NamedMutex() override
    {
        // Last holder anywhere: the name goes with us.
        if (LockByte(m_fd, F_WRLCK, kPresenceByte, false))
            shm_unlink(m_shmName.c_str());
        close(m_fd);
    }

protected:
    bool IsSignalledLocked(pid_t tid) const override
    {
        if (!Mutex::IsSignalledLocked(tid))
            return false;
        if (m_processHeld)
            return true;
        if (!LockByte(m_fd, F_WRLCK, kOwnershipByte, false))
            return false;
        // Taken for this process; the core calls AcquireLocked right after.
        unsigned char owned = 0;
        m_remoteAbandoned = pread(m_fd, &owned, 1, 0) == 1 && owned == 1;
        owned = 1;
        ssize_t written = pwrite(m_fd, &owned, 1, 0);
        (void)written;
        m_processHeld = true;
        return true;
    }

    bool AcquireLocked(pid_t tid) override
    {
        bool abandoned = Mutex::AcquireLocked(tid) || m_remoteAbandoned;
        m_remoteAbandoned = false;
        return abandoned;
    }

    void FreedLocked(bool abandoned) override
    {
        if (!m_processHeld)
            return;
        if (!abandoned)
        {
            unsigned char owned = 0;
            ssize_t written = pwrite(m_fd, &owned, 1, 0);
            (void)written;
        }
        LockByte(m_fd, F_UNLCK, kOwnershipByte, false);
        m_processHeld = false;
    }

    // Another process gives no signal when it releases the mutex: waiters look again now and then.
    void RefreshLocked(SteadyTime) override
    {
        if (HasWaitersLocked() && !IsHeldLocked())
            NotifyLocked();
    }
    SteadyTime NextRefreshLocked() const override
    {
        if (HasWaitersLocked() && !IsHeldLocked())
            return std::chrono::steady_clock::now() + kPollInterval;
        return SteadyTime::max();
    }

private:
    const int m_fd;
    const std::string m_shmName;
    mutable bool m_processHeld = false;
    mutable bool m_remoteAbandoned = false;
};

enum class Kind
{
    Mutex,
    Event
};

struct Entry
{
    std::weak_ptr<Waitable> object;
    Kind kind;
    bool exclusive;
};

std::mutex& TableLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::map<std::string, Entry>& Table()
{
    static auto* table = new std::map<std::string, Entry>;
    return *table;
}

// A forked child is another process: it opens names afresh rather than through its parent's
// objects (whose lock descriptions it shares). Those objects are left alone, never closed, so
// that the child cannot remove a name its parent still holds.
void BeforeFork()
{
    TableLock().lock();
}
void AfterForkInParent()
{
    TableLock().unlock();
}
void AfterForkInChild()
{
    for (auto& [name, entry] : Table())
        if (WaitableRef object = entry.object.lock())
            new WaitableRef(object);  // never released in the child
    Table().clear();
    TableLock().unlock();
}

[[maybe_unused]] const bool g_forkHandled = pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild) == 0;

// The live object of this process under `name`, or null (a dead entry is dropped).
WaitableRef FindLocked(const std::string& name, Entry** entryOut)
{
    auto it = Table().find(name);
    if (it == Table().end())
        return nullptr;
    WaitableRef object = it->second.object.lock();
    if (!object)
    {
        Table().erase(it);
        return nullptr;
    }
    *entryOut = &it->second;
    return object;
}

enum class OpenResult
{
    Created,
    Existed,
    NotFound,
    Denied,
    Failed
};

// Opens the shared file of `shmName` and takes its presence lock; see the header.
OpenResult OpenShared(const std::string& shmName, bool create, bool exclusive, int& fdOut)
{
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        int fd = shm_open(shmName.c_str(), O_RDWR | (create ? O_CREAT : 0), 0600);
        if (fd < 0)
        {
            SetLastErrorFromErrno(errno);
            return errno == ENOENT ? OpenResult::NotFound : OpenResult::Failed;
        }
        if (LockByte(fd, F_WRLCK, kPresenceByte, false))
        {
            if (!StillNamed(fd, shmName))
            {
                close(fd);
                continue;
            }
            if (!create)
            {
                // Left behind by a process that died: nobody holds it.
                shm_unlink(shmName.c_str());
                close(fd);
                SetLastError(kErrorFileNotFound);
                return OpenResult::NotFound;
            }
            unsigned char fresh[4] = {0, 0, 0, 0};
            if (ftruncate(fd, sizeof fresh) != 0 || pwrite(fd, fresh, sizeof fresh, 0) != sizeof fresh ||
                (exclusive && !LockByte(fd, F_WRLCK, kExclusiveByte, false)) ||
                !LockByte(fd, F_RDLCK, kPresenceByte, false))
            {
                SetLastErrorFromErrno(errno);
                close(fd);
                return OpenResult::Failed;
            }
            fdOut = fd;
            return OpenResult::Created;
        }
        if ((errno != EAGAIN && errno != EACCES) || !LockByte(fd, F_RDLCK, kPresenceByte, true))
        {
            SetLastErrorFromErrno(errno);
            close(fd);
            return OpenResult::Failed;
        }
        if (!StillNamed(fd, shmName))
        {
            close(fd);
            continue;
        }
        if (OtherHolds(fd, F_RDLCK, kExclusiveByte))
        {
            close(fd);
            SetLastError(kErrorAccessDenied);
            return OpenResult::Denied;
        }
        fdOut = fd;
        return OpenResult::Existed;
    }
    SetLastError(kErrorBusy);
    return OpenResult::Failed;
}

WaitableRef CreateOrOpenMutex(const std::string& name, bool create, bool exclusive, bool& existed)
{
    existed = false;
    std::lock_guard<std::mutex> guard(TableLock());
    Entry* entry = nullptr;
    if (WaitableRef object = FindLocked(name, &entry))
    {
        if (entry->kind != Kind::Mutex)
        {
            SetLastError(kErrorInvalidHandle);
            return nullptr;
        }
        if (entry->exclusive)
        {
            SetLastError(kErrorAccessDenied);
            return nullptr;
        }
        existed = true;
        SetLastError(kErrorAlreadyExists);
        return object;
    }
    int fd = -1;
    std::string shmName = SharedObjectName(name);
    OpenResult result = OpenShared(shmName, create, exclusive, fd);
    if (result != OpenResult::Created && result != OpenResult::Existed)
        return nullptr;
    auto object = std::make_shared<NamedMutex>(fd, shmName);
    Table()[name] = Entry{object, Kind::Mutex, exclusive && result == OpenResult::Created};
    existed = result == OpenResult::Existed;
    SetLastError(existed ? kErrorAlreadyExists : kErrorSuccess);
    return object;
}

}  // namespace

std::string SharedObjectName(const std::string& name)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    for (unsigned char c : name)
    {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                     c == '_' || c == '-';
        if (plain)
        {
            escaped += static_cast<char>(c);
        }
        else
        {
            escaped += '%';
            escaped += kHex[c >> 4];
            escaped += kHex[c & 15];
        }
    }
    // A file name holds at most 255 bytes.
    if (escaped.size() > 200)
    {
        uint64_t hash = 14695981039346656037ull;  // FNV-1a of the whole name
        for (unsigned char c : name)
            hash = (hash ^ c) * 1099511628211ull;
        char tail[24];
        snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
        escaped = escaped.substr(0, 160) + tail;
    }
    return "/lumo." + escaped;
}

WaitableRef CreateNamedMutex(const std::string& name, bool exclusive, bool& existed)
{
    return CreateOrOpenMutex(name, true, exclusive, existed);
}

WaitableRef OpenNamedMutex(const std::string& name)
{
    bool existed = false;
    WaitableRef object = CreateOrOpenMutex(name, false, false, existed);
    if (object)
        SetLastError(kErrorSuccess);
    return object;
}

WaitableRef CreateNamedEvent(const std::string& name, bool manualReset, bool initialState, bool& existed)
{
    existed = false;
    std::lock_guard<std::mutex> guard(TableLock());
    Entry* entry = nullptr;
    if (WaitableRef object = FindLocked(name, &entry))
    {
        if (entry->kind != Kind::Event)
        {
            SetLastError(kErrorInvalidHandle);
            return nullptr;
        }
        existed = true;
        SetLastError(kErrorAlreadyExists);
        return object;
    }
    auto event = std::make_shared<Event>(manualReset, initialState);
    Table()[name] = Entry{event, Kind::Event, false};
    SetLastError(kErrorSuccess);
    return event;
}

WaitableRef OpenNamedEvent(const std::string& name)
{
    std::lock_guard<std::mutex> guard(TableLock());
    Entry* entry = nullptr;
    WaitableRef object = FindLocked(name, &entry);
    if (!object)
    {
        SetLastError(kErrorFileNotFound);
        return nullptr;
    }
    if (entry->kind != Kind::Event)
    {
        SetLastError(kErrorInvalidHandle);
        return nullptr;
    }
    return object;
}

}  // namespace platform
