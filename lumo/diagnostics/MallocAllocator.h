#pragma once
// A standard-library allocator over malloc/free: containers of the tracking allocator's own
// bookkeeping never come back into the global operator new.

#include <cstddef>
#include <cstdlib>
#include <new>

template <typename T>
struct MallocAllocator
{
    using value_type = T;

    MallocAllocator() noexcept = default;
    template <typename U>
    MallocAllocator(const MallocAllocator<U>&) noexcept
    {
    }

    T* allocate(size_t count)
    {
        if (count > static_cast<size_t>(-1) / sizeof(T))
            throw std::bad_alloc();
        void* block = malloc(count * sizeof(T));
        if (!block)
            throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, size_t) noexcept { free(block); }

    template <typename U>
    bool operator==(const MallocAllocator<U>&) const noexcept
    {
        return true;
    }
};
