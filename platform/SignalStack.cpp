// Alternate signal stacks: without one, a thread that overflowed its stack has no room to run
// the crash handler and dies without a dump.

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>

#include "platform/SignalStack.h"

namespace platform
{
namespace
{

constexpr size_t kMinimumStack = 64 * 1024;

class SignalStack
{
public:
    ~SignalStack()
    {
        if (!m_base)
            return;
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == m_stack)
        {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        }
        munmap(m_base, m_mapped);
    }

    void Ensure()
    {
        stack_t current{};
        if (sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE))
            return;
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t size = kMinimumStack;
        const long systemMinimum = sysconf(_SC_SIGSTKSZ);
        if (systemMinimum > 0 && static_cast<size_t>(systemMinimum) * 4 > size)
            size = static_cast<size_t>(systemMinimum) * 4;
        size = (size + page - 1) / page * page;
        // One inaccessible page below, so that an overflow of the handler itself faults.
        void* base = mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (base == MAP_FAILED)
            return;
        mprotect(base, page, PROT_NONE);
        stack_t stack{};
        stack.ss_sp = static_cast<char*>(base) + page;
        stack.ss_size = size;
        if (sigaltstack(&stack, nullptr) != 0)
        {
            munmap(base, size + page);
            return;
        }
        m_base = base;
        m_stack = stack.ss_sp;
        m_mapped = size + page;
    }

private:
    void* m_base = nullptr;
    void* m_stack = nullptr;
    size_t m_mapped = 0;
};

thread_local SignalStack t_signalStack;

}  // namespace

void EnsureSignalStack()
{
    t_signalStack.Ensure();
}

}  // namespace platform
