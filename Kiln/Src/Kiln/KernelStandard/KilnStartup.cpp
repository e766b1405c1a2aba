#include "Kiln/Src/Kiln/KernelStandard/KilnStartup.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "Kiln/Src/Kiln/KernelStandard/LogChannel.h"
#include "Kiln/Src/Kiln/KernelStandard/StringData.h"
#include "platform/DebugOutput.h"

namespace Kiln
{

namespace
{

struct ExitTable
{
    std::mutex lock;
    KilnExitFunction entries[kKilnExitSlots] = {};
    uint32_t count = 0;
};

ExitTable& GetExitTable()
{
    static ExitTable* table = new ExitTable;  // used during exit: never destroyed
    return *table;
}

// Functions of the start-up list: none in this program.
constexpr void (*kStartupList[])() = {nullptr};

std::atomic<uint32_t> g_mainThreadId{0};
std::atomic<bool> g_shutDown{false};
std::atomic<InternedString*> g_rootName{nullptr};

bool StoreExit(KilnExitFunction fn)
{
    ExitTable& table = GetExitTable();
    std::lock_guard<std::mutex> hold(table.lock);
    if (table.count >= kKilnExitSlots)
    {
        platform::WriteDebugOutput("RegisterKilnExit: the kernel exit table is full (1024 entries); the function is not registered\n");
        return false;
    }
    table.entries[table.count++] = fn;
    return true;
}

void ReleaseRootName()
{
    GetStringTable()->Release(g_rootName.exchange(nullptr));
}

// The C library's locale names the system's code page differently: take the environment's
// character type, and UTF-8 when the environment gives only the plain C locale.
void SetCharacterTypeLocale()
{
    const char* name = std::setlocale(LC_CTYPE, "");
    if (!name || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0)
        std::setlocale(LC_CTYPE, "C.UTF-8");
}

void Initialise()
{
    RunStartupList();
    SetCharacterTypeLocale();
    g_mainThreadId = static_cast<uint32_t>(::gettid());
    GetStringTable();
    StoreExit(KilnShutdown);
    LogChannelsInit();
    g_rootName = GetStringTable()->InternCString("/");
    StoreExit(ReleaseRootName);
}

// The kernel's start-up object: the kernel starts during static initialisation.
const bool g_started = (KilnLibraryInit(), true);

}  // namespace

void KilnLibraryInit()
{
    static std::once_flag once;
    std::call_once(once, Initialise);
}

void RunStartupList()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (auto fn : kStartupList)
            if (fn)
                fn();
        std::atexit(RunKilnExitTable);
    });
}

bool RegisterKilnExit(KilnExitFunction fn)
{
    KilnLibraryInit();
    return fn ? StoreExit(fn) : false;
}

void RunKilnExitTable()
{
    ExitTable& table = GetExitTable();
    std::unique_lock<std::mutex> hold(table.lock);
    if (table.count == 0)
        return;
    // Should an entry call exit(), the C library runs this newest exit function first, and it
    // goes on with the entries that are left.
    hold.unlock();
    std::atexit(RunKilnExitTable);
    hold.lock();
    while (table.count > 0)
    {
        const KilnExitFunction fn = table.entries[--table.count];
        hold.unlock();
        fn();
        hold.lock();
    }
}

uint32_t KilnExitCount()
{
    ExitTable& table = GetExitTable();
    std::lock_guard<std::mutex> hold(table.lock);
    return table.count;
}

void KilnShutdown()
{
    GetStringTable()->Shutdown();
    g_shutDown = true;
    LogShutdown();
    StringDataShutdown();
}

bool IsKilnShutDown()
{
    return g_shutDown.load();
}

uint32_t KilnMainThreadId()
{
    return g_mainThreadId.load();
}

InternedString* KilnRootName()
{
    return g_rootName.load();
}

}  // namespace Kiln
