// Gyro and MEMS answers as the simulator encodes and logs them, read back
// with the tests' own decoder, and the rate sensor device on top of them.
#include "rate_answer_check.h"

#include "gyro_codec.h"
#include "mems_codec.h"
#include "rate_sensor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace rc = rate_check;
using devsim::RateVector;

namespace {

// An answer of `size` bytes holding the given counts and times, built by
// hand with a correct header and checksum.
rc::Bytes hand_answer(std::size_t size, const std::array<long, 3>& counts, const std::array<unsigned, 3>& times)
{
    rc::Bytes b(size, 0);
    b[0] = 0x97;
    for (int a = 0; a < 3; ++a) {
        const std::size_t at = 1 + 5 * std::size_t(a);
        const unsigned long c = (unsigned long)(counts[a]) & 0xFFFFFFul;
        b[at] = uint8_t(c >> 16);
        b[at + 1] = uint8_t(c >> 8);
        b[at + 2] = uint8_t(c);
        b[at + 3] = uint8_t(times[a] >> 8);
        b[at + 4] = uint8_t(times[a]);
    }
    b[size - 1] = rc::sum8(b, size - 1);
    return b;
}

// Same floats exactly, axis by axis.
void expect_same(const rc::Values& got, const rc::Values& want, const std::string& what)
{
    for (int a = 0; a < 3; ++a) EXPECT_EQ(got[a], want[a]) << what << " axis " << a;
}

struct Harness {
    Harness(const devsim::RateCodec& codec, unsigned index = 0)
        : sensor(codec, index, [this](const std::string& s) { log.push_back(s); })
    {
    }
    std::vector<devsim::Answer> send(const rc::Bytes& bytes, double t = 0.0)
    {
        std::vector<devsim::Answer> answers;
        sensor.receive(bytes.data(), bytes.size(), t, [&](devsim::Answer a) {
            log.push_back("<answer>");
            answers.push_back(std::move(a));
        });
        return answers;
    }
    devsim::RateSensor sensor;
    std::vector<std::string> log;
};

const rc::Bytes REQUEST = {0x55, 0x68};

// Each kind with what the tests know about it independently.
struct Kind {
    const devsim::RateCodec& codec;
    std::size_t size;
    unsigned time;
    const float* K;
    rc::Values (*decode)(const rc::Bytes&);
};

std::vector<Kind> kinds()
{
    return {{devsim::gyro_codec(), 27, 1000, rc::GYRO_K, &rc::decode_gyro},
            {devsim::mems_codec(), 44, 1024, rc::MEMS_K, &rc::decode_mems}};
}

}  // namespace

TEST(GyroAnswer, WorkedExamplesDecodeAsTheServiceDoes)
{
    const auto b = hand_answer(27, {289752, 0, -1}, {1000, 1000, 1000});
    const auto mine = rc::decode_gyro(b);
    EXPECT_NEAR(mine[0], 0.9999936f, 1e-6f);
    EXPECT_NEAR(mine[1], -0.205f / 3600.0f, 1e-9f);

    const auto sim = devsim::decode_gyro_answer(b);
    ASSERT_TRUE(sim.has_value());
    expect_same(*sim, mine, "gyro");

    // Count 0 leaves only the bias.
    const auto zero = devsim::decode_gyro_answer(hand_answer(27, {0, 0, 0}, {1000, 1000, 1000}));
    ASSERT_TRUE(zero.has_value());
    EXPECT_NEAR((*zero)[0], -4.7222e-06f, 1e-10f);
    EXPECT_NEAR((*zero)[2], -0.369f / 3600.0f, 1e-9f);

    // FF FF FF is -1, not 16777215.
    EXPECT_LT((*sim)[2], 0.0f);
    EXPECT_NEAR((*sim)[2], -1.0f / 282454.6f - 0.369f / 3600.0f, 1e-9f);

    // Each step rounded to single precision: an integral time other than
    // 1000 and counts at both ends of the range.
    for (const auto& times : {std::array<unsigned, 3>{999, 1, 65535}, std::array<unsigned, 3>{777, 1023, 1001}}) {
        const auto odd = hand_answer(27, {8388607, -8388608, 4242421}, times);
        const auto odd_sim = devsim::decode_gyro_answer(odd);
        ASSERT_TRUE(odd_sim.has_value());
        expect_same(*odd_sim, rc::decode_gyro(odd), "extreme gyro");
        EXPECT_EQ(devsim::rate_reading_text(*odd_sim), rc::answer_text(rc::decode_gyro(odd)));
    }
}

TEST(GyroAnswer, RefusedLikeTheServiceWouldRefuseIt)
{
    for (int axis = 0; axis < 3; ++axis) {
        std::array<unsigned, 3> times = {1000, 1000, 1000};
        times[axis] = 0;
        EXPECT_FALSE(devsim::decode_gyro_answer(hand_answer(27, {1, 2, 3}, times)).has_value()) << axis;
    }
    EXPECT_FALSE(devsim::decode_gyro_answer(hand_answer(44, {1, 2, 3}, {1000, 1000, 1000})).has_value());
    EXPECT_FALSE(devsim::decode_gyro_answer(rc::Bytes(26, 0)).has_value());
}

TEST(MemsAnswer, WorkedExamplesDecodeAsTheServiceDoes)
{
    const auto b = hand_answer(44, {319198, 0, -1}, {1024, 1024, 1024});
    const auto mine = rc::decode_mems(b);
    EXPECT_NEAR(mine[0], 0.99959f, 1e-5f);
    EXPECT_NEAR(mine[1], -0.000594488f, 1e-8f);  // 2.140157 / 3600

    const auto sim = devsim::decode_mems_answer(b);
    ASSERT_TRUE(sim.has_value());
    expect_same(*sim, mine, "mems");

    const auto zero = devsim::decode_mems_answer(hand_answer(44, {0, 0, 0}, {1024, 1024, 1024}));
    ASSERT_TRUE(zero.has_value());
    EXPECT_NEAR((*zero)[0], -0.000407f, 1e-6f);
    EXPECT_LT((*sim)[2], (*zero)[2]);  // a count of -1 lies below the bias alone

    // Each step rounded to single precision, with times other than 1024.
    for (const auto& times : {std::array<unsigned, 3>{1000, 3, 65535}, std::array<unsigned, 3>{777, 1023, 1025}}) {
        const auto odd = hand_answer(44, {8388607, -8388608, 4242421}, times);
        const auto odd_sim = devsim::decode_mems_answer(odd);
        ASSERT_TRUE(odd_sim.has_value());
        expect_same(*odd_sim, rc::decode_mems(odd), "extreme mems");
        EXPECT_EQ(devsim::rate_reading_text(*odd_sim), rc::answer_text(rc::decode_mems(odd)));
    }
}

TEST(MemsAnswer, ZeroIntegralTimeIsTakenAsOne)
{
    const auto zero_time = hand_answer(44, {300, -7, 8388607}, {0, 0, 0});
    const auto one_time = hand_answer(44, {300, -7, 8388607}, {1, 1, 1});
    const auto a = devsim::decode_mems_answer(zero_time);
    const auto b = devsim::decode_mems_answer(one_time);
    ASSERT_TRUE(a.has_value() && b.has_value());
    expect_same(*a, *b, "time 0 vs 1");
    expect_same(*a, rc::decode_mems(zero_time), "time 0");
    EXPECT_NEAR((*a)[0], 1024.0f * 300.0f / 319198.1f - 1.465294f / 3600.0f, 1e-5f);

    EXPECT_FALSE(devsim::decode_mems_answer(hand_answer(27, {1, 2, 3}, {1024, 1024, 1024})).has_value());
}

TEST(RateAnswers, EncodedRatesComeBackToWithinHalfACountAndSaturate)
{
    for (const auto& k : kinds()) {
        for (double x = -2.0; x <= 2.0; x += 0.173) {
            const RateVector rates = {x, -0.6 * x + 0.01, 0.3 - x};
            const auto b = k.codec.encode(rates);
            ASSERT_TRUE(rc::frame_ok(b, k.size)) << k.codec.kind << " " << x;
            EXPECT_EQ(rc::Bytes(b.begin() + 16, b.end() - 1), rc::Bytes(k.size - 17, 0x00));
            const auto v = k.decode(b);
            for (int a = 0; a < 3; ++a) {
                EXPECT_EQ(rc::time(b, a), k.time);
                EXPECT_NEAR(v[a], rates[a], 0.5 / k.K[a] + 1e-6) << k.codec.kind << " " << x << " axis " << a;
            }
            expect_same(k.codec.decode(b).value(), v, k.codec.kind);
        }
        // Out of range saturates instead of wrapping.
        const auto b = k.codec.encode({100.0, -100.0, 0.0});
        EXPECT_EQ(rc::Bytes(b.begin() + 1, b.begin() + 4), (rc::Bytes{0x7F, 0xFF, 0xFF})) << k.codec.kind;
        EXPECT_EQ(rc::Bytes(b.begin() + 6, b.begin() + 9), (rc::Bytes{0x80, 0x00, 0x00})) << k.codec.kind;
        EXPECT_TRUE(rc::frame_ok(b, k.size));
    }
}

TEST(RateMotion, SlowSwingsAroundSmallOffsetsWithDistinctPhases)
{
    for (unsigned line = 0; line < 4; ++line) {
        RateVector lo = {1e9, 1e9, 1e9}, hi = {-1e9, -1e9, -1e9};
        for (double t = 0; t <= 2 * devsim::RATE_SWING_PERIOD_S; t += 0.25) {
            const auto r = devsim::rate_motion_at(line, t);
            const auto next = devsim::rate_motion_at(line, t + 0.1);
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], r[a]);
                hi[a] = std::max(hi[a], r[a]);
                // Slowly varying: a tenth of a second moves it very little.
                EXPECT_LT(std::fabs(next[a] - r[a]), 0.005) << "line " << line << " t " << t;
            }
        }
        for (int a = 0; a < 3; ++a) {
            EXPECT_NEAR(hi[a] - lo[a], 1.0, 0.01) << "line " << line << " axis " << a;
            EXPECT_LT(std::fabs((hi[a] + lo[a]) / 2), 0.05) << "line " << line << " axis " << a;
        }
    }
    const auto a = devsim::rate_motion_at(0, 10.0);
    const auto b = devsim::rate_motion_at(1, 10.0);
    EXPECT_GT(std::fabs(a[0] - b[0]), 0.05);  // lines differ
    EXPECT_GT(std::fabs(a[0] - a[1]), 0.05);  // axes differ
    EXPECT_GT(std::fabs(a[1] - a[2]), 0.05);
}

TEST(RateSensorDevice, AnswersEachRequestAndLogsWhatTheServiceDecodes)
{
    for (const auto& k : kinds()) {
        Harness h(k.codec, 1);
        EXPECT_EQ(h.sensor.kind(), k.codec.kind);
        EXPECT_EQ(h.sensor.bits_per_byte(), 11);  // 8 data bits, parity, stop bit
        std::vector<std::string> texts;
        for (double t : {0.0, 13.7, 250.25}) {
            h.log.clear();
            const auto answers = h.send(REQUEST, t);
            ASSERT_EQ(answers.size(), 1u);
            ASSERT_TRUE(rc::frame_ok(answers[0].bytes, k.size)) << k.codec.kind;
            const auto v = k.decode(answers[0].bytes);
            EXPECT_EQ(answers[0].summary, "answer " + rc::answer_text(v));
            EXPECT_EQ(h.log, std::vector<std::string>{"<answer>"});
            const auto meant = devsim::rate_motion_at(1, t);
            for (int a = 0; a < 3; ++a) EXPECT_NEAR(v[a], meant[a], 1e-5) << k.codec.kind << " t " << t;
            texts.push_back(answers[0].summary);
        }
        EXPECT_NE(texts[0], texts[1]);
        EXPECT_NE(texts[1], texts[2]);
    }
}

TEST(RateSensorDevice, RequestInPiecesAfterGarbageIsAnsweredOnceComplete)
{
    Harness h(devsim::gyro_codec());
    EXPECT_TRUE(h.send({0x00, 0x97, 0x55}).empty());
    EXPECT_TRUE(h.send({0x55}).empty());
    const auto answers = h.send({0x68});
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(rc::gyro_ok(answers[0].bytes));
    EXPECT_EQ(h.log, (std::vector<std::string>{"skipped 2 byte(s) outside a request",
                                               "skipped 1 byte(s) outside a request", "<answer>"}));
}

TEST(RateSensorDevice, SeveralRequestsInOneReadAreAnsweredInOrder)
{
    Harness h(devsim::mems_codec());
    const auto answers = h.send({0x55, 0x68, 0x01, 0x02, 0x55, 0x68, 0x68}, 7.0);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_TRUE(rc::mems_ok(answers[0].bytes));
    EXPECT_EQ(answers[0].bytes, answers[1].bytes);  // same instant, same rates
    // Skipped bytes are reported where they occurred.
    EXPECT_EQ(h.log, (std::vector<std::string>{"<answer>", "skipped 2 byte(s) outside a request", "<answer>",
                                               "skipped 1 byte(s) outside a request"}));
}

TEST(RateSensorDevice, OtherBytesAreNeverAnswered)
{
    Harness h(devsim::gyro_codec());
    EXPECT_TRUE(h.send({0x74, 0xA1, 0x00, 0x00, 0x15}).empty());
    EXPECT_TRUE(h.send({0x68, 0x55, 0x00, 0x68}).empty());
    EXPECT_EQ(h.log, (std::vector<std::string>{"skipped 5 byte(s) outside a request",
                                               "skipped 4 byte(s) outside a request"}));
}

TEST(RateSensorDevice, ResetInputForgetsAWaitingFirstByte)
{
    Harness h(devsim::mems_codec());
    EXPECT_TRUE(h.send({0x55}).empty());
    h.sensor.reset_input();
    EXPECT_TRUE(h.send({0x68}).empty());
    EXPECT_EQ(h.send(REQUEST).size(), 1u);
}
