#include "Kiln/Src/Kiln/KernelStandard/R250Random.h"

#include <gtest/gtest.h>

namespace
{

TEST(R250Random, ConstructionAndReset)
{
    Kiln::R250Random random;
    EXPECT_EQ(random.Length(), 250u);
    EXPECT_EQ(random.Length2(), 100u);
    EXPECT_EQ(random.Tap(), 147u);
    EXPECT_FALSE(random.Seeded());
    EXPECT_EQ(random.Index(), 0u);
    ASSERT_NE(random.Table(), nullptr);
    ASSERT_NE(random.Table2(), nullptr);
    for (uint32_t i = 0; i < 250; ++i)
        ASSERT_EQ(random.Table()[i], 0u);
    for (uint32_t i = 0; i < 100; ++i)
        ASSERT_EQ(random.Table2()[i], 0u);

    // Reset twice: the earlier tables are freed (the sanitizer builds see a leak otherwise).
    random.Reset();
    random.Reset();
    EXPECT_NE(random.Table(), random.Table2());
    EXPECT_EQ(&Kiln::KernelRandom(), &Kiln::KernelRandom());
    EXPECT_EQ(Kiln::KernelRandom().Length(), 250u);
}

}  // namespace
