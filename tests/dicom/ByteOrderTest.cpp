#include "ByteOrder.h"

#include <gtest/gtest.h>

#include <array>

TEST(ByteOrderTest, ReadsBothOrdersAndNothingPastTheEnd) {
    const std::array<uint8_t, 5> bytes = {0x12, 0x34, 0x56, 0x78, 0x9A};
    EXPECT_EQ(ByteOrder::Read16(bytes, 0, ByteOrder::Big), 0x1234);
    EXPECT_EQ(ByteOrder::Read16(bytes, 3, ByteOrder::Little), 0x9A78);
    EXPECT_EQ(ByteOrder::Read32(bytes, 1, ByteOrder::Big), 0x3456789Au);
    EXPECT_EQ(ByteOrder::Read32(bytes, 0, ByteOrder::Little), 0x78563412u);
    EXPECT_FALSE(ByteOrder::Read16(bytes, 4, ByteOrder::Big));
    EXPECT_FALSE(ByteOrder::Read32(bytes, 2, ByteOrder::Little));
    EXPECT_FALSE(ByteOrder::Read32(bytes, SIZE_MAX - 1, ByteOrder::Little));

    std::array<uint8_t, 4> out{};
    ByteOrder::Store32(out.data(), 0x11223344u, ByteOrder::Big);
    EXPECT_EQ(out, (std::array<uint8_t, 4>{0x11, 0x22, 0x33, 0x44}));
    ByteOrder::Store32(out.data(), 0x11223344u, ByteOrder::Little);
    EXPECT_EQ(out, (std::array<uint8_t, 4>{0x44, 0x33, 0x22, 0x11}));
}
