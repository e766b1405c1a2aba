#pragma once
// The kernel's small-block allocator: Alloc::New / Alloc::Delete. Requests fall into size
// classes of 8 bytes (class k = (size + 11) / 8 holds a 4-byte header and the request in 8k
// bytes); freed blocks of classes 1 to 127 are kept per class for reuse, up to a limit, and
// larger requests (1,013 bytes and more) go to the C library's heap directly. Each thread keeps
// a few free blocks of each class of its own and trades them with the shared lists in batches;
// they count towards the limit, and go back to the shared lists when the thread ends.
//
// Header word of every block: (k << 9) | ((k ^ 341) & 511); Delete checks it, and a block whose
// header does not check out is reported on the debug output and left alone (leaked) rather than
// put in the wrong class. Classes above 0x7FFFFF (requests of 64 MiB and more) are recorded as
// that class; they all go to the C library's heap alike.
//
// The returned memory is only 4-byte aligned: for byte and text data, not general objects.

#include <cstddef>
#include <cstdint>

namespace Kiln::Alloc
{

constexpr uint32_t kCachedClasses = 128;  // classes 1..127 are cached

void* New(size_t size);
void Delete(void* pointer);

// The class of a request, and what the cache of a class holds (for tests and diagnostics).
uint32_t ClassOf(size_t size);
uint32_t CacheLimit(uint32_t sizeClass);
// CachedCount: the shared list and the calling thread's own blocks of the class.
uint32_t CachedCount(uint32_t sizeClass);

}  // namespace Kiln::Alloc
