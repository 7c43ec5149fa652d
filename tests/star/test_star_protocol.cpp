// Star sensor frames and answer decoding.
#include "byte_order.h"
#include "star_protocol.h"

#include <gtest/gtest.h>

namespace {

const uint8_t kZeroTime[5] = {0, 0, 0, 0, 0};

std::vector<uint8_t> frame_for(int type, int code, uint8_t param)
{
    uint8_t out[STAR_MAX_FRAME];
    std::size_t len = 0;
    EXPECT_EQ(build_star_command(type, code, param, kZeroTime, out, len), StarFrameResult::ok) << code;
    return std::vector<uint8_t>(out, out + len);
}

}  // namespace

// The fixed frames, byte for byte as the sensor's command list gives them.
TEST(StarCommandFrames, FixedFrames)
{
    const struct {
        int code;
        std::vector<uint8_t> frame;
    } rows[] = {
        {0, {0x74, 0xA0, 0x00, 0x00, 0x14}},  {1, {0x74, 0xA0, 0x00, 0x03, 0x17}},
        {5, {0x74, 0xA4, 0x01, 0x01, 0x1A}},  {6, {0x74, 0xA4, 0x02, 0x02, 0x1C}},
        {7, {0x74, 0xA4, 0x04, 0x04, 0x20}},  {8, {0x74, 0xA4, 0x08, 0x08, 0x28}},
        {9, {0x74, 0xA4, 0xF0, 0xF0, 0xF8}},  {10, {0x74, 0xA4, 0x0A, 0x0A, 0x2C}},
        {11, {0x74, 0xA4, 0xFF, 0xFF, 0x16}}, {28, {0x74, 0xA0, 0x00, 0x05, 0x19}},
        {29, {0x74, 0xA0, 0x00, 0x07, 0x1B}}, {30, {0x74, 0xA0, 0x00, 0x0A, 0x1E}},
        {31, {0x74, 0xA0, 0x00, 0x0C, 0x20}}, {32, {0x74, 0xA0, 0x00, 0x0E, 0x22}},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(frame_for(STAR_NANO, r.code, 0x5A), r.frame) << "code " << r.code;
        EXPECT_EQ(frame_for(STAR_PICO, r.code, 0x00), r.frame) << "code " << r.code;
    }
    EXPECT_EQ(frame_for(STAR_NANO, 33, 0x77), std::vector<uint8_t>({0x74, 0xA1, 0x00, 0x00, 0x15}));
    EXPECT_EQ(frame_for(STAR_PICO, 34, 0x77), std::vector<uint8_t>({0x74, 0xA1, 0x00, 0x05, 0x1A}));
}

// Codes 12 to 26 carry the parameter byte and a checksum over the four bytes.
TEST(StarCommandFrames, ParameterFrames)
{
    const struct {
        int code;
        uint8_t group, sub;
    } rows[] = {
        {12, 0xA9, 0x60}, {13, 0xA9, 0x30}, {14, 0xA9, 0x90}, {15, 0xAC, 0x03}, {16, 0xAC, 0x05},
        {17, 0xAC, 0x06}, {18, 0xAC, 0x09}, {19, 0xAC, 0x0A}, {20, 0xAC, 0x0F}, {21, 0xAC, 0x1F},
        {22, 0xAC, 0x2F}, {23, 0xAC, 0x3F}, {24, 0xAC, 0x4F}, {25, 0xAC, 0x0E}, {26, 0xAC, 0x0B},
    };
    for (const auto& r : rows) {
        for (int p : {0x00, 0x05, 0x80, 0xFF}) {
            uint8_t sum = uint8_t(0x74 + r.group + r.sub + p);
            EXPECT_EQ(frame_for(STAR_NANO, r.code, uint8_t(p)),
                      std::vector<uint8_t>({0x74, r.group, r.sub, uint8_t(p), sum}))
                << "code " << r.code << " param " << p;
        }
    }
    EXPECT_EQ(frame_for(STAR_NANO, 12, 0x05), std::vector<uint8_t>({0x74, 0xA9, 0x60, 0x05, 0x82}));
}

TEST(StarCommandFrames, TimeAndEsdFrames)
{
    EXPECT_EQ(frame_for(STAR_NANO, 4, 0x33),
              std::vector<uint8_t>({0x74, 0xA3, 0x00, 0x00, 0x00, 0x00, 0x00, 0x17}));

    std::vector<uint8_t> esd = frame_for(STAR_PICO, 27, 0x33);
    ASSERT_EQ(esd.size(), 77u);
    std::vector<uint8_t> expected(77, 0x00);
    expected[0] = 0x74;
    expected[1] = 0x56;
    expected[3] = 0x01;
    expected[9] = 0x01;
    expected[76] = 0xCC;
    EXPECT_EQ(esd, expected);

    // The time bytes go in as stored.
    const uint8_t time[5] = {1, 2, 3, 4, 5};
    uint8_t out[STAR_MAX_FRAME];
    std::size_t len = 0;
    ASSERT_EQ(build_star_command(STAR_NANO, 4, 0, time, out, len), StarFrameResult::ok);
    EXPECT_EQ(std::vector<uint8_t>(out, out + len),
              std::vector<uint8_t>({0x74, 0xA3, 1, 2, 3, 4, 5, uint8_t(0x74 + 0xA3 + 15)}));
}

TEST(StarCommandFrames, UnsupportedAndMismatchedCodes)
{
    uint8_t out[STAR_MAX_FRAME];
    std::size_t len = 99;
    for (int code : {2, 3, 35, 100, 255, -1}) {
        EXPECT_EQ(build_star_command(STAR_NANO, code, 0, kZeroTime, out, len), StarFrameResult::unsupported) << code;
        EXPECT_EQ(len, 0u);
    }
    EXPECT_EQ(build_star_command(STAR_PICO, 33, 0, kZeroTime, out, len), StarFrameResult::wrong_type);
    EXPECT_EQ(build_star_command(STAR_NANO, 34, 0, kZeroTime, out, len), StarFrameResult::wrong_type);
}

TEST(StarAnswer, LengthsAndHeaders)
{
    EXPECT_EQ(star_answer_length(STAR_NANO, 33), 64u);
    EXPECT_EQ(star_answer_length(STAR_PICO, 34), 256u);
    EXPECT_EQ(star_answer_length(STAR_NANO, 34), 0u);
    EXPECT_EQ(star_answer_length(STAR_PICO, 33), 0u);
    EXPECT_EQ(star_answer_length(STAR_NANO, 0), 0u);

    const uint8_t nano[3] = {0x8A, 0xA1, 0x00};
    const uint8_t nano_bad[3] = {0x8A, 0xA2, 0x00};
    const uint8_t pico[3] = {0xEB, 0x50, 0x22};
    const uint8_t pico_bad[3] = {0xEB, 0x50, 0x23};
    EXPECT_TRUE(star_header_ok(STAR_NANO, nano));
    EXPECT_FALSE(star_header_ok(STAR_NANO, nano_bad));
    EXPECT_FALSE(star_header_ok(STAR_NANO, pico));
    EXPECT_TRUE(star_header_ok(STAR_PICO, pico));
    EXPECT_FALSE(star_header_ok(STAR_PICO, pico_bad));
}

TEST(StarAnswer, ChecksumVerification)
{
    std::vector<uint8_t> a(64, 0x11);
    a[63] = sum8(a.data(), 63);
    EXPECT_EQ(checksum_verify(a.data(), 64), 0);
    a[63] ^= 0x01;
    testing::internal::CaptureStderr();
    EXPECT_EQ(checksum_verify(a.data(), 64), -9);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] Checksum error: calculated=0x2F, received=0x2E\n");
    EXPECT_EQ(checksum_verify(a.data(), 1), -6);
    EXPECT_EQ(checksum_verify(nullptr, 64), -6);
}

TEST(StarAnswer, NanoDecodingExamples)
{
    std::vector<uint8_t> a(64, 0);
    store_be32(&a[4], 0x40000000u);   // q0 = 0.5
    store_be32(&a[8], 0xC0000000u);   // q1 = -0.5
    store_be32(&a[12], 0x80000000u);  // q2 = -1
    store_be32(&a[16], 0x00000001u);  // q3 = 2^-31
    a[35] = 23;
    a[45] = 0xFF;
    a[46] = 0xFF;                     // wx = -1 count
    store_be16(&a[47], 32767);
    store_be16(&a[49], 0x8000);
    Brenvik_Frame r{};
    ASSERT_EQ(parse_nano_quaternion(a.data(), &r), 0);
    EXPECT_EQ(+r.q0, 0.5f);
    EXPECT_EQ(+r.q1, -0.5f);
    EXPECT_EQ(+r.q2, -1.0f);
    EXPECT_EQ(+r.q3, 1.0f / 2147483648.0f);
    EXPECT_EQ(+r.detected_stars, 23);
    EXPECT_EQ(+r.wx, -2.0e-13f);
    EXPECT_EQ(+r.wy, 32767.0f * 2.0e-13f);
    EXPECT_EQ(+r.wz, -32768.0f * 2.0e-13f);
    EXPECT_EQ(parse_nano_quaternion(nullptr, &r), -6);
    EXPECT_EQ(parse_nano_quaternion(a.data(), nullptr), -6);
}

TEST(StarAnswer, RateScaleIsTwoTimesTenToTheMinusThirteen)
{
    EXPECT_EQ(bits_from_float(STAR_RATE_SCALE), 0x2A612E13u);
}

TEST(StarAnswer, PicoDecodingExamples)
{
    std::vector<uint8_t> a(256, 0);
    store_le32(&a[16], 0x40000000u);  // q0 (sent last) = 0.5
    store_le32(&a[4], 0x20000000u);   // q1 = 0.25
    store_le32(&a[8], 0xE0000000u);   // q2 = -0.25
    store_le32(&a[12], 0x10000000u);  // q3 = 0.125
    a[34] = 0x0B;                     // upper seven bits: 5
    Brenvik_Frame r{};
    r.wx = r.wy = r.wz = 9.0f;
    ASSERT_EQ(parse_pico_quaternion(a.data(), &r), 0);
    EXPECT_EQ(+r.q0, 0.5f);
    EXPECT_EQ(+r.q1, 0.25f);
    EXPECT_EQ(+r.q2, -0.25f);
    EXPECT_EQ(+r.q3, 0.125f);
    EXPECT_EQ(+r.detected_stars, 5);
    EXPECT_EQ(+r.wx, 0.0f);
    EXPECT_EQ(+r.wy, 0.0f);
    EXPECT_EQ(+r.wz, 0.0f);
}

TEST(StarAnswer, RecordLayoutMatchesTheBusRecord)
{
    EXPECT_EQ(offsetof(Brenvik_Frame, q0), 2u);
    EXPECT_EQ(offsetof(Brenvik_Frame, wx), 18u);
    EXPECT_EQ(offsetof(Brenvik_Frame, detected_stars), 30u);
    EXPECT_EQ(offsetof(Brenvik_Frame, head_err_cnt), 31u);
    EXPECT_EQ(offsetof(Brenvik_Frame, fault_cnt), 39u);
}
