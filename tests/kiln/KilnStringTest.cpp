#include "Kiln/Src/Kiln/KernelStandard/KilnString.h"

#include <string>

#include <gtest/gtest.h>


namespace
{

using Kiln::KilnString;

TEST(KilnString, ValuesChangeOnlyTheirOwnBlock)
{
    KilnString empty;
    EXPECT_TRUE(empty.IsSharedEmpty());
    EXPECT_EQ(empty.Find("a"), -1);
    KilnString a("hello");
    EXPECT_EQ(a.Capacity(), 16u);  // (5 + 17) rounded down to 16
    KilnString b(a);
    EXPECT_EQ(a.RefCount(), 2);
    b.AppendFormat(" %s", "world");
    EXPECT_STREQ(a.Text(), "hello");
    EXPECT_STREQ(b.Text(), "hello world");
    EXPECT_EQ(a.RefCount(), 1);
    b.Truncate(4);
    EXPECT_STREQ(b.Text(), "hell");
    EXPECT_EQ(b.Length(), 4u);
    b.Truncate(10);
    EXPECT_STREQ(b.Text(), "hell");
    a = nullptr;
    EXPECT_TRUE(a.IsSharedEmpty());
}

}  // namespace
