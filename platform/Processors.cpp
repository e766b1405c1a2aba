#include "platform/Processors.h"

#include <sched.h>

#include <thread>

namespace platform
{

unsigned UsableProcessorCount()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0)
    {
        const int count = CPU_COUNT(&set);
        if (count > 0)
            return static_cast<unsigned>(count);
    }
    const unsigned all = std::thread::hardware_concurrency();
    return all ? all : 1;
}

}  // namespace platform
