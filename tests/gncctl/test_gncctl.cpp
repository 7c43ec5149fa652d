// gncctl's command line and the conditions of `wait`, in process.
#include "gncctl.h"

#include <gtest/gtest.h>

using namespace gncctl;

TEST(GncctlConditions, ParseOrRefuse)
{
    struct Case {
        const char* text;
        bool ok;
        const char* device;
        const char* field;
        Op op;
        double value;
        const char* error_names;  // what a refusal must name
    };
    const Case cases[] = {
        {"wheel1.speed >= 590", true, "wheel1", "speed", Op::GreaterEqual, 590, ""},
        {"wheel1.speed>=-12.5", true, "wheel1", "speed", Op::GreaterEqual, -12.5, ""},
        {"gyro.x<0", true, "gyro", "x", Op::Less, 0, ""},
        {"gyro.x <= 1e-3", true, "gyro", "x", Op::LessEqual, 1e-3, ""},
        {"optical.check_errors != 0", true, "optical", "check_errors", Op::NotEqual, 0, ""},
        {"nano1.stars == 7", true, "nano1", "stars", Op::Equal, 7, ""},
        {"mems.z > 2", true, "mems", "z", Op::Greater, 2, ""},
        {"wheel1.speed = 5", false, "", "", Op::Equal, 0, "=="},
        {"wheel1.speed ! 5", false, "", "", Op::Equal, 0, "!="},
        {"wheel1.speed 5", false, "", "", Op::Equal, 0, "no comparison"},
        {"speed >= 5", false, "", "", Op::Equal, 0, "DEVICE.FIELD"},
        {"wheel1. >= 5", false, "", "", Op::Equal, 0, "DEVICE.FIELD"},
        {"a.b.c >= 5", false, "", "", Op::Equal, 0, "DEVICE.FIELD"},
        {"wheel1.speed >= fast", false, "", "", Op::Equal, 0, "'fast' is not a number"},
        {"wheel1.speed >= ", false, "", "", Op::Equal, 0, "not a number"},
        {"wheel1.speed >= nan", false, "", "", Op::Equal, 0, "not a number"},
        {"wheel1.speed >= 0x10", false, "", "", Op::Equal, 0, "not a number"},
        {"wheel1.speed >= = 5", false, "", "", Op::Equal, 0, "not a number"},
    };
    for (const Case& c : cases) {
        std::string error;
        auto cond = parse_condition(c.text, error);
        ASSERT_EQ(cond.has_value(), c.ok) << c.text << ": " << error;
        if (!c.ok) {
            EXPECT_NE(error.find(c.error_names), std::string::npos) << c.text << ": " << error;
            continue;
        }
        EXPECT_EQ(cond->device, c.device) << c.text;
        EXPECT_EQ(cond->field, c.field) << c.text;
        EXPECT_EQ(cond->op, c.op) << c.text;
        EXPECT_EQ(cond->value, c.value) << c.text;
    }
}

TEST(GncctlConditions, FloatFieldsCompareAtTheirPrecision)
{
    struct Case {
        const char* text;
        double value;
        bool integer;
        bool holds;
    };
    const Case cases[] = {
        {"wheel1.speed == 0.1", double(0.1f), false, true},   // the record's float nearest 0.1
        {"wheel1.speed != 0.1", double(0.1f), false, false},
        {"wheel1.speed <= 0.1", double(0.1f), false, true},
        {"wheel1.speed < 0.1", double(0.1f), false, false},
        {"wheel1.speed > 599.9", 600.0, false, true},
        {"wheel1.speed >= 600", double(599.99f), false, false},
        {"optical.cmd_count == 3", 3, true, true},
        {"optical.cmd_count < 3", 3, true, false},
        {"optical.cmd_count > 2.5", 3, true, true},
    };
    for (const Case& c : cases) {
        std::string error;
        auto cond = parse_condition(c.text, error);
        ASSERT_TRUE(cond) << c.text << ": " << error;
        EXPECT_EQ(condition_holds(*cond, c.value, c.integer), c.holds) << c.text << " with " << c.value;
    }
}

TEST(GncctlOptions, CommandLines)
{
    struct Case {
        std::vector<std::string> args;
        bool ok;
        const char* error_names;  // the word the message must name
    };
    const Case cases[] = {
        {{"send", "wheel1", "speed", "-300", "1.5"}, true, ""},  // a negative number is an argument
        {{"send", "vision", "quaternion", "-.5", "0", "0", "0"}, true, ""},
        {{"watch", "gyro", "mems", "--rate=2.5", "--csv"}, true, ""},
        {{"-v", "get", "wheel1", "--json"}, true, ""},
        {{"get", "gyro", "--field", "x", "--field", "y"}, true, ""},
        {{"wait", "wheel1.speed", ">=", "590", "--timeout", "30", "--bus-timeout", "2"}, true, ""},
        {{"send", "--", "nano1", "a9-60", "-1"}, true, ""},
        {{"--help"}, true, ""},
        {{"get", "--help"}, true, ""},
        {{}, false, "no command"},
        {{"poll", "wheel1"}, false, "poll"},
        {{"get"}, false, "gncctl get DEVICE"},
        {{"get", "wheel1", "wheel2"}, false, "wheel2"},
        {{"send", "wheel1"}, false, "COMMAND"},
        {{"get", "wheel1", "--csv"}, false, "--csv"},
        {{"get", "wheel1", "--rate", "2"}, false, "--rate"},
        {{"watch", "gyro", "--json", "--csv"}, false, "--json and --csv"},
        {{"watch", "gyro", "--passive", "--rate", "2"}, false, "--passive"},
        {{"watch", "gyro", "--rate", "0"}, false, "--rate"},
        {{"watch", "gyro", "--rate", "21"}, false, "20"},
        {{"watch", "gyro", "--rate"}, false, "needs a value"},
        {{"watch", "gyro", "--count", "2.5"}, false, "--count"},
        {{"get", "gyro", "--timeout", "-1"}, false, "--timeout"},
        {{"get", "gyro", "--timeout", "soon"}, false, "soon"},
        {{"get", "gyro", "--json=yes"}, false, "--json takes no value"},
        {{"get", "gyro", "--jsn"}, false, "--jsn"},
        {{"get", "gyro", "--json", "--field", "x"}, false, "--field"},
    };
    for (const Case& c : cases) {
        ParsedOptions p = parse_options(c.args);
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        ASSERT_EQ(p.ok, c.ok) << line << ": " << p.error;
        if (!c.ok) {
            EXPECT_NE(p.error.find(c.error_names), std::string::npos) << line << ": " << p.error;
        }
    }

    // What the accepted lines mean.
    Options send = parse_options({"send", "wheel1", "speed", "-300", "1.5"}).options;
    EXPECT_EQ(send.words, (std::vector<std::string>{"wheel1", "speed", "-300", "1.5"}));
    Options watch = parse_options({"watch", "gyro", "mems", "--rate=2.5", "--csv"}).options;
    EXPECT_EQ(watch.words, (std::vector<std::string>{"gyro", "mems"}));
    EXPECT_EQ(watch.rate_hz, 2.5);
    EXPECT_EQ(watch.format, Format::Csv);
    // --timeout is the condition's for wait and the bus's for the others.
    Options wait = parse_options({"wait", "wheel1.speed", ">=", "590", "--timeout", "30"}).options;
    EXPECT_EQ(bus_timeout_s(wait), DEFAULT_BUS_TIMEOUT_S);
    EXPECT_EQ(wait.timeout_s, 30.0);
    EXPECT_EQ(bus_timeout_s(parse_options({"get", "gyro", "--timeout", "2"}).options), 2.0);
    EXPECT_EQ(bus_timeout_s(parse_options({"get", "gyro", "--timeout", "2", "--bus-timeout", "7"}).options), 7.0);
}

TEST(GncctlFormats, ValuesReadBackAsTheRecordsFloat)
{
    struct Case {
        double value;
        bool integer;
        const char* text;
    };
    const Case cases[] = {
        {double(0.1f), false, "0.1"},
        {double(599.99f), false, "599.99"},
        {double(-1.5e-7f), false, "-1.5e-07"},
        {double(123456.789f), false, "123456.79"},
        {4294967295.0, true, "4294967295"},
        {0.0, false, "0"},
        {70.0, false, "70"},
        {double(-1234.5f), false, "-1234.5"},
    };
    for (const Case& c : cases) EXPECT_EQ(format_value(c.value, c.integer), c.text) << c.value;
    for (float f : {0.3f, 1.0f / 3.0f, 6000.123f, -0.015f, 3.4e38f, 1.17549435e-38f})
        EXPECT_EQ(std::stof(format_value(double(f), false)), f) << f;
}
