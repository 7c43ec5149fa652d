// The commands every hardware service accepts, by name.
//
// Each device kind has one table of CommandSpec entries; build_command
// checks the operator's words against it and encodes the payload exactly as
// the service's Command handler reads it (multi-byte values little-endian).
#include "command_catalog.h"

#include "byte_order.h"
#include "telemetry_records.h"

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace commands {
namespace {

using telemetry::Kind;

struct Device {
    Kind kind;
    uint8_t type = 0;    // star type: 0 nano, 1 pico
    uint8_t number = 0;  // star number or bus wheel number, 1..8
    std::string service; // bus name of the service that takes its commands
};

// The device's kind and, from the request the console polls it with, its
// star type and number or its bus wheel number.
std::optional<Device> find_device(const std::string& name)
{
    std::optional<telemetry::DeviceAddress> a = telemetry::device_address(name);
    if (!a) return std::nullopt;
    switch (a->kind) {
    case Kind::Star: return Device{a->kind, a->request[0], a->request[1], a->service};
    case Kind::Wheel: return Device{a->kind, 0, a->request[0], a->service};
    default: return Device{a->kind, 0, 0, a->service};
    }
}

ArgSpec arg(std::string name, ArgType type, double min, double max, std::string unit, std::string help)
{
    ArgSpec a;
    a.name = std::move(name);
    a.type = type;
    a.min = min;
    a.max = max;
    a.unit = std::move(unit);
    a.help = std::move(help);
    return a;
}

ArgSpec optional_arg(ArgSpec a, double fallback)
{
    a.optional = true;
    a.fallback = fallback;
    return a;
}

constexpr double UINT32_MAX_D = 4294967295.0;
constexpr double INT32_MIN_D = -2147483648.0;
constexpr double INT32_MAX_D = 2147483647.0;

// ---------------------------------------------------------------------------
// Star sensors: payload type, number, command code, parameter byte.

struct StarCode {
    int code;
    const char* name;
    bool param;  // only these codes send the parameter byte
    const char* help;
};

// Named after what the frame does where that is known, otherwise after the
// frame's group and sub-code bytes (74 <group> <sub> ...).
const StarCode STAR_CODES[] = {
    {0, "a0-00", false, "frame 74 A0 00 00"},
    {1, "a0-03", false, "frame 74 A0 00 03"},
    {4, "time", false, "time-set frame 74 A3 with the service's five time bytes (zeros)"},
    {5, "a4-01", false, "frame 74 A4 01 01"},
    {6, "a4-02", false, "frame 74 A4 02 02"},
    {7, "a4-04", false, "frame 74 A4 04 04"},
    {8, "a4-08", false, "frame 74 A4 08 08"},
    {9, "a4-f0", false, "frame 74 A4 F0 F0"},
    {10, "a4-0a", false, "frame 74 A4 0A 0A"},
    {11, "a4-ff", false, "frame 74 A4 FF FF"},
    {12, "a9-60", true, "parameter frame 74 A9 60 <param>"},
    {13, "a9-30", true, "parameter frame 74 A9 30 <param>"},
    {14, "a9-90", true, "parameter frame 74 A9 90 <param>"},
    {15, "ac-03", true, "parameter frame 74 AC 03 <param>"},
    {16, "ac-05", true, "parameter frame 74 AC 05 <param>"},
    {17, "ac-06", true, "parameter frame 74 AC 06 <param>"},
    {18, "ac-09", true, "parameter frame 74 AC 09 <param>"},
    {19, "ac-0a", true, "parameter frame 74 AC 0A <param>"},
    {20, "ac-0f", true, "parameter frame 74 AC 0F <param>"},
    {21, "ac-1f", true, "parameter frame 74 AC 1F <param>"},
    {22, "ac-2f", true, "parameter frame 74 AC 2F <param>"},
    {23, "ac-3f", true, "parameter frame 74 AC 3F <param>"},
    {24, "ac-4f", true, "parameter frame 74 AC 4F <param>"},
    {25, "ac-0e", true, "parameter frame 74 AC 0E <param>"},
    {26, "ac-0b", true, "parameter frame 74 AC 0B <param>"},
    {27, "esd", false, "ESD data frame (77 bytes, 74 56 ...)"},
    {28, "a0-05", false, "frame 74 A0 00 05"},
    {29, "a0-07", false, "frame 74 A0 00 07"},
    {30, "a0-0a", false, "frame 74 A0 00 0A"},
    {31, "a0-0c", false, "frame 74 A0 00 0C"},
    {32, "a0-0e", false, "frame 74 A0 00 0E"},
};
constexpr int STAR_NANO_QUERY = 33;
constexpr int STAR_PICO_QUERY = 34;
constexpr int STAR_LAST_CODE = 34;

std::vector<CommandSpec> star_commands(int query_code)
{
    std::vector<CommandSpec> list;
    for (const StarCode& c : STAR_CODES) {
        CommandSpec s;
        s.name = c.name;
        s.aliases = {std::to_string(c.code)};
        s.help = std::string(c.help) + " (code " + std::to_string(c.code) + ")";
        if (c.param) s.args.push_back(arg("param", ArgType::Unsigned, 0, 255, "", "the frame's parameter byte"));
        list.push_back(std::move(s));
    }
    CommandSpec q;
    q.name = "attitude";
    q.aliases = {std::to_string(query_code)};
    q.help = "attitude query frame 74 A1 (code " + std::to_string(query_code) +
             "); the answer is not read on this path, use telemetry for the attitude";
    list.push_back(std::move(q));
    return list;
}

// Why a star command number has no entry for this sensor type, or "".
std::string star_refusal(const Device& d, long code)
{
    if (code == 2 || code == 3)
        return "star sensors have no frame for command code " + std::to_string(code);
    if (code == STAR_NANO_QUERY && d.type != 0)
        return "code 33 is the nano attitude query; pico sensors take 34 ('attitude')";
    if (code == STAR_PICO_QUERY && d.type == 0)
        return "code 34 is the pico attitude query; nano sensors take 33 ('attitude')";
    if (code > STAR_LAST_CODE) return "star command codes run 0..34";
    return "";
}

// ---------------------------------------------------------------------------
// Wheels: payload wheel number, mode flag, value1, value2 (float32 each).
//
// The service sends each value to the wheel as value x 1000 in 32-bit two's
// complement. Beyond +-2147483.5 the float32 the payload carries, times
// 1000, no longer fits (the next float up is 2147483.75), and the wheel
// would receive a value of the opposite sign.
constexpr double WHEEL_VALUE_LIMIT = 2147483.5;
// What the console's start-up speed commands send as the second value; a
// wheel left without it in speed mode would be given no torque to reach
// its speed.
constexpr double SPEED_MODE_VALUE2 = 1.5;

std::vector<CommandSpec> wheel_commands()
{
    const std::string value2_help =
        "second command value, sent to the wheel like the first (x 1000, 0.001 resolution); the bench's "
        "simulated wheel takes it as the torque limit in N m in speed mode and ignores it in torque mode "
        "(the console's start-up commands send 1.5)";
    CommandSpec speed;
    speed.name = "speed";
    speed.aliases = {"0"};
    speed.help = "speed mode (frame command byte 0x58): drive the wheel to a speed";
    speed.args = {arg("speed", ArgType::Real, -WHEEL_VALUE_LIMIT, WHEEL_VALUE_LIMIT, "rpm", "target speed"),
                  optional_arg(arg("value2", ArgType::Real, -WHEEL_VALUE_LIMIT, WHEEL_VALUE_LIMIT, "",
                                   value2_help + "; 1.5 when left out"),
                               SPEED_MODE_VALUE2)};
    CommandSpec torque;
    torque.name = "torque";
    torque.aliases = {"1"};
    torque.help = "torque mode (frame command byte 0x59): apply a torque";
    torque.args = {arg("torque", ArgType::Real, -WHEEL_VALUE_LIMIT, WHEEL_VALUE_LIMIT, "N m", "commanded torque"),
                   optional_arg(arg("value2", ArgType::Real, -WHEEL_VALUE_LIMIT, WHEEL_VALUE_LIMIT, "",
                                    value2_help + "; 0 when left out"),
                                0.0)};
    return {speed, torque};
}

// ---------------------------------------------------------------------------
// Optical unit: payload command type (0 direct, 1 parameter, 2 time), number,
// then the parameter (int32) or seconds (uint32) and milliseconds (uint16).

ArgSpec seconds_arg() { return arg("seconds", ArgType::Unsigned, 0, UINT32_MAX_D, "s", "whole seconds"); }
ArgSpec milliseconds_arg()
{
    return arg("milliseconds", ArgType::Unsigned, 0, 999, "ms", "millisecond part of the time");
}

std::vector<CommandSpec> optical_commands()
{
    CommandSpec direct;
    direct.name = "direct";
    direct.aliases = {"0"};
    direct.help = "send row N of the fixed direct command table (CD 90 <group> <action> FF); row 14 is the "
                  "telemetry request";
    direct.args = {arg("row", ArgType::Unsigned, 0, 24, "", "direct command table row")};
    CommandSpec param;
    param.name = "param";
    param.aliases = {"1", "parameter"};
    param.help = "parameter command N (frame EB 90 N ...): numbers 1, 3, 4, 6, 8 send the value's lowest byte, "
                 "2 and 5 all four bytes, 7, 9, 10, 11 none";
    param.args = {arg("number", ArgType::Unsigned, 1, 11, "", "parameter command number"),
                  arg("value", ArgType::Signed, INT32_MIN_D, INT32_MAX_D, "", "parameter value")};
    CommandSpec time;
    time.name = "time";
    time.aliases = {"2"};
    time.help = "time command (frame EB 90 0D): set the unit's time";
    time.args = {seconds_arg(), milliseconds_arg()};
    return {direct, param, time};
}

// ---------------------------------------------------------------------------
// Vision unit: payload byte 0 is 7 (quaternion), 8 (time) or the parameter
// command number; the service writes a parameter frame for 1..6 and 10..14.

bool vision_param_number(double n) { return (n >= 1 && n <= 6) || (n >= 10 && n <= 14); }
constexpr int VISION_FLOAT_PARAM = 6;  // carries the float itself; the others one byte
constexpr double VISION_BYTE_MIN = -128, VISION_BYTE_MAX = 255;

std::vector<CommandSpec> vision_commands()
{
    CommandSpec param;
    param.name = "param";
    param.aliases = {"parameter"};
    param.help = "parameter command N (1..6, 10..14): number 6 sends the value as a float, the others the "
                 "value truncated toward zero to one byte (-128..255)";
    param.args = {arg("number", ArgType::Unsigned, 1, 14, "", "parameter command number: 1..6 or 10..14"),
                  arg("value", ArgType::Real, -FLT_MAX, FLT_MAX, "", "parameter value")};
    CommandSpec quaternion;
    quaternion.name = "quaternion";
    quaternion.aliases = {"7"};
    quaternion.help = "quaternion command: q0 q1 q2 q3 and one byte passed to the unit unchanged";
    quaternion.args = {arg("q0", ArgType::Real, -1, 1, "", "first component"),
                       arg("q1", ArgType::Real, -1, 1, "", "second component"),
                       arg("q2", ArgType::Real, -1, 1, "", "third component"),
                       arg("q3", ArgType::Real, -1, 1, "", "fourth component"),
                       optional_arg(arg("extra", ArgType::Unsigned, 0, 255, "",
                                        "byte sent after the quaternion; 0 when left out"),
                                    0)};
    CommandSpec time;
    time.name = "time";
    time.aliases = {"8"};
    time.help = "time command: set the unit's time";
    time.args = {seconds_arg(), milliseconds_arg()};
    return {param, quaternion, time};
}

// ---------------------------------------------------------------------------
// Parsing the operator's words.

std::string lower(std::string s)
{
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// "012" -> "12", so that numbers match whatever way they are written.
std::string canonical_number(const std::string& s)
{
    if (s.empty() || s.size() > 9) return s;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return s;
    return std::to_string(std::stol(s));
}

std::string format_number(double v)
{
    char buf[40];
    if (v == std::trunc(v) && std::fabs(v) < 1e15)
        std::snprintf(buf, sizeof buf, "%.0f", v);
    else
        std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

std::string range_text(const ArgSpec& a) { return format_number(a.min) + ".." + format_number(a.max); }

std::string out_of_range(const ArgSpec& a, const std::string& given)
{
    return a.name + ": " + given + " is out of range " + range_text(a);
}

// Reads one argument; on failure `error` says what was wrong.
std::optional<double> parse_arg(const ArgSpec& a, const std::string& text, std::string& error)
{
    const std::string quoted = "'" + text + "'";
    // strtod would skip leading blanks and read "0x10" as 16: take plain
    // decimal numbers, and hexadecimal only where a whole number is wanted.
    bool starts_ok = !text.empty() && !std::isspace(static_cast<unsigned char>(text[0]));
    double v = 0;
    bool parsed = false;
    if (starts_ok) {
        std::size_t sign = (text[0] == '-' || text[0] == '+') ? 1 : 0;
        bool hex = text.size() > sign + 2 && text[sign] == '0' && (text[sign + 1] == 'x' || text[sign + 1] == 'X');
        char* end = nullptr;
        errno = 0;
        if (hex && a.type != ArgType::Real) {
            unsigned long long u = std::strtoull(text.c_str() + sign + 2, &end, 16);
            bool digits = end != text.c_str() + sign + 2 && std::isxdigit(static_cast<unsigned char>(text[sign + 2]));
            if (digits && *end == '\0') {
                parsed = true;
                v = errno == ERANGE ? HUGE_VAL : double(u);
                if (sign == 1 && text[0] == '-') v = -v;
            }
        } else if (!hex) {
            v = std::strtod(text.c_str(), &end);
            parsed = end != text.c_str() && *end == '\0';
        }
    }
    if (!parsed) {
        error = a.name + ": " + quoted + " is not a number";
        return std::nullopt;
    }
    if (std::isnan(v)) {
        error = a.name + ": " + quoted + " is not a finite number";
        return std::nullopt;
    }
    if (std::isinf(v)) {
        // "inf" itself, or a number too large to hold at all
        bool spelled = lower(text).find("inf") != std::string::npos;
        error = spelled ? a.name + ": " + quoted + " is not a finite number" : out_of_range(a, text);
        return std::nullopt;
    }
    if (a.type != ArgType::Real && v != std::trunc(v)) {
        error = a.name + ": " + quoted + " is not a whole number";
        return std::nullopt;
    }
    if (v < a.min || v > a.max) {
        error = out_of_range(a, text);
        return std::nullopt;
    }
    return v;
}

std::string usage(const CommandSpec& c)
{
    std::string u = c.name;
    for (const ArgSpec& a : c.args) u += a.optional ? " [<" + a.name + ">]" : " <" + a.name + ">";
    return u;
}

std::string command_names(const std::vector<CommandSpec>& list)
{
    std::string s;
    for (const CommandSpec& c : list) s += (s.empty() ? "" : ", ") + c.name;
    return s;
}

const CommandSpec* find_command(const std::vector<CommandSpec>& list, const std::string& word)
{
    const std::string w = canonical_number(lower(word));
    for (const CommandSpec& c : list) {
        if (lower(c.name) == w) return &c;
        for (const std::string& alias : c.aliases)
            if (lower(alias) == w) return &c;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Payloads.

void put_float(std::vector<uint8_t>& p, double v)
{
    uint8_t b[4];
    store_le_float(b, float(v));
    p.insert(p.end(), b, b + 4);
}

void put_u32(std::vector<uint8_t>& p, uint32_t v)
{
    uint8_t b[4];
    store_le32(b, v);
    p.insert(p.end(), b, b + 4);
}

void put_u16(std::vector<uint8_t>& p, uint16_t v)
{
    uint8_t b[2];
    store_le16(b, v);
    p.insert(p.end(), b, b + 2);
}

// Encodes a command whose arguments have been checked against their specs;
// returns "" or what is still wrong with them together.
std::string encode(const Device& d, const CommandSpec& c, const std::vector<double>& v, Built& out)
{
    std::vector<uint8_t>& p = out.payload;
    out.service = d.service;
    switch (d.kind) {
    case Kind::Star: {
        int code = std::stoi(c.aliases.front());
        p = {d.type, d.number, uint8_t(code), uint8_t(v.empty() ? 0 : v[0])};
        return "";
    }
    case Kind::Wheel:
        p = {d.number, uint8_t(c.name == "speed" ? 0 : 1)};
        put_float(p, v[0]);
        put_float(p, v[1]);
        return "";
    case Kind::Optical:
        if (c.name == "direct") {
            p = {0, uint8_t(v[0])};
        } else if (c.name == "param") {
            p = {1, uint8_t(v[0])};
            put_u32(p, uint32_t(int32_t(v[1])));
        } else {
            p = {2, 0};
            put_u32(p, uint32_t(v[0]));
            put_u16(p, uint16_t(v[1]));
        }
        return "";
    case Kind::Vision:
        if (c.name == "param") {
            const std::string n = format_number(v[0]);
            if (!vision_param_number(v[0]))
                return "number: " + n + " is not a parameter command number (1..6, 10..14)";
            // The unit gets the float's integer part, of which one byte.
            double whole = std::trunc(double(float(v[1])));
            if (v[0] != VISION_FLOAT_PARAM && (whole < VISION_BYTE_MIN || whole > VISION_BYTE_MAX))
                return "value: " + format_number(v[1]) + " is out of range -128..255 for parameter " + n +
                       " (it sends one byte)";
            p = {uint8_t(v[0])};
            put_float(p, v[1]);
        } else if (c.name == "quaternion") {
            p = {7};
            for (int i = 0; i < 4; ++i) put_float(p, v[i]);
            p.push_back(uint8_t(v[4]));
        } else {
            p = {8};
            put_u32(p, uint32_t(v[0]));
            put_u16(p, uint16_t(v[1]));
        }
        return "";
    case Kind::Gyro:
    case Kind::Mems:
    case Kind::Gnss:
        break;
    }
    return "no commands";
}

const std::vector<CommandSpec>& commands_of(Kind kind, uint8_t star_type)
{
    static const std::vector<CommandSpec> nano = star_commands(STAR_NANO_QUERY);
    static const std::vector<CommandSpec> pico = star_commands(STAR_PICO_QUERY);
    static const std::vector<CommandSpec> wheel = wheel_commands();
    static const std::vector<CommandSpec> optical = optical_commands();
    static const std::vector<CommandSpec> vision = vision_commands();
    static const std::vector<CommandSpec> none;
    switch (kind) {
    case Kind::Star: return star_type == 0 ? nano : pico;
    case Kind::Wheel: return wheel;
    case Kind::Optical: return optical;
    case Kind::Vision: return vision;
    case Kind::Gyro:
    case Kind::Mems:
    case Kind::Gnss: break;
    }
    return none;
}

BuildResult failure(std::string error)
{
    BuildResult r;
    r.error = std::move(error);
    return r;
}

}  // namespace

const std::vector<CommandSpec>& device_commands(const std::string& device)
{
    static const std::vector<CommandSpec> none;
    std::optional<Device> d = find_device(device);
    return d ? commands_of(d->kind, d->type) : none;
}

BuildResult build_command(const std::string& device, const std::string& command,
                          const std::vector<std::string>& args)
{
    std::optional<Device> d = find_device(device);
    if (!d)
        return failure("unknown device '" + device +
                       "' (devices: nano1..nano8, pico1..pico8, wheel1..wheel8, gyro, mems, optical, vision)");
    const std::vector<CommandSpec>& list = commands_of(d->kind, d->type);
    if (list.empty()) return failure(device + " takes no commands: its service does not listen on Command");

    const CommandSpec* c = find_command(list, command);
    if (c == nullptr) {
        std::string number = canonical_number(command);
        if (d->kind == Kind::Star && !number.empty() && number.size() <= 9 &&
            std::isdigit(static_cast<unsigned char>(number[0]))) {
            std::string why = star_refusal(*d, std::stol(number));
            if (!why.empty()) return failure(device + ": command " + command + " refused: " + why);
        }
        return failure(device + ": unknown command '" + command + "' (commands: " + command_names(list) + ")");
    }

    std::size_t required = 0;
    for (const ArgSpec& a : c->args) required += a.optional ? 0 : 1;
    if (args.size() < required)
        return failure(c->args[args.size()].name + ": missing (usage: " + usage(*c) + ")");
    if (args.size() > c->args.size())
        return failure("unexpected argument '" + args[c->args.size()] + "': " + c->name + " takes " +
                       (c->args.empty() ? std::string("no arguments") : "only " + usage(*c)));

    std::vector<double> values;
    for (std::size_t i = 0; i < c->args.size(); ++i) {
        if (i >= args.size()) {
            values.push_back(c->args[i].fallback);
            continue;
        }
        std::string error;
        std::optional<double> v = parse_arg(c->args[i], args[i], error);
        if (!v) return failure(error);
        values.push_back(*v);
    }

    BuildResult r;
    std::string error = encode(*d, *c, values, r.built);
    if (!error.empty()) return failure(error);
    r.ok = true;
    return r;
}

}  // namespace commands
