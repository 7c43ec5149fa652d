// Star sensor answers as the simulator encodes them, read back with the
// tests' own decoder.
#include "star_answer_check.h"

#include "star_codec.h"
#include "star_sensor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

using devsim::StarAttitude;
using devsim::StarType;
namespace sc = star_check;

namespace {

StarAttitude attitude(double q0, double q1, double q2, double q3, int stars, double ax = 0, double ay = 0,
                      double az = 0)
{
    StarAttitude a;
    a.q[0] = q0;
    a.q[1] = q1;
    a.q[2] = q2;
    a.q[3] = q3;
    a.stars = stars;
    a.axis[0] = ax;
    a.axis[1] = ay;
    a.axis[2] = az;
    return a;
}

sc::Bytes slice(const sc::Bytes& b, std::size_t at, std::size_t n)
{
    return sc::Bytes(b.begin() + long(at), b.begin() + long(at + n));
}

// Feeds a command to a sensor and returns its answers; log lines are kept.
struct SensorHarness {
    explicit SensorHarness(StarType type, unsigned index = 0)
        : sensor(type, index, [this](const std::string& s) { log.push_back(s); })
    {
    }
    std::vector<devsim::Answer> send(const sc::Bytes& bytes, double t = 0.0)
    {
        std::vector<devsim::Answer> answers;
        sensor.receive(bytes.data(), bytes.size(), t, [&](devsim::Answer a) {
            // The answer is handed out right after its command is logged.
            log.push_back("<answer>");
            answers.push_back(std::move(a));
        });
        return answers;
    }
    devsim::StarSensor sensor;
    std::vector<std::string> log;
};

const sc::Bytes NANO_QUERY = {0x74, 0xA1, 0x00, 0x00, 0x15};
const sc::Bytes PICO_QUERY = {0x74, 0xA1, 0x00, 0x05, 0x1A};

}  // namespace

TEST(NanoAnswer, LayoutHeaderChecksumAndFields)
{
    const auto b = devsim::encode_star_answer(StarType::nano, attitude(0.5, -0.5, 0.25, -0.25, 12, 1.0, -0.5, 0.0));
    ASSERT_EQ(b.size(), 64u);
    EXPECT_TRUE(sc::nano_ok(b));
    EXPECT_EQ(slice(b, 4, 4), (sc::Bytes{0x40, 0x00, 0x00, 0x00}));
    EXPECT_EQ(slice(b, 8, 4), (sc::Bytes{0xC0, 0x00, 0x00, 0x00}));
    EXPECT_EQ(slice(b, 12, 4), (sc::Bytes{0x20, 0x00, 0x00, 0x00}));
    EXPECT_EQ(slice(b, 16, 4), (sc::Bytes{0xE0, 0x00, 0x00, 0x00}));
    EXPECT_EQ(b[35], 12);
    // Axis scaled by 20000 counts: 1.0 -> 0x4E20, -0.5 -> -10000 = 0xD8F0.
    EXPECT_EQ(slice(b, 45, 6), (sc::Bytes{0x4E, 0x20, 0xD8, 0xF0, 0x00, 0x00}));

    const auto v = sc::decode_nano(b);
    EXPECT_EQ(v.q[0], 0.5f);
    EXPECT_EQ(v.q[1], -0.5f);
    EXPECT_EQ(v.q[2], 0.25f);
    EXPECT_EQ(v.q[3], -0.25f);
    EXPECT_EQ(v.stars, 12);
    EXPECT_EQ(v.w[0], 20000.0f * sc::rate_scale());
    EXPECT_EQ(v.w[1], -10000.0f * sc::rate_scale());
}

TEST(PicoAnswer, LittleEndianWithScalarLastAndShiftedStars)
{
    const auto b = devsim::encode_star_answer(StarType::pico, attitude(0.5, 0.25, -0.5, 0.125, 5, 1, 1, 1));
    ASSERT_EQ(b.size(), 256u);
    EXPECT_TRUE(sc::pico_ok(b));
    EXPECT_EQ(slice(b, 16, 4), (sc::Bytes{0x00, 0x00, 0x00, 0x40}));  // q0 after the others
    EXPECT_EQ(slice(b, 4, 4), (sc::Bytes{0x00, 0x00, 0x00, 0x20}));
    EXPECT_EQ(slice(b, 8, 4), (sc::Bytes{0x00, 0x00, 0x00, 0xC0}));
    EXPECT_EQ(slice(b, 12, 4), (sc::Bytes{0x00, 0x00, 0x00, 0x10}));
    EXPECT_EQ(b[34], 0x0A);  // five stars in the upper seven bits

    const auto v = sc::decode_pico(b);
    EXPECT_EQ(v.q[0], 0.5f);
    EXPECT_EQ(v.q[1], 0.25f);
    EXPECT_EQ(v.q[2], -0.5f);
    EXPECT_EQ(v.q[3], 0.125f);
    EXPECT_EQ(v.stars, 5);
}

TEST(StarAnswer, QuaternionEncodingClampsAtPlusOne)
{
    EXPECT_EQ(devsim::star_quaternion_counts(1.0), 2147483647);
    EXPECT_EQ(devsim::star_quaternion_counts(1.5), 2147483647);
    EXPECT_EQ(devsim::star_quaternion_counts(-1.0), -2147483647 - 1);
    EXPECT_EQ(devsim::star_quaternion_counts(-2.0), -2147483647 - 1);
    EXPECT_EQ(devsim::star_quaternion_counts(0.0), 0);

    const auto nano = devsim::encode_star_answer(StarType::nano, attitude(1.0, 0, 0, -1.0, 7));
    EXPECT_EQ(slice(nano, 4, 4), (sc::Bytes{0x7F, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(slice(nano, 16, 4), (sc::Bytes{0x80, 0x00, 0x00, 0x00}));
    EXPECT_EQ(sc::decode_nano(nano).q[0], 1.0f);
    EXPECT_EQ(sc::decode_nano(nano).q[3], -1.0f);

    const auto pico = devsim::encode_star_answer(StarType::pico, attitude(1.0, 0, 0, 0, 7));
    EXPECT_EQ(slice(pico, 16, 4), (sc::Bytes{0xFF, 0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(sc::decode_pico(pico).q[0], 1.0f);
}

TEST(StarAnswer, RateScaleIsTheFloatNearestTwoTimesTenToMinus13)
{
    EXPECT_EQ(devsim::NANO_RATE_LSB, sc::rate_scale());
    EXPECT_EQ(devsim::nano_rate_counts(1.0), 20000);
    EXPECT_EQ(devsim::nano_rate_counts(-1.0), -20000);
    EXPECT_EQ(devsim::nano_rate_counts(5.0), 32767);  // saturates instead of wrapping
}

// The simulator's own decoding (what it logs) against the examples the
// protocol gives.
TEST(StarAnswer, LoggedDecodingMatchesProtocolExamples)
{
    sc::Bytes nano(64, 0);
    nano[4] = 0x40;
    nano[45] = 0xFF;
    nano[46] = 0xFF;
    const auto n = devsim::decode_star_answer(StarType::nano, nano);
    EXPECT_EQ(n.q[0], 0.5f);
    EXPECT_EQ(n.w[0], -sc::rate_scale());
    EXPECT_EQ(devsim::star_reading_text(n), "q0=0.5 q1=0 q2=0 q3=0 wx=-2e-13 wy=0 wz=0 stars=0");

    sc::Bytes pico(256, 0);
    pico[19] = 0x40;
    pico[34] = 0x0B;
    const auto p = devsim::decode_star_answer(StarType::pico, pico);
    EXPECT_EQ(p.q[0], 0.5f);
    EXPECT_EQ(p.stars, 5);
    EXPECT_EQ(devsim::star_reading_text(p), "q0=0.5 q1=0 q2=0 q3=0 wx=0 wy=0 wz=0 stars=5");
}

TEST(StarMotion, UnitQuaternionRotatingAtHalfADegreePerSecond)
{
    constexpr double pi = 3.14159265358979323846;
    for (unsigned line = 0; line < 4; ++line) {
        for (double t = 0; t < 900; t += 37.3) {
            const auto a = devsim::star_attitude_at(line, t);
            const auto b = devsim::star_attitude_at(line, t + 10.0);
            double dot = 0, na = 0;
            for (int i = 0; i < 4; ++i) {
                dot += a.q[i] * b.q[i];
                na += a.q[i] * a.q[i];
            }
            EXPECT_NEAR(na, 1.0, 1e-12);
            // Rotation angle between the two: 2 acos |<a, b>|.
            const double angle_deg = 2.0 * std::acos(std::min(1.0, std::fabs(dot))) * 180.0 / pi;
            EXPECT_NEAR(angle_deg, 5.0, 1e-6) << "line " << line << " t " << t;

            // What a service decodes is still a unit quaternion.
            const auto nano = sc::decode_nano(devsim::encode_star_answer(StarType::nano, a));
            const auto pico = sc::decode_pico(devsim::encode_star_answer(StarType::pico, a));
            EXPECT_NEAR(sc::norm_squared(nano), 1.0, 1e-6);
            EXPECT_NEAR(sc::norm_squared(pico), 1.0, 1e-6);
        }
    }
}

TEST(StarMotion, LinesHaveDifferentPhasesAndStarCountsStayInRange)
{
    const auto a = devsim::star_attitude_at(0, 100.0);
    const auto b = devsim::star_attitude_at(1, 100.0);
    EXPECT_GT(std::fabs(a.q[0] - b.q[0]), 1e-3);

    std::set<int> seen;
    for (unsigned line = 0; line < 3; ++line) {
        for (double t = 0; t < 200; t += 0.5) {
            const int s = devsim::star_attitude_at(line, t).stars;
            EXPECT_GE(s, 5);
            EXPECT_LE(s, 20);
            seen.insert(s);
        }
    }
    // The whole range is visited, not a constant.
    EXPECT_EQ(seen.size(), 16u);
}

TEST(StarSensorDevice, NanoAnswersItsQueryAndLogsWhatTheServiceDecodes)
{
    SensorHarness h(StarType::nano, 2);
    EXPECT_EQ(h.sensor.kind(), "nano");
    EXPECT_EQ(h.sensor.bits_per_byte(), 10);

    for (double t : {0.0, 13.7, 250.25}) {
        h.log.clear();
        const auto answers = h.send(NANO_QUERY, t);
        ASSERT_EQ(answers.size(), 1u);
        ASSERT_TRUE(sc::nano_ok(answers[0].bytes));
        EXPECT_EQ(answers[0].summary, "answer " + sc::answer_text(sc::decode_nano(answers[0].bytes)));
        EXPECT_EQ(h.log, (std::vector<std::string>{"command: 74 A1 00 00 15", "<answer>"}));
    }
}

TEST(StarSensorDevice, PicoAnswersItsQueryAndLogsWhatTheServiceDecodes)
{
    SensorHarness h(StarType::pico, 1);
    EXPECT_EQ(h.sensor.kind(), "pico");
    for (double t : {0.0, 42.0, 301.9}) {
        const auto answers = h.send(PICO_QUERY, t);
        ASSERT_EQ(answers.size(), 1u);
        ASSERT_TRUE(sc::pico_ok(answers[0].bytes));
        const auto v = sc::decode_pico(answers[0].bytes);
        EXPECT_EQ(v.w[0], 0.0f);
        EXPECT_EQ(answers[0].summary, "answer " + sc::answer_text(v));
    }
}

TEST(StarSensorDevice, QueryOfTheOtherTypeIsLoggedAndNotAnswered)
{
    SensorHarness nano(StarType::nano);
    EXPECT_TRUE(nano.send(PICO_QUERY).empty());
    ASSERT_EQ(nano.log.size(), 2u);
    EXPECT_EQ(nano.log[0], "command: 74 A1 00 05 1A");
    EXPECT_NE(nano.log[1].find("not answered"), std::string::npos);

    SensorHarness pico(StarType::pico);
    EXPECT_TRUE(pico.send(NANO_QUERY).empty());
    EXPECT_EQ(pico.log.at(0), "command: 74 A1 00 00 15");
}

TEST(StarSensorDevice, OtherCommandsAreAcceptedWithoutAnswer)
{
    SensorHarness h(StarType::nano);
    sc::Bytes time_frame = {0x74, 0xA3, 0, 0, 0, 0, 0, 0x17};
    EXPECT_TRUE(h.send({0x74, 0xA0, 0x00, 0x00, 0x14}).empty());
    EXPECT_TRUE(h.send({0x74, 0xA9, 0x60, 0x05, 0x82}).empty());
    EXPECT_TRUE(h.send(time_frame).empty());
    ASSERT_EQ(h.log.size(), 3u);
    EXPECT_EQ(h.log[0], "command: 74 A0 00 00 14");
    EXPECT_EQ(h.log[1], "command: 74 A9 60 05 82");
    EXPECT_EQ(h.log[2], "command: 74 A3 00 00 00 00 00 17");
}

TEST(StarSensorDevice, BadChecksumQueryIsDroppedAndTheNextOneAnswered)
{
    SensorHarness h(StarType::nano);
    EXPECT_TRUE(h.send({0x74, 0xA1, 0x00, 0x00, 0x16}).empty());
    ASSERT_EQ(h.log.size(), 1u);
    EXPECT_NE(h.log[0].find("bad frame"), std::string::npos);
    EXPECT_EQ(h.log[0].find("command:"), std::string::npos);
    EXPECT_EQ(h.send(NANO_QUERY).size(), 1u);
}

TEST(StarSensorDevice, SeveralCommandsInOneReadAreHandledInOrder)
{
    SensorHarness h(StarType::pico);
    sc::Bytes stream = PICO_QUERY;
    stream.insert(stream.end(), {0x74, 0xA0, 0x00, 0x00, 0x14});
    stream.insert(stream.end(), PICO_QUERY.begin(), PICO_QUERY.end());
    EXPECT_EQ(h.send(stream).size(), 2u);
    // Each answer goes out before the next command is looked at.
    EXPECT_EQ(h.log, (std::vector<std::string>{"command: 74 A1 00 05 1A", "<answer>", "command: 74 A0 00 00 14",
                                               "command: 74 A1 00 05 1A", "<answer>"}));
}

TEST(StarSensorDevice, ResetInputForgetsAPartialQuery)
{
    SensorHarness h(StarType::nano);
    EXPECT_TRUE(h.send({0x74, 0xA1, 0x00}).empty());
    h.sensor.reset_input();
    // Without the reset these bytes would complete a (bad) frame.
    EXPECT_EQ(h.send(NANO_QUERY).size(), 1u);
}
