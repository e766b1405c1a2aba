#pragma once
// The state of the kernel's shift-register random generator: a table of 250 words with a tap
// at 147 (each new word would be the XOR of the words 250 and 103 places back) and a second
// table of 100 words. The kernel keeps one instance; it is built and reset, never drawn from.

#include <cstdint>
#include <memory>

namespace Kiln
{

class R250Random
{
public:
    static constexpr uint32_t kLength = 250;
    static constexpr uint32_t kLength2 = 100;
    static constexpr uint32_t kTap = 147;

    R250Random();

    // Replaces both tables with new zeroed ones.
    void Reset();

    uint32_t Index() const { return m_index; }
    uint32_t Tap() const { return m_tap; }
    uint32_t Length() const { return m_length; }
    uint32_t Length2() const { return m_length2; }
    bool Seeded() const { return m_seeded != 0; }
    const uint32_t* Table() const { return m_table.get(); }
    const uint32_t* Table2() const { return m_table2.get(); }

private:
    uint32_t m_index = 0;
    uint32_t m_tap = kTap;
    uint32_t m_length = kLength;
    uint32_t m_length2 = kLength2;
    uint8_t m_seeded = 0;
    std::unique_ptr<uint32_t[]> m_table2;
    std::unique_ptr<uint32_t[]> m_table;
};

// The kernel's one instance.
R250Random& KernelRandom();

}  // namespace Kiln
