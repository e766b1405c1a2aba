#include "Kiln/Src/Kiln/KernelStandard/StringData.h"

#include <mutex>

#include "Kiln/Src/Kiln/KernelStandard/BlockAllocator.h"
#include "Kiln/Src/Kiln/KernelStandard/PackedHeap.h"

namespace Kiln
{

namespace
{

constexpr size_t kSmallLimit = 160;

std::mutex& StringMemoryLock()
{
    static std::mutex* lock = new std::mutex;  // used at exit: never destroyed
    return *lock;
}

PackedHeap* g_heap = nullptr;  // guarded by StringMemoryLock

size_t RoundUp(size_t size)
{
    return (size + 7) & ~static_cast<size_t>(7);
}

}  // namespace

void* StringDataAlloc(size_t size)
{
    size = RoundUp(size);
    if (size > kSmallLimit)
        return Alloc::New(size);
    std::lock_guard<std::mutex> hold(StringMemoryLock());
    if (!g_heap)
        g_heap = new PackedHeap("#StringData", false);
    return g_heap->Alloc(size);
}

void StringDataFree(void* pointer, size_t size)
{
    if (!pointer)
        return;
    if (RoundUp(size) > kSmallLimit)
    {
        Alloc::Delete(pointer);
        return;
    }
    std::lock_guard<std::mutex> hold(StringMemoryLock());
    g_heap->Free(pointer);
}

void StringDataShutdown()
{
    std::lock_guard<std::mutex> hold(StringMemoryLock());
    if (g_heap && g_heap->IsEmpty())
    {
        delete g_heap;
        g_heap = nullptr;
    }
}

bool StringDataHeapExists()
{
    std::lock_guard<std::mutex> hold(StringMemoryLock());
    return g_heap != nullptr;
}

}  // namespace Kiln
