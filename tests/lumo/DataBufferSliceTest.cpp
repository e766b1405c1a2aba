#include "lumo/buffers/LumoDataBufferSlice.h"

#include <gtest/gtest.h>

#include <string>

#include "lumo/buffers/LumoDataBuffer.h"

TEST(DataBufferSliceTest, ReadsOnlyItsStretchOfTheSource)
{
    std::string bytes = "0123456789";
    LumoDataBufferMemoryStatic source(bytes.data(), static_cast<uint32_t>(bytes.size()));
    LumoDataBufferSlice slice(source, 3, 4);  // "3456"
    char out[8] = {};
    EXPECT_EQ(slice.GetSize(), 4u);
    EXPECT_EQ(slice.ReadData(out, 2), LUMORESULT_OK);
    EXPECT_EQ(std::string(out, 2), "34");
    // Past the end: what is there, then END_OF_DATA; the source's bytes beyond stay unread.
    EXPECT_EQ(slice.ReadData(out, 4), LUMORESULT_END_OF_DATA);
    EXPECT_EQ(std::string(out, 2), "56");
    EXPECT_EQ(slice.GetPosition(), 4u);
    // The source moved in between: the slice reads from its own position all the same.
    source.SetPosition(0);
    EXPECT_EQ(slice.SetPosition(1), LUMORESULT_OK);
    EXPECT_EQ(slice.ReadData(out, 1), LUMORESULT_OK);
    EXPECT_EQ(out[0], '4');
    EXPECT_EQ(slice.SetPosition(5), LUMORESULT_END_OF_DATA);
    EXPECT_EQ(slice.GetPosition(), 4u);
    EXPECT_EQ(slice.WriteData("x", 1), LUMORESULT_NOT_ALLOWED);
    EXPECT_EQ(slice.SetSize(1), LUMORESULT_NOT_ALLOWED);
}
