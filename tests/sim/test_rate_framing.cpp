// What the gyro and the MEMS unit share: cutting 55 68 requests out of the
// byte stream, the 24-bit counts and the answer layout with its checksum.
#include "rate_answer_check.h"

#include "rate_framing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using devsim::Bytes;
using devsim::RateRequestFramer;
namespace rc = rate_check;

namespace {

struct Fed {
    std::size_t requests = 0;
    std::size_t skipped = 0;
};

Fed feed(RateRequestFramer& f, const Bytes& bytes)
{
    Fed r;
    for (uint8_t b : bytes) r.requests += f.push(b) ? 1 : 0;
    r.skipped = f.take_skipped();
    return r;
}

}  // namespace

TEST(RateRequestFraming, RequestInPiecesAfterLeadingGarbage)
{
    RateRequestFramer f;
    auto first = feed(f, {0x00, 0xFF, 0x68, 0x97, 0x55});
    EXPECT_EQ(first.requests, 0u);
    EXPECT_EQ(first.skipped, 4u);  // the 0x55 may still be a request
    EXPECT_TRUE(f.pending());

    auto second = feed(f, {0x68});
    EXPECT_EQ(second.requests, 1u);
    EXPECT_EQ(second.skipped, 0u);
    EXPECT_FALSE(f.pending());

    // Byte by byte, each completed only by its second byte.
    for (int round = 0; round < 3; ++round) {
        EXPECT_FALSE(f.push(0x55)) << round;
        EXPECT_TRUE(f.push(0x68)) << round;
    }
    f.push(0x03);
    EXPECT_EQ(f.take_skipped(), 1u);
    EXPECT_EQ(f.take_skipped(), 0u);  // taken once
}

TEST(RateRequestFraming, BrokenPairsAreSkippedAndARepeatedFirstByteRestarts)
{
    struct Case {
        Bytes stream;
        std::size_t requests;
        std::size_t skipped;
        bool pending;
    };
    const std::vector<Case> cases = {
        {{0x55, 0x55, 0x68}, 1, 1, false},        // the second 0x55 starts the request
        {{0x55, 0x00, 0x55, 0x68}, 1, 2, false},  // 55 00 is no request
        {{0x68, 0x55}, 0, 1, true},               // second byte first
        {{0x55, 0x68, 0x68}, 1, 1, false},        // a stray second byte after a request
        {{0x55, 0x68, 0x55, 0x68, 0x55, 0x68}, 3, 0, false},
        {{0x74, 0xA1, 0x00, 0x00, 0x15}, 0, 5, false},  // a star sensor query
        {{0x55, 0x55, 0x55}, 0, 2, true},
    };
    for (const auto& c : cases) {
        RateRequestFramer f;
        const auto r = feed(f, c.stream);
        const std::string what = ::testing::PrintToString(c.stream);
        EXPECT_EQ(r.requests, c.requests) << what;
        EXPECT_EQ(r.skipped, c.skipped) << what;
        EXPECT_EQ(f.pending(), c.pending) << what;
    }
}

TEST(RateRequestFraming, ResetForgetsAWaitingFirstByte)
{
    RateRequestFramer f;
    EXPECT_FALSE(f.push(0x55));
    f.reset();
    EXPECT_FALSE(f.pending());
    // Without the reset this would complete a request.
    EXPECT_FALSE(f.push(0x68));
    EXPECT_EQ(f.take_skipped(), 1u);
}

TEST(RateCounts, TwentyFourBitBigEndianTwosComplement)
{
    struct Case {
        Bytes bytes;
        int32_t value;
    };
    const std::vector<Case> cases = {
        {{0xFF, 0xFF, 0xFF}, -1},       {{0x80, 0x00, 0x00}, -8388608}, {{0x7F, 0xFF, 0xFF}, 8388607},
        {{0x00, 0x00, 0x00}, 0},        {{0x00, 0x00, 0x01}, 1},        {{0x12, 0x34, 0x56}, 0x123456},
        {{0xFF, 0xFF, 0xFE}, -2},       {{0x80, 0x00, 0x01}, -8388607}, {{0x04, 0x6B, 0xDA}, 289754},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(devsim::get_int24(c.bytes.data()), c.value) << c.value;
        EXPECT_EQ(rc::count_at(c.bytes, 0), c.value) << "test decoder, " << c.value;
        uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
        devsim::put_int24(out, c.value);
        EXPECT_EQ(Bytes(out, out + 3), c.bytes) << c.value;
        EXPECT_EQ(out[3], 0xAA) << "wrote past three bytes";
    }
}

TEST(RateCounts, RoundingAndClampingToTwentyFourBits)
{
    EXPECT_EQ(devsim::clamp_count24(2.5), 3);
    EXPECT_EQ(devsim::clamp_count24(-2.5), -3);
    EXPECT_EQ(devsim::clamp_count24(2.49), 2);
    EXPECT_EQ(devsim::clamp_count24(8388606.6), 8388607);
    EXPECT_EQ(devsim::clamp_count24(8388607.6), 8388607);
    EXPECT_EQ(devsim::clamp_count24(1e12), 8388607);
    EXPECT_EQ(devsim::clamp_count24(-8388608.4), -8388608);
    EXPECT_EQ(devsim::clamp_count24(-1e12), -8388608);
    EXPECT_EQ(devsim::clamp_count24(std::numeric_limits<double>::infinity()), 8388607);
    EXPECT_EQ(devsim::clamp_count24(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(RateCounts, CountForARateUndoesTheServicesScaling)
{
    // Hand-worked: (1 + 0.017 / 3600) * 289752.5 = 289753.87 -> 289754.
    EXPECT_EQ(devsim::rate_counts(1.0, 289752.5f, 0.017f, 1000, 1000.0), 289754);
    // A rate of 0 still carries the bias: 0.017 / 3600 * 289752.5 = 1.37.
    EXPECT_EQ(devsim::rate_counts(0.0, 289752.5f, 0.017f, 1000, 1000.0), 1);
    // The integral time and the unit enter as time / unit.
    EXPECT_EQ(devsim::rate_counts(1.0, 289752.5f, 0.017f, 500, 1000.0), 144877);
    // Same for the MEMS unit: (1 + 1.465294 / 3600) * 319198.1 = 319328.02.
    EXPECT_EQ(devsim::rate_counts(1.0, 319198.1f, 1.465294f, 1024, 1024.0), 319328);
    EXPECT_EQ(devsim::rate_counts(-1.0, 319198.1f, 1.465294f, 1024, 1024.0), -319068);
    EXPECT_EQ(devsim::rate_counts(1000.0, 319198.1f, 1.465294f, 1024, 1024.0), 8388607);
    EXPECT_EQ(devsim::rate_counts(-1000.0, 319198.1f, 1.465294f, 1024, 1024.0), -8388608);
}

TEST(RateAnswerLayout, FieldsZerosAndChecksum)
{
    devsim::RateFields f;
    f.count = {1, -1, 0x123456};
    f.time = {1000, 0, 0xFFFF};
    const Bytes b = devsim::build_rate_answer(27, f);
    const Bytes expected_head = {0x97, 0x00, 0x00, 0x01, 0x03, 0xE8, 0xFF, 0xFF, 0xFF, 0x00,
                                 0x00, 0x12, 0x34, 0x56, 0xFF, 0xFF};
    ASSERT_EQ(b.size(), 27u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 16), expected_head);
    EXPECT_EQ(Bytes(b.begin() + 16, b.end() - 1), Bytes(10, 0x00));
    // 0x97 + 1 + 3 + 0xE8 + 3 * 0xFF + 0x12 + 0x34 + 0x56 + 2 * 0xFF, modulo 256.
    EXPECT_EQ(b[26], 0x1A);
    EXPECT_TRUE(rc::gyro_ok(b));

    const auto back = devsim::read_rate_fields(b);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->count, f.count);
    EXPECT_EQ(back->time, f.time);

    const Bytes m = devsim::build_rate_answer(44, f);
    ASSERT_EQ(m.size(), 44u);
    EXPECT_EQ(Bytes(m.begin(), m.begin() + 16), expected_head);
    EXPECT_EQ(Bytes(m.begin() + 16, m.end() - 1), Bytes(27, 0x00));
    EXPECT_EQ(m[43], 0x1A);
    EXPECT_TRUE(rc::mems_ok(m));

    EXPECT_FALSE(devsim::read_rate_fields(Bytes(15, 0x97)).has_value());
}
