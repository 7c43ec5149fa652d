// Byte order helpers used at every serial boundary.
#include "byte_order.h"

#include <gtest/gtest.h>

TEST(ByteOrder, BigEndianLoadsAndStoresRoundTrip)
{
    uint8_t b[4];
    store_be32(b, 0x12345678u);
    EXPECT_EQ(b[0], 0x12);
    EXPECT_EQ(b[3], 0x78);
    EXPECT_EQ(load_be32(b), 0x12345678u);
    store_be16(b, 0xBEEF);
    EXPECT_EQ(b[0], 0xBE);
    EXPECT_EQ(load_be16(b), 0xBEEF);
}

TEST(ByteOrder, LittleEndianLoadsAndStoresRoundTrip)
{
    uint8_t b[4];
    store_le32(b, 0x12345678u);
    EXPECT_EQ(b[0], 0x78);
    EXPECT_EQ(load_le32(b), 0x12345678u);
    store_le16(b, 0xBEEF);
    EXPECT_EQ(b[0], 0xEF);
    EXPECT_EQ(load_le16(b), 0xBEEF);
}

TEST(ByteOrder, TwentyFourBitValuesAreSignExtended)
{
    const struct {
        uint8_t bytes[3];
        int32_t value;
    } rows[] = {
        {{0x00, 0x00, 0x01}, 1},
        {{0x7F, 0xFF, 0xFF}, 8388607},
        {{0x80, 0x00, 0x00}, -8388608},
        {{0xFF, 0xFF, 0xFF}, -1},
        {{0xFF, 0xFF, 0xFE}, -2},
    };
    for (const auto& r : rows) EXPECT_EQ(load_be24_signed(r.bytes), r.value);
}

TEST(ByteOrder, FloatsTravelAsTheirBitPatterns)
{
    uint8_t b[4];
    store_le_float(b, 200.0f);
    const uint8_t le200[4] = {0x00, 0x00, 0x48, 0x43};
    EXPECT_EQ(0, memcmp(b, le200, 4));
    store_be_float(b, 1.5f);
    const uint8_t be15[4] = {0x3F, 0xC0, 0x00, 0x00};
    EXPECT_EQ(0, memcmp(b, be15, 4));
    EXPECT_EQ(load_be_float(be15), 1.5f);
    EXPECT_EQ(load_le_float(le200), 200.0f);
}

TEST(ByteOrder, Sum8WrapsModulo256)
{
    const uint8_t frame[] = {0x74, 0xA1, 0x00, 0x00};
    EXPECT_EQ(sum8(frame, 4), 0x15);
    const uint8_t big[] = {0xFF, 0xFF, 0x03};
    EXPECT_EQ(sum8(big, 3), 0x01);
    EXPECT_EQ(sum8(big, 0), 0x00);
}
