// The global operator new and delete of the program that links this file: every form goes to
// the process-wide DebugAllocator, except the over-aligned ones, which take aligned_alloc/free
// untracked (they are rare, and the tables key blocks by malloc's addresses).
//
// Tracking starts from the executable's pre-initialisation array, before any shared library's
// static initialiser runs; the allocator's exception filter follows before the executable's own
// static initialisers (init_priority 101) (DebugAllocatorFilter.h). Blocks made before main are
// tracked, so that their frees are known, but never reported as leaks; so are those made by the
// static initialisers of libraries loaded later, which run inside the dynamic loader. main is
// reached through __wrap_main (the link option --wrap=main that comes with this target).
//
// The leak report is the first entry of the exit list, so it runs last: after the executable's
// static destructors and after the dynamic loader has run every library's destructors (the
// loader's own exit entry is added later, by the C library's start-up). The tables the toolkit
// fills while it runs (its language list, its event tables) are freed by then, so what the
// report names is what nobody freed.

#include <cstdint>
#include <cstdlib>
#include <new>
#include <pthread.h>

#include "lumo/diagnostics/DebugAllocator.h"
#include "lumo/diagnostics/DebugAllocatorFilter.h"
#include "lumo/diagnostics/DebugAllocatorHooks.h"
#include "lumo/tracking/GlobalOperators.h"

extern "C" int __cxa_atexit(void (*function)(void*), void* argument, void* library);

namespace
{

// Never destroyed: the leak report and the frees of the shared libraries' static destructors
// come after the executable's own destructors. The union keeps the member's destructor from
// running.
union GlobalAllocatorHolder
{
    constexpr GlobalAllocatorHolder() : allocator(kSystemDebugAllocatorHooks) {}
    ~GlobalAllocatorHolder() {}
    DebugAllocator allocator;
};

constinit GlobalAllocatorHolder g_holder;
DebugAllocator& g_debugAllocator = g_holder.allocator;

void ReportLeaksAtExit(void*)
{
    g_debugAllocator.ReportLeaks();
}

// Runs before every static initialiser of the process, the shared libraries' included: nothing
// here may rely on an object that a static initialiser builds.
void StartTracking(int, char**, char**)
{
    g_debugAllocator.Start();
    uint64_t loaderBegin = 0;
    uint64_t loaderEnd = 0;
    if (DynamicLoaderCode(loaderBegin, loaderEnd))
        g_debugAllocator.SetStartUpCode(loaderBegin, loaderEnd);
    pthread_atfork([] { g_debugAllocator.LockAllForFork(); }, [] { g_debugAllocator.UnlockAllAfterFork(false); },
                   [] { g_debugAllocator.UnlockAllAfterFork(true); });
    // Registered for no library (std::atexit would tie it to the executable, whose exit entries
    // the loader runs first).
    __cxa_atexit(ReportLeaksAtExit, nullptr, nullptr);
}

__attribute__((section(".preinit_array"), used)) void (*const g_startTracking)(int, char**, char**) = StartTracking;

struct FilterStart
{
    // Faults go to the allocator's filter until the crash handlers are installed.
    FilterStart() { InstallDebugAllocatorExceptionFilter(); }
};

__attribute__((init_priority(101))) FilterStart g_filterStart;

// The return address into the code that called operator new.
#define CALLER_SITE reinterpret_cast<uint64_t>(__builtin_return_address(0))

__attribute__((always_inline)) inline void* AllocateOrThrow(size_t size, uint64_t site)
{
    for (;;)
    {
        if (void* block = g_debugAllocator.Alloc(size, site))
            return block;
        std::new_handler handler = std::get_new_handler();
        if (!handler)
            throw std::bad_alloc();
        handler();
    }
}

void* AllocateAligned(size_t size, std::align_val_t alignment) noexcept
{
    const size_t align = static_cast<size_t>(alignment);
    if (size == 0)
        size = 1;
    // aligned_alloc wants a multiple of the alignment; refuse sizes whose rounding would wrap.
    if (size > SIZE_MAX - (align - 1))
        return nullptr;
    return aligned_alloc(align, (size + align - 1) / align * align);
}

}  // namespace

DebugAllocator& GlobalDebugAllocator()
{
    return g_debugAllocator;
}

void SetOptions(bool siteStatistics, bool siteFrees)
{
    g_debugAllocator.SetOptions(siteStatistics, siteFrees);
}

void SetOutputCallback(DebugAllocatorOutputCallback callback)
{
    g_debugAllocator.SetOutputCallback(callback);
}

void SetGuardPages(GuardPages mode)
{
    g_debugAllocator.SetGuardPages(mode);
}

extern "C" int __real_main(int argc, char** argv, char** envp);

extern "C" int __wrap_main(int argc, char** argv, char** envp)
{
    g_debugAllocator.MarkMainStarted();
    return __real_main(argc, argv, envp);
}

__attribute__((noinline)) void* operator new(size_t size)
{
    return AllocateOrThrow(size, CALLER_SITE);
}

__attribute__((noinline)) void* operator new[](size_t size)
{
    return AllocateOrThrow(size, CALLER_SITE);
}

__attribute__((noinline)) void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    return g_debugAllocator.Alloc(size, CALLER_SITE);
}

__attribute__((noinline)) void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    return g_debugAllocator.Alloc(size, CALLER_SITE);
}

__attribute__((noinline)) void operator delete(void* block) noexcept
{
    g_debugAllocator.Free(block, CALLER_SITE);
}

__attribute__((noinline)) void operator delete[](void* block) noexcept
{
    g_debugAllocator.Free(block, CALLER_SITE);
}

__attribute__((noinline)) void operator delete(void* block, size_t) noexcept
{
    g_debugAllocator.Free(block, CALLER_SITE);
}

__attribute__((noinline)) void operator delete[](void* block, size_t) noexcept
{
    g_debugAllocator.Free(block, CALLER_SITE);
}

__attribute__((noinline)) void operator delete(void* block, const std::nothrow_t&) noexcept
{
    g_debugAllocator.Free(block, CALLER_SITE);
}

__attribute__((noinline)) void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    g_debugAllocator.Free(block, CALLER_SITE);
}

void* operator new(size_t size, std::align_val_t alignment)
{
    if (void* block = AllocateAligned(size, alignment))
        return block;
    throw std::bad_alloc();
}

void* operator new[](size_t size, std::align_val_t alignment)
{
    if (void* block = AllocateAligned(size, alignment))
        return block;
    throw std::bad_alloc();
}

void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return AllocateAligned(size, alignment);
}

void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return AllocateAligned(size, alignment);
}

void operator delete(void* block, std::align_val_t) noexcept
{
    free(block);
}

void operator delete[](void* block, std::align_val_t) noexcept
{
    free(block);
}

void operator delete(void* block, size_t, std::align_val_t) noexcept
{
    free(block);
}

void operator delete[](void* block, size_t, std::align_val_t) noexcept
{
    free(block);
}

void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept
{
    free(block);
}

void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept
{
    free(block);
}
