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

TEST(KilnString, FormatAppendInsertAndFind)
{
    KilnString s;
    s.Format("%s", "");
    EXPECT_TRUE(s.IsSharedEmpty());
    s.Format("%d items", 3);
    EXPECT_STREQ(s.Text(), "3 items");
    const char* before = s.Text();
    s.AppendFormat("%s", "");  // nothing to append: no change at all
    EXPECT_EQ(s.Text(), before);
    s.Insert(s.Length(), "\r\n");
    EXPECT_STREQ(s.Text(), "3 items\r\n");
    s.Insert(0, ">");
    EXPECT_STREQ(s.Text(), ">3 items\r\n");
    s.Insert(100, "x");
    EXPECT_STREQ(s.Text(), ">3 items\r\n");
    EXPECT_EQ(s.Find("items"), 3);
    EXPECT_EQ(s.Find("3", 2), -1);
    EXPECT_EQ(s.Find("\r\n", 9), -1);
    EXPECT_EQ(s.Find("\r\n", 8), 8);
    std::string longer(5000, 'q');
    s.AppendFormat("%s", longer.c_str());
    EXPECT_EQ(s.Length(), 10u + 5000u);
    EXPECT_EQ(s.Text()[s.Length()], '\0');
}

}  // namespace
