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

R250Random& KernelRandom()
{
    static R250Random random;
    return random;
}

}  // namespace Kiln
