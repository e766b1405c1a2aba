#include "platform/NamedObjects.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <pthread.h>

#include <atomic>
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
constexpr size_t kMutexFileSize = 4;
constexpr size_t kEventFileSize = 16;

// Drops this process's presence; the last holder anywhere removes the name.
void CloseShared(int fd, const std::string& shmName)
{
    if (LockByte(fd, F_WRLCK, kPresenceByte, false))
        shm_unlink(shmName.c_str());
    close(fd);
}

class NamedMutex : public Mutex
{
public:
    NamedMutex(int fd, std::string shmName) : Mutex(AlwaysLocked{}), m_fd(fd), m_shmName(std::move(shmName)) {}

    ~NamedMutex() override { CloseShared(m_fd, m_shmName); }

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

// A named event's state lives in its shared file, as four little-endian u32 words that every
// process maps and changes with atomic operations:
//   0  signalled (0 or 1)
//   4  manual reset (0 or 1), fixed by the creator
//   8  pulses: how many pulses there have been
//   12 pulse token: 1 while a pulse of an auto-reset event waits to release one waiter elsewhere
// No process is told when another changes the state: while threads of this process wait, they
// look again every few milliseconds. A pulse releases the waiters of other processes that were
// waiting when it came (all of them, or one for auto reset) once they look.
class NamedEvent : public Event
{
public:
    NamedEvent(int fd, std::string shmName, uint32_t* words)
        : Event(std::atomic_ref<uint32_t>(words[1]).load() != 0, false),
          m_fd(fd),
          m_shmName(std::move(shmName)),
          m_words(words),
          m_seenPulses(Word(kPulses).load())
    {
    }

    ~NamedEvent() override
    {
        munmap(m_words, kEventFileSize);
        CloseShared(m_fd, m_shmName);
    }

    void Set() override
    {
        CoreLock lock;
        Word(kSignalled).store(1);
        NotifyLocked();
    }

    void Reset() override { Word(kSignalled).store(0); }

    void Pulse() override
    {
        CoreLock lock;
        m_pulsing = true;
        m_pulseTaken = false;
        NotifyLocked();
        m_pulsing = false;
        Word(kSignalled).store(0);
        if (IsManualReset() || !m_pulseTaken)
        {
            if (!IsManualReset())
                Word(kPulseToken).store(1);
            m_seenPulses = Word(kPulses).fetch_add(1) + 1;
        }
    }

    bool IsSet() const override { return Word(kSignalled).load() != 0; }

protected:
    bool IsSignalledLocked(pid_t) const override
    {
        if (m_pulsing)
            return true;
        // A wait that begins now is not released by an earlier pulse.
        if (!HasWaitersLocked())
            m_seenPulses = Word(kPulses).load();
        if (IsManualReset())
            return Word(kSignalled).load() != 0;
        // Taken here, where it is seen: another process may take it the next moment.
        uint32_t expected = 1;
        return Word(kSignalled).compare_exchange_strong(expected, 0);
    }

    bool AcquireLocked(pid_t) override
    {
        if (m_pulsing && !IsManualReset())
        {
            m_pulsing = false;
            m_pulseTaken = true;
        }
        return false;
    }

    void RefreshLocked(SteadyTime) override
    {
        if (!HasWaitersLocked())
            return;
        const uint32_t pulses = Word(kPulses).load();
        if (pulses != m_seenPulses)
        {
            m_seenPulses = pulses;
            uint32_t token = 1;
            if (IsManualReset() || Word(kPulseToken).compare_exchange_strong(token, 0))
            {
                m_pulsing = true;
                NotifyLocked();
                m_pulsing = false;
            }
        }
        if (Word(kSignalled).load() != 0)
            NotifyLocked();
    }

    SteadyTime NextRefreshLocked() const override
    {
        return HasWaitersLocked() ? std::chrono::steady_clock::now() + kPollInterval : SteadyTime::max();
    }

private:
    static constexpr size_t kSignalled = 0;
    static constexpr size_t kPulses = 2;
    static constexpr size_t kPulseToken = 3;

    std::atomic_ref<uint32_t> Word(size_t index) const { return std::atomic_ref<uint32_t>(m_words[index]); }

    const int m_fd;
    const std::string m_shmName;
    uint32_t* const m_words;
    mutable uint32_t m_seenPulses;
    bool m_pulsing = false;    // under the core lock: a pulse of this process is being handed out
    bool m_pulseTaken = false;  // an auto-reset pulse found its waiter here
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

// This process's own object under `name`, of `kind`. `answered` is false when the process has
// none; otherwise the result is final: the object (with `existed` and last error 183), or null
// for a name of the other kind (last error 6) or a mutex held exclusively (last error 5).
WaitableRef FindOwnLocked(const std::string& name, Kind kind, bool& existed, bool& answered)
{
    Entry* entry = nullptr;
    WaitableRef object = FindLocked(name, &entry);
    answered = object != nullptr;
    if (!object)
        return nullptr;
    if (entry->kind != kind)
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

enum class OpenResult
{
    Created,
    Existed,
    NotFound,
    Denied,
    Failed
};

// Opens the shared file of `shmName` and takes its presence lock; see the header.
OpenResult OpenShared(const std::string& shmName, bool create, bool exclusive, const unsigned char* fresh,
                      size_t freshSize, int& fdOut)
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
            if (ftruncate(fd, static_cast<off_t>(freshSize)) != 0 ||
                pwrite(fd, fresh, freshSize, 0) != static_cast<ssize_t>(freshSize) ||
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
        // Mutexes and events share one name space; each kind has a file size of its own.
        struct stat st{};
        if (fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(freshSize))
        {
            close(fd);
            SetLastError(kErrorInvalidHandle);
            return OpenResult::Failed;
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
    bool answered = false;
    if (WaitableRef object = FindOwnLocked(name, Kind::Mutex, existed, answered); answered)
        return object;
    int fd = -1;
    std::string shmName = SharedObjectName(name);
    const unsigned char fresh[kMutexFileSize] = {0, 0, 0, 0};
    OpenResult result = OpenShared(shmName, create, exclusive, fresh, sizeof fresh, fd);
    if (result != OpenResult::Created && result != OpenResult::Existed)
        return nullptr;
    auto object = std::make_shared<NamedMutex>(fd, shmName);
    Table()[name] = Entry{object, Kind::Mutex, exclusive && result == OpenResult::Created};
    existed = result == OpenResult::Existed;
    SetLastError(existed ? kErrorAlreadyExists : kErrorSuccess);
    return object;
}

WaitableRef CreateOrOpenEvent(const std::string& name, bool create, bool manualReset, bool initialState,
                              bool& existed)
{
    existed = false;
    std::lock_guard<std::mutex> guard(TableLock());
    bool answered = false;
    if (WaitableRef object = FindOwnLocked(name, Kind::Event, existed, answered); answered)
        return object;
    int fd = -1;
    std::string shmName = SharedObjectName(name);
    unsigned char fresh[kEventFileSize] = {};
    fresh[0] = initialState ? 1 : 0;
    fresh[4] = manualReset ? 1 : 0;
    OpenResult result = OpenShared(shmName, create, false, fresh, sizeof fresh, fd);
    if (result != OpenResult::Created && result != OpenResult::Existed)
        return nullptr;
    void* words = mmap(nullptr, kEventFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (words == MAP_FAILED)
    {
        SetLastErrorFromErrno(errno);
        CloseShared(fd, shmName);
        return nullptr;
    }
    auto object = std::make_shared<NamedEvent>(fd, shmName, static_cast<uint32_t*>(words));
    Table()[name] = Entry{object, Kind::Event, false};
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
    return CreateOrOpenEvent(name, true, manualReset, initialState, existed);
}

WaitableRef OpenNamedEvent(const std::string& name)
{
    bool existed = false;
    WaitableRef object = CreateOrOpenEvent(name, false, false, false, existed);
    if (object)
        SetLastError(kErrorSuccess);
    return object;
}

}  // namespace platform
