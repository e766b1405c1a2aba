#include "Kiln/Src/Kiln/KernelStandard/R250Random.h"

namespace Kiln
{

R250Random::R250Random()
{
    Reset();
}

void R250Random::Reset()
{
    m_length = kLength;
    m_length2 = kLength2;
    m_table.reset();
    m_table2.reset();
    m_table = std::make_unique<uint32_t[]>(kLength);  // zeroed: a generator must seed it anyway
    m_table2 = std::make_unique<uint32_t[]>(kLength2);
    m_tap = kTap;
}

namespace
{

R250Random g_kernelRandom;  // built at start-up, destroyed at exit

}  // namespace

R250Random& KernelRandom()
{
    return g_kernelRandom;
}

}  // namespace Kiln
