// The command catalog: payloads byte for byte as each service's Command
// handler reads them, and, for the wheels, the optical and the vision unit,
// the serial frame the service's own frame builders make of them.
#include "byte_order.h"
#include "command_catalog.h"
#include "flywheel_protocol.h"
#include "optical_protocol.h"
#include "vision_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace {

std::string hex(const uint8_t* p, std::size_t n)
{
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; s += b, ++i) std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
    return s;
}

// The frame the service writes for a payload, read the way its handler
// reads it; "" for the star sensors (their frames are checked in tests/star).
std::string frame_of(const commands::Built& b)
{
    const uint8_t* p = b.payload.data();
    if (b.service == "Flywheel_Hardware_Service") {
        uint8_t f[FLYWHEEL_CMD_LEN];  // hardware ids by default 0x11 x wheel number
        build_flywheel_command(p[1] ? FLYWHEEL_CMD_TORQUE : FLYWHEEL_CMD_SPEED, load_le_float(p + 2),
                               load_le_float(p + 6), uint8_t(p[0] * 0x11), f);
        return hex(f, sizeof f);
    }
    if (b.service == "Optical_Hardware_Service") {
        uint8_t f[10];
        if (p[0] == 0) return hex(Optical_CMD[p[1]], 5);
        if (p[0] == 2) {
            optical_time_frame(load_le32(p + 2), load_le16(p + 6), f);
            return hex(f, 10);
        }
        optical_fill_param_row(p[1], int32_t(load_le32(p + 2)));
        return hex(Optical_CMD_para[p[1]], 8);
    }
    if (b.service == "Vision_Hardware_Service") {
        if (p[0] == VISION_CMD_TIME) return hex(vision_time_frame(load_le32(p + 1), load_le16(p + 5)).data(), 14);
        if (p[0] == VISION_CMD_QUATERNION) {
            float q[4] = {load_le_float(p + 1), load_le_float(p + 5), load_le_float(p + 9), load_le_float(p + 13)};
            return hex(vision_quaternion_frame(q, p[17]).data(), 25);
        }
        VisionParamFrame f;
        return vision_param_frame(p[0], load_le_float(p + 1), f) ? hex(f.data(), f.size()) : "no frame";
    }
    return "";
}

const std::string STAR = "Star_sensor_Hardware_Service", WHEEL = "Flywheel_Hardware_Service",
                  OPTICAL = "Optical_Hardware_Service", VISION = "Vision_Hardware_Service";
const std::string Z12 = " 00 00 00 00 00 00 00 00 00 00 00 00";

TEST(CommandCatalog, BuildsWhatTheServicesDecode)
{
    struct Case {
        std::string device, command;
        std::vector<std::string> args;
        std::string service, payload, frame;
    } cases[] = {
        {"nano1", "a9-60", {"5"}, STAR, "00 01 0C 05", ""},
        {"nano1", "012", {"0x05"}, STAR, "00 01 0C 05", ""},
        {"pico8", "attitude", {}, STAR, "01 08 22 00", ""},
        {"nano3", "ATTITUDE", {}, STAR, "00 03 21 00", ""},
        {"pico1", "ac-0b", {"255"}, STAR, "01 01 1A FF", ""},
        {"pico4", "time", {}, STAR, "01 04 04 00", ""},
        {"wheel1", "speed", {"200", "1.5"}, WHEEL, "01 00 00 00 48 43 00 00 C0 3F", "58 00 03 0D 40 00 00 05 DC 11 9A"},
        // Speed mode without a second value sends the console's 1.5.
        {"wheel2", "speed", {"1500"}, WHEEL, "02 00 00 80 BB 44 00 00 C0 3F", "58 00 16 E3 60 00 00 05 DC 22 B4"},
        {"wheel3", "torque", {"-1.5"}, WHEEL, "03 01 00 00 C0 BF 00 00 00 00", "59 FF FF FA 24 00 00 00 00 33 A8"},
        // The limits survive the wheel encoding with their sign.
        {"wheel8", "0", {"2147483.5", "-2147483.5"}, WHEEL, "08 00 6E 12 03 4A 6E 12 03 CA",
         "58 7F FF FF 6C 80 00 00 94 88 DD"},
        {"optical", "direct", {"14"}, OPTICAL, "00 0E", "CD 90 06 00 FF"},
        {"optical", "param", {"5", "-2"}, OPTICAL, "01 05 FE FF FF FF", "EB 90 05 FF FF FF FE 7B"},
        {"optical", "1", {"3", "300"}, OPTICAL, "01 03 2C 01 00 00", "EB 90 03 2C 00 00 00 AA"},
        {"optical", "parameter", {"2", "0x12345678"}, OPTICAL, "01 02 78 56 34 12", "EB 90 02 12 34 56 78 91"},
        {"optical", "time", {"1000", "250"}, OPTICAL, "02 00 E8 03 00 00 FA 00", "EB 90 0D 00 00 03 E8 00 FA 6D"},
        {"vision", "param", {"1", "3.7"}, VISION, "01 CD CC 6C 40", "EB 90 1E 00 06 01 01 03 00 00 00 29"},
        {"vision", "param", {"10", "-2.9"}, VISION, "0A 9A 99 39 C0", "EB 90 1E 00 06 0A 0A FE 00 00 00 36"},
        {"vision", "param", {"6", "1.5"}, VISION, "06 00 00 C0 3F", "EB 90 1E 00 06 06 06 3F C0 00 00 2F"},
        {"vision", "param", {"3", "-128.9"}, VISION, "03 66 E6 00 C3", "EB 90 1E 00 06 03 03 80 00 00 00 AA"},
        {"vision", "quaternion", {"1", "0", "0", "0", "1"}, VISION, "07 00 00 80 3F" + Z12 + " 01",
         "EB 90 1E 00 13 07 07 3F 80 00 00" + Z12 + " 01 FF"},
        {"vision", "7", {"0.5", "-1", "0", "-0"}, VISION, "07 00 00 00 3F 00 00 80 BF 00 00 00 00 00 00 00 80 00",
         "EB 90 1E 00 13 07 07 3F 00 00 00 BF 80 00 00 00 00 00 00 80 00 00 00 00 3D"},
        {"vision", "time", {"1000", "250"}, VISION, "08 E8 03 00 00 FA 00", "EB 90 1E 00 08 08 08 00 00 03 E8 00 FA 1B"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device + " " + c.command);
        commands::BuildResult r = commands::build_command(c.device, c.command, c.args);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.built.service, c.service);
        ASSERT_EQ(hex(r.built.payload.data(), r.built.payload.size()), c.payload);
        EXPECT_EQ(frame_of(r.built), c.frame);
    }
}

TEST(CommandCatalog, RefusesWithReason)
{
    struct Case {
        std::string device, command;
        std::vector<std::string> args;
        std::string error;  // part of the message
    } cases[] = {
        {"nano9", "a0-00", {}, "unknown device 'nano9'"},
        {"gnss", "0", {}, "gnss takes no commands"},
        {"gyro", "0", {}, "gyro takes no commands"},
        {"mems", "x", {}, "mems takes no commands"},
        {"nano1", "spin", {}, "unknown command 'spin'"},
        {"nano1", "2", {}, "command 2 refused: star sensors have no frame"},
        {"pico1", "3", {}, "command 3 refused"},
        {"pico1", "33", {}, "pico sensors take 34"},
        {"nano1", "34", {}, "nano sensors take 33"},
        {"nano1", "35", {}, "codes run 0..34"},
        {"optical", "param", {"5"}, "value: missing (usage: param <number> <value>)"},
        {"nano1", "a0-00", {"5"}, "unexpected argument '5': a0-00 takes no arguments"},
        {"wheel1", "speed", {"abc", "1"}, "speed: 'abc' is not a number"},
        {"nano1", "a9-60", {" 5"}, "param: ' 5' is not a number"},
        {"wheel1", "speed", {"0x10", "1"}, "speed: '0x10' is not a number"},
        {"wheel2", "torque", {"inf"}, "torque: 'inf' is not a finite number"},
        {"vision", "quaternion", {"nan", "0", "0", "0"}, "q0: 'nan' is not a finite number"},
        {"optical", "direct", {"1.5"}, "row: '1.5' is not a whole number"},
        {"optical", "direct", {"25"}, "row: 25 is out of range 0..24"},
        {"nano1", "12", {"256"}, "param: 256 is out of range 0..255"},
        {"optical", "param", {"1", "2147483648"}, "value: 2147483648 is out of range -2147483648..2147483647"},
        {"optical", "time", {"-1", "0"}, "seconds: -1 is out of range 0..4294967295"},
        {"vision", "time", {"0", "1000"}, "milliseconds: 1000 is out of range 0..999"},
        {"wheel1", "speed", {"2147483.75", "0"}, "speed: 2147483.75 is out of range -2147483.5..2147483.5"},
        {"wheel1", "torque", {"1", "-1e999"}, "value2: -1e999 is out of range"},
        {"vision", "param", {"7", "1"}, "number: 7 is not a parameter command number (1..6, 10..14)"},
        {"vision", "param", {"3", "256"}, "value: 256 is out of range -128..255 for parameter 3"},
        {"vision", "quaternion", {"1.5", "0", "0", "0"}, "q0: 1.5 is out of range -1..1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device + " " + c.command);
        commands::BuildResult r = commands::build_command(c.device, c.command, c.args);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.built.payload.empty());
        EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
    }
}

// Every listed command builds, under its name and each alias, with in-range
// arguments, and goes to the device's service.
TEST(CommandCatalog, ListsWhatItBuilds)
{
    struct Case {
        std::string device, service;
        std::size_t count;               // star codes 0..34 but 2, 3 and the other type's query
        std::vector<std::string> names;  // the last ones listed
    } cases[] = {
        {"nano1", STAR, 32, {"a0-0e", "attitude"}}, {"pico5", STAR, 32, {"a0-0e", "attitude"}},
        {"wheel2", WHEEL, 2, {"speed", "torque"}}, {"optical", OPTICAL, 3, {"direct", "param", "time"}},
        {"vision", VISION, 3, {"param", "quaternion", "time"}}, {"gyro", "", 0, {}}, {"mems", "", 0, {}},
        {"nano0", "", 0, {}}, {"wheel9", "", 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        const auto& list = commands::device_commands(c.device);
        ASSERT_EQ(list.size(), c.count);
        std::set<std::string> names;
        for (const auto& spec : list) names.insert(spec.name);
        EXPECT_EQ(names.size(), list.size());
        for (std::size_t i = 0; i < c.names.size(); ++i) EXPECT_EQ(list[c.count - c.names.size() + i].name, c.names[i]);
        for (const auto& spec : list) {
            std::vector<std::string> args, words = spec.aliases;
            for (const auto& a : spec.args)
                if (!a.optional) args.push_back(std::to_string(std::clamp(0.0, a.min, a.max)));
            words.push_back(spec.name);
            for (const auto& w : words) {
                commands::BuildResult r = commands::build_command(c.device, w, args);
                EXPECT_TRUE(r.ok) << w << ": " << r.error;
                EXPECT_EQ(r.built.service, c.service) << w;
            }
        }
    }
    EXPECT_EQ(commands::device_commands("nano1").back().aliases, std::vector<std::string>{"33"});
    EXPECT_EQ(commands::device_commands("pico1").back().aliases, std::vector<std::string>{"34"});
}

}  // namespace
