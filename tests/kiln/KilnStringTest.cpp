#include "Kiln/Src/Kiln/KernelStandard/KilnString.h"

#include <cstdarg>
#include <string>

#include <gtest/gtest.h>

#include "Kiln/Src/Kiln/KernelStandard/KilnFormatBuffer.h"

namespace
{

using Kiln::KilnFormatBuffer;
using Kiln::KilnString;

struct Formatted
{
    std::string text;
    size_t bufferSize;
};

Formatted __attribute__((format(printf, 1, 2))) FormatWith(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    KilnFormatBuffer buffer(format, args);
    va_end(args);
    return {std::string(buffer.Text(), buffer.Length()), buffer.BufferSize()};
}

TEST(KilnFormatBuffer, GrowsThroughItsBufferSizes)
{
    struct
    {
        size_t length;
        size_t buffer;
    } rows[] = {{0, 1024},        {1023, 1024},      {1024, 32768},      {5000, 32768},
                {32767, 32768},   {32768, 131072},   {200000, 524288},   {2097151, 2097152}};
    for (const auto& row : rows)
    {
        const std::string expected = std::string(row.length / 2, 'x') + std::string(row.length - row.length / 2, 'y');
        const Formatted f = FormatWith("%s%s", std::string(row.length / 2, 'x').c_str(),
                                       std::string(row.length - row.length / 2, 'y').c_str());
        EXPECT_EQ(f.text, expected) << row.length;
        EXPECT_EQ(f.bufferSize, row.buffer) << row.length;
    }
    EXPECT_EQ(FormatWith("%d-%s-%5.1f", 42, "ab", 2.25).text, "42-ab-  2.2");
    // Past the largest buffer the result is empty.
    const std::string huge(33554432, 'z');
    EXPECT_EQ(FormatWith("%s", huge.c_str()).text, "");
    EXPECT_EQ(FormatWith("%s", huge.substr(1).c_str()).text.size(), huge.size() - 1);
}

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

TEST(KilnString, ReserveKeepsOrDropsTheText)
{
    KilnString s("abc");
    s.Reserve(100, true);
    EXPECT_STREQ(s.Text(), "abc");
    EXPECT_GE(s.Capacity(), 100u);
    const char* before = s.Text();
    s.Reserve(50, true);  // unique and large enough: unchanged
    EXPECT_EQ(s.Text(), before);
    KilnString t("abc");
    KilnString shared(t);
    t.Reserve(200, false);
    EXPECT_STREQ(t.Text(), "");
    EXPECT_STREQ(shared.Text(), "abc");
    KilnString e;
    e.Reserve(0, true);
    EXPECT_FALSE(e.IsSharedEmpty());
    EXPECT_STREQ(e.Text(), "");
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
