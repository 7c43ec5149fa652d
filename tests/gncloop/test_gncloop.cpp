// gncloop's control law and command line, in process; the torque it sends
// goes through the wheel service's own frame encoding.
#include "gncloop.h"

#include "byte_order.h"
#include "command_catalog.h"
#include "flywheel_protocol.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

using namespace gncloop;

static Quat about(double x, double y, double z, double deg)
{
    const double n = std::sqrt(x * x + y * y + z * z), h = deg * M_PI / 360.0;
    return {std::cos(h), std::sin(h) * x / n, std::sin(h) * y / n, std::sin(h) * z / n};
}

TEST(GncloopLaw, TorqueTurnsTheBodyBackTheShortWay)
{
    const Gains g;  // kp 1.5, kd 7, 0.1 N m
    const double k2 = 2 * 1.5 * std::sin(1 * M_PI / 180);  // kp 2 |e| for 2 degrees
    const Quat yawed = about(0, 0, 1, 30);
    struct Case {
        const char* what;
        Quat q, target;
        Vec3 w;
        Vec3 u;  // expected body torque
        double angle_deg;
    };
    const Case cases[] = {
        {"2 deg about +x", about(1, 0, 0, 2), {1, 0, 0, 0}, {0, 0, 0}, {-k2, 0, 0}, 2},
        {"the same as -q", multiply(about(1, 0, 0, 2), {-1, 0, 0, 0}), {1, 0, 0, 0}, {0, 0, 0}, {-k2, 0, 0}, 2},
        {"358 deg about +x is 2 about -x", about(1, 0, 0, 358), {1, 0, 0, 0}, {0, 0, 0}, {k2, 0, 0}, 2},
        {"error in body axes, not inertial", multiply(yawed, about(1, 0, 0, 2)), yawed, {0, 0, 0}, {-k2, 0, 0}, 2},
        {"rate damped", about(0, 1, 0, 0), {1, 0, 0, 0}, {0.001, -0.002, 0.003}, {-0.007, 0.014, -0.021}, 0},
        {"saturated, direction kept", about(0, 1, 2, 20), {1, 0, 0, 0}, {0, 0, 0}, {0, -0.05, -0.1}, 20},
    };
    for (const Case& c : cases) {
        const Vec3 u = control_torque(c.q, c.w, c.target, g);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(u[i], c.u[i], 1e-9) << c.what << ", axis " << i;
        EXPECT_NEAR(error_angle_deg(attitude_error(c.q, c.target)), c.angle_deg, 1e-9) << c.what;
    }
}

TEST(GncloopLaw, WheelsGetTheNegatedTorqueExactlyInThousandths)
{
    const Vec3 wheels = wheel_torques({0.0124, -0.0126, 0.0004});
    EXPECT_DOUBLE_EQ(wheels[0], -0.012);
    EXPECT_DOUBLE_EQ(wheels[1], 0.013);
    EXPECT_EQ(wheels[2], 0.0);

    // What the wheel receives: the catalog's payload, encoded into the
    // frame by the wheel service's own builder.
    for (int k : {-100, -37, -12, -9, -1, 0, 1, 9, 12, 37, 100}) {
        const auto b = commands::build_command("wheel1", "torque", {torque_argument(k * TORQUE_STEP)});
        ASSERT_TRUE(b.ok) << b.error;
        uint8_t frame[FLYWHEEL_CMD_LEN];
        build_flywheel_command(FLYWHEEL_CMD_TORQUE, load_le_float(&b.built.payload[2]), 0.0f, 0x11, frame);
        EXPECT_EQ(int32_t(load_be32(frame + 1)), k) << torque_argument(k * TORQUE_STEP);
    }
}

TEST(GncloopOptions, AcceptOrRefuse)
{
    struct Case {
        std::vector<std::string> args;
        const char* error_names;  // "" when accepted
    };
    const Case cases[] = {
        {{"--star", "pico3", "--kp=2", "--kd", "0", "--rate", "20", "--duration", "60", "--max-torque", "0.05"}, ""},
        {{"--star", "wheel1"}, "not a star sensor"},
        {{"--target", "1,0,0"}, "four numbers"},
        {{"--target", "2,0,0,0"}, "unit quaternion"},
        {{"--kp", "-1"}, "--kp -1"},
        {{"--rate", "21"}, "at most 20"},
        {{"--rate=0x10"}, "--rate 0x10"},
        {{"--duration", "-1"}, "0 or more"},
        {{"--max-torque", "0.0005"}, "at least 0.001"},
        {{"--max-torque", "0.0125"}, "0.001 N m steps"},
        {{"--kp"}, "--kp needs a value"},
        {{"--gain", "2"}, "unknown option '--gain'"},
        {{"nano1"}, "unexpected word 'nano1'"},
    };
    for (const Case& c : cases) {
        Options o;
        std::string error;
        EXPECT_EQ(parse_options(c.args, o, error), !*c.error_names) << c.args[0] << ": " << error;
        EXPECT_NE(error.find(c.error_names), std::string::npos) << error;
    }
    Options o;
    std::string error;
    ASSERT_TRUE(parse_options({"--target", "0.9848078,0,0,0.1736482", "--kp=2"}, o, error));
    EXPECT_NEAR(o.target[3], std::sin(10 * M_PI / 180), 1e-6);  // renormalised
    EXPECT_EQ(o.gains.kp, 2.0);

    // Refused before joining the bus: a bad option, an unwritable log.
    std::ostringstream out, err;
    EXPECT_EQ(run({"--rate", "50"}, out, err), EXIT_USAGE);
    EXPECT_EQ(run({"--log", "/nonexistent/dir/gncloop.jsonl"}, out, err), EXIT_USAGE);
    EXPECT_NE(err.str().find("cannot write the log"), std::string::npos) << err.str();
}
