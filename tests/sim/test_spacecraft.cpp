// The spacecraft model on a virtual clock: conservation, a pure spin, the
// sensors' answers against each other, the wheel's sign on the wire, the
// truth log and the configuration file's checks.
#include "rate_answer_check.h"
#include "star_answer_check.h"

#include "gyro_codec.h"
#include "mems_codec.h"
#include "rate_sensor.h"
#include "spacecraft.h"
#include "star_sensor.h"
#include "truth_model.h"
#include "wheel.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace devsim;

namespace {

constexpr double PI = 3.14159265358979323846;

double norm(const Vec3& v)
{
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

SpacecraftConfig base(const Vec3& rates)
{
    SpacecraftConfig c;
    c.inertia = {{{10.0, 0.3, -0.2}, {0.3, 12.0, 0.4}, {-0.2, 0.4, 8.0}}};
    c.attitude = quat_normalized({0.9, 0.1, -0.3, 0.2});
    c.rates = rates;
    for (int k = 0; k < 3; ++k) {
        WheelConfig w;
        w.axis = {0.0, 0.0, 0.0};
        w.axis[std::size_t(k)] = 1.0;
        c.wheels.push_back(w);
    }
    return c;
}

// Commands given at whole seconds.
struct Command {
    double at;
    std::size_t wheel;
    bool speed;  // speed mode (value rpm, limit N m) or torque mode (value N m)
    double value, limit;
};

}  // namespace

TEST(Spacecraft, MomentumAndQuaternionNormHoldWhileWheelsSpinUpAndDown)
{
    struct Case {
        const char* name;
        std::vector<Command> commands;
    };
    const std::vector<Case> cases = {
        {"speed mode", {{0, 0, true, 3000, 0}, {0, 1, true, -2000, 0.02}, {300, 2, true, 4500, 0},
                        {500, 0, true, 0, 0}, {600, 1, true, 1000, 0}, {800, 2, true, -500, 0}}},
        // Long enough at full torque to reach the speed limit and sit there.
        {"torque mode", {{0, 0, false, 0.1, 0}, {0, 1, false, -0.05, 0}, {10, 2, false, 0.08, 0},
                         {200, 0, false, -0.1, 0}, {400, 1, false, 0.1, 0}, {700, 2, false, -0.1, 0}}},
        {"both", {{0, 0, true, 5000, 0}, {50, 0, false, -0.07, 0}, {100, 1, false, 0.03, 0},
                  {300, 1, true, -3000, 0.05}, {600, 2, false, 0.1, 0}, {900, 2, true, 0, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Spacecraft craft(base({0.01, -0.02, 0.015}));
        const Vec3 h0 = craft.momentum_inertial();
        double worst_h = 0.0, worst_q = 0.0, fastest = 0.0;
        for (int s = 1; s <= 1000; ++s) {
            for (const auto& cmd : c.commands) {
                if (cmd.at != s - 1) continue;
                if (cmd.speed) craft.command_wheel_speed(cmd.wheel, cmd.value, cmd.limit);
                else craft.command_wheel_torque(cmd.wheel, cmd.value);
            }
            craft.advance(s);
            const Vec3 h = craft.momentum_inertial();
            worst_h = std::max(worst_h, norm({h[0] - h0[0], h[1] - h0[1], h[2] - h0[2]}) / norm(h0));
            const Quat& q = craft.attitude();
            worst_q = std::max(worst_q, std::fabs(std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]) - 1));
            for (std::size_t k = 0; k < 3; ++k) fastest = std::max(fastest, std::fabs(craft.wheel_rpm(k)));
        }
        EXPECT_DOUBLE_EQ(craft.time(), 1000.0);
        EXPECT_LE(worst_h, 1e-9);
        EXPECT_LE(worst_q, 1e-12);
        EXPECT_GT(fastest, 2000.0);  // the wheels really carried momentum
        EXPECT_LE(fastest, 6000.0 + 1e-6);
    }
}

TEST(Spacecraft, PureSpinAboutAPrincipalAxisStaysPure)
{
    // Principal axes turned away from the body axes, so the spin is not
    // along a body axis and round-off has room to act.
    const Quat turn = quat_normalized({0.8, 0.3, -0.4, 0.2});
    const Vec3 moments = {6.0, 9.0, 14.0};
    for (int axis = 0; axis < 3; ++axis) {
        SCOPED_TRACE(axis);
        SpacecraftConfig c = base({0, 0, 0});
        Vec3 columns[3];
        for (int k = 0; k < 3; ++k) columns[k] = rotate(turn, {k == 0 ? 1.0 : 0.0, k == 1 ? 1.0 : 0.0, k == 2 ? 1.0 : 0.0});
        for (int r = 0; r < 3; ++r)
            for (int s = 0; s < 3; ++s) {
                c.inertia[r][s] = 0.0;
                for (int k = 0; k < 3; ++k) c.inertia[r][s] += columns[k][r] * moments[k] * columns[k][s];
            }
        const Vec3 e = columns[axis];
        const double rate = 0.2;
        c.rates = {rate * e[0], rate * e[1], rate * e[2]};
        Spacecraft craft(c);
        // Long enough for 3 turns; about the middle axis, where a spin is
        // unstable, round-off grows 5000-fold in that time.
        craft.advance(100.0);
        const Vec3& w = craft.rates();
        const double along = w[0] * e[0] + w[1] * e[1] + w[2] * e[2];
        EXPECT_NEAR(along, rate, 1e-12);
        EXPECT_LE(norm({w[0] - along * e[0], w[1] - along * e[1], w[2] - along * e[2]}), 1e-9);
        const double half = rate * 100.0 / 2;
        const Quat expected =
            quat_multiply(c.attitude, {std::cos(half), e[0] * std::sin(half), e[1] * std::sin(half), e[2] * std::sin(half)});
        EXPECT_LE(attitude_difference(craft.attitude(), expected), 1e-9);
    }
}

// Gyro or MEMS answers, decoded as the service decodes them and integrated
// from the star sensor's first attitude, give the star sensor's attitude.
TEST(Spacecraft, IntegratedRateAnswersFollowTheStarSensor)
{
    struct Case {
        const RateCodec& codec;
        std::function<rate_check::Values(const rate_check::Bytes&)> decode;
        Quat mounting;  // star sensor
    };
    const std::vector<Case> cases = {
        {gyro_codec(), rate_check::decode_gyro, {1, 0, 0, 0}},
        {gyro_codec(), rate_check::decode_gyro, quat_normalized({0.7, 0.0, 0.7, 0.1})},
        {mems_codec(), rate_check::decode_mems, {0.5, 0.5, 0.5, 0.5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codec.kind);
        SpacecraftConfig config = base({0.02, -0.03, 0.015});
        config.sensors["star"].mounting = c.mounting;
        auto truth = std::make_shared<TruthModel>(config);
        auto quiet = [](const std::string&) {};
        StarSensor star(StarType::nano, 0, quiet, [truth](double t) { return truth->star_attitude("star", 0, t); });
        RateSensor rates(c.codec, 0, quiet, [truth](double t) { return truth->rates_deg_s("rate", t); });

        auto ask_star = [&](double t) {
            Bytes answer;
            const Bytes& query = star_attitude_query(StarType::nano);
            star.receive(query.data(), query.size(), t, [&](Answer a) { answer = a.bytes; });
            const auto v = star_check::decode_nano(answer);
            const Quat sensor{v.q[0], v.q[1], v.q[2], v.q[3]};
            return quat_multiply(sensor, quat_conjugate(c.mounting));  // the body's attitude
        };
        auto ask_rates = [&](double t) {
            Bytes answer;
            const uint8_t request[2] = {0x55, 0x68};
            rates.receive(request, 2, t, [&](Answer a) { answer = a.bytes; });
            const auto v = c.decode(answer);
            return Vec3{v[0] * PI / 180, v[1] * PI / 180, v[2] * PI / 180};
        };
        auto dq = [](const Quat& q, const Vec3& w) {
            const Quat d = quat_multiply(q, {0, w[0], w[1], w[2]});
            return Quat{d[0] / 2, d[1] / 2, d[2] / 2, d[3] / 2};
        };

        const Quat start = ask_star(0.0);
        Quat q = start;
        Vec3 w0 = ask_rates(0.0);
        const double h = config.step_s;
        for (int n = 1; n <= 6000; ++n) {
            const Vec3 w1 = ask_rates(n * h);
            const Vec3 wm = {(w0[0] + w1[0]) / 2, (w0[1] + w1[1]) / 2, (w0[2] + w1[2]) / 2};
            auto plus = [](Quat a, const Quat& d, double f) {
                for (int i = 0; i < 4; ++i) a[i] += f * d[i];
                return a;
            };
            const Quat k1 = dq(q, w0), k2 = dq(plus(q, k1, h / 2), wm), k3 = dq(plus(q, k2, h / 2), wm),
                       k4 = dq(plus(q, k3, h), w1);
            for (int i = 0; i < 4; ++i) q[i] += h / 6 * (k1[i] + 2 * k2[i] + 2 * k3[i] + k4[i]);
            q = quat_normalized(q);
            w0 = w1;
        }
        const Quat end = ask_star(60.0);
        EXPECT_GT(attitude_difference(start, end), 1.0);  // a real tumble
        EXPECT_LE(attitude_difference(q, end), 1e-6);
    }
}

// A positive torque command turns the wheel up along its axis and the body
// the other way, as the status frames and the gyro then say.
TEST(Spacecraft, WheelTorqueCommandOnTheWireTurnsTheBodyTheOtherWay)
{
    auto truth = std::make_shared<TruthModel>(base({0, 0, 0}));
    auto quiet = [](const std::string&) {};
    Wheel wheel(0x11, 10.0, quiet, truth->wheel_motor(1));
    const Bytes command = encode_wheel_command(WHEEL_CMD_TORQUE, 0.05f, 0.0f, 0x11);
    wheel.receive(command.data(), command.size(), 0.0, [](Answer) {});
    Bytes status;
    for (int i = 0; i <= 20; ++i) wheel.tick(i * 0.1, [&](Answer a) { status = a.bytes; });
    const auto s = decode_wheel_status(status);
    ASSERT_TRUE(s.has_value());
    EXPECT_NEAR(s->speed, 0.05 / 0.01 * 2.0 * 60 / (2 * PI), 0.01);  // rpm after 2 s
    EXPECT_NEAR(s->torque, 0.05, 1e-9);
    const Vec3 w = truth->craft().rates();
    const Vec3 h = truth->craft().momentum_body();
    EXPECT_LT(w[1], -1e-3);
    EXPECT_NEAR(norm(h), 0.0, 1e-12);
}

TEST(Spacecraft, TruthLogHoldsOneRecordEveryTenthOfASecond)
{
    const std::string path = testing::TempDir() + "truth_log_test.jsonl";
    TruthModel truth(base({0.01, 0.0, 0.0}));
    std::string error;
    ASSERT_TRUE(truth.open_log(path, error)) << error;
    truth.advance(0.35);
    std::ifstream in(path);
    std::string line;
    std::vector<double> times;
    Json::CharReaderBuilder builder;
    while (std::getline(in, line)) {
        Json::Value v;
        std::string why;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        ASSERT_TRUE(reader->parse(line.data(), line.data() + line.size(), &v, &why)) << line;
        ASSERT_EQ(v["q"].size(), 4u);
        ASSERT_EQ(v["w"].size(), 3u);
        ASSERT_EQ(v["wheel_rpm"].size(), 3u);
        const Vec3 h = {v["h"][0].asDouble(), v["h"][1].asDouble(), v["h"][2].asDouble()};
        EXPECT_NEAR(v["h_norm"].asDouble(), norm(h), 1e-12);
        EXPECT_NEAR(v["h_norm"].asDouble(), 0.01 * std::sqrt(100.0 + 0.09 + 0.04), 1e-12);  // I's first column * 0.01 rad/s
        times.push_back(v["t"].asDouble());
    }
    EXPECT_EQ(times, (std::vector<double>{0.0, 0.1, 0.2, 0.3}));
    std::remove(path.c_str());
}

TEST(SpacecraftConfig, ShippedExampleLoads)
{
    SpacecraftConfig c;
    std::string error;
    ASSERT_TRUE(load_spacecraft_config(SPACECRAFT_EXAMPLE, c, error)) << error;
    ASSERT_EQ(c.wheels.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(c.wheels[k].axis[k], 1.0);
    EXPECT_NEAR(attitude_difference(c.attitude, {1, 0, 0, 0}), 20 * PI / 180, 1e-12);
    EXPECT_EQ(c.sensor("nano1").mounting, (Quat{1, 0, 0, 0}));
}

TEST(SpacecraftConfig, BadFilesSayWhatIsWrong)
{
    const std::string inertia = R"("inertia": [[10, 0, 0], [0, 12, 0], [0, 0, 8]])";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{", "not valid JSON"},
        {"[]", "the file: must be an object"},
        {"{}", "inertia: missing"},
        {R"({"inertia": [[10, 1, 0], [0, 12, 0], [0, 0, 8]]})", "inertia: must be symmetric"},
        {R"({"inertia": [[1, 2, 0], [2, 1, 0], [0, 0, 8]]})", "inertia: must be positive definite"},
        {R"({"inertia": [[10, 0], [0, 12], [0, 0]]})", "inertia[0]: must be an array of 3 numbers"},
        {"{" + inertia + R"(, "intertia": 1})", "intertia: unknown field"},
        {"{" + inertia + R"(, "step_s": 0.02})", "step_s: must be at most 0.01"},
        {"{" + inertia + R"(, "seed": -1})", "seed: must be a whole number"},
        {"{" + inertia + R"(, "attitude": [1, 0, 0, 0.5]})", "attitude: is not a unit quaternion"},
        {"{" + inertia + R"(, "attitude": {"axis": [0, 0, 1]}})", "attitude: needs both"},
        {"{" + inertia + R"(, "wheels": [{"axis": [1, 0, 0], "inertia": 0.01}, {"axis": [0, 0, 0], "inertia": 0.01}]})",
         "wheels[1].axis: must not be the zero vector"},
        {"{" + inertia + R"(, "wheels": [{"axis": [1, 0, 0], "inertia": 0.01, "max_torque": "0.1"}]})",
         "wheels[0].max_torque: must be a number"},
        {"{" + inertia + R"(, "wheels": [{"axis": [1, 0, 0]}]})", "wheels[0]: needs \"inertia\""},
        {"{" + inertia + R"(, "disturbance": {"torque": [0, 0]}})", "disturbance.torque: must be an array of 3"},
        {"{" + inertia + R"(, "sensors": {"gyro": {"noise_deg_s": -1}}})", "sensors.gyro.noise_deg_s: must not be negative"},
        {"{" + inertia + R"(, "sensors": {"nano1": {"mount": [1, 0, 0, 0]}}})", "sensors.nano1.mount: unknown field"},
    };
    for (const auto& [text, expected] : cases) {
        SpacecraftConfig c;
        std::string error;
        EXPECT_FALSE(parse_spacecraft_config(text, c, error)) << text;
        EXPECT_NE(error.find(expected), std::string::npos) << text << "\n  gave: " << error;
    }
}
