#pragma once
// Named blocks of shared memory, seen by every process of the same user on this machine. A block
// lives while any process has it open: the first opener after the last one has gone, also after
// a process died without closing, finds a new block of zero bytes ("destroyed with its last
// handle").
//
// A block is a POSIX shared-memory file named as the named mutexes are (SharedObjectName in
// NamedObjects.h) with "~map" appended, which no mutex name can end in, so a block never meets
// a mutex of the same name. It follows the presence convention of the named mutexes: every
// opener keeps an open-file-description read lock on byte 0, which dies with its process;
// whoever gets the write lock instead is alone, makes the block afresh, and when closing last
// removes the name.

#include <cstdint>
#include <memory>
#include <string>

namespace platform
{

class SharedMemory
{
public:
    // Opens the block of `name` (any text) with `size` bytes, making it when no process has it
    // open; `created` says which. An existing block smaller than `size` is refused (last error
    // 87). Null on failure, with the last error set.
    static std::unique_ptr<SharedMemory> Open(const std::string& name, uint32_t size, bool& created);

    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    ~SharedMemory();

    // The mapped bytes, page aligned.
    void* View() const { return m_view; }
    uint32_t Size() const { return m_size; }

private:
    SharedMemory(int fd, void* view, uint32_t size, std::string shmName);

    const int m_fd;
    void* const m_view;
    const uint32_t m_size;
    const std::string m_shmName;
};

}  // namespace platform
