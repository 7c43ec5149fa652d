#include "star_codec.h"

#include "sim_text.h"
#include "star_framing.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace devsim {
namespace {

void put_be32(Bytes& b, std::size_t at, int32_t v)
{
    const uint32_t u = uint32_t(v);
    b[at] = uint8_t(u >> 24);
    b[at + 1] = uint8_t(u >> 16);
    b[at + 2] = uint8_t(u >> 8);
    b[at + 3] = uint8_t(u);
}

void put_le32(Bytes& b, std::size_t at, int32_t v)
{
    const uint32_t u = uint32_t(v);
    b[at] = uint8_t(u);
    b[at + 1] = uint8_t(u >> 8);
    b[at + 2] = uint8_t(u >> 16);
    b[at + 3] = uint8_t(u >> 24);
}

void put_be16(Bytes& b, std::size_t at, int16_t v)
{
    const uint16_t u = uint16_t(v);
    b[at] = uint8_t(u >> 8);
    b[at + 1] = uint8_t(u);
}

int32_t get_be32(const Bytes& b, std::size_t at)
{
    return int32_t(uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 |
                   uint32_t(b[at + 3]));
}

int32_t get_le32(const Bytes& b, std::size_t at)
{
    return int32_t(uint32_t(b[at + 3]) << 24 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 1]) << 8 |
                   uint32_t(b[at]));
}

int16_t get_be16(const Bytes& b, std::size_t at)
{
    return int16_t(uint16_t(uint16_t(b[at]) << 8 | b[at + 1]));
}

float quaternion_value(int32_t counts)
{
    return float(counts) / 2147483648.0f;
}

constexpr std::size_t NANO_Q_AT[4] = {4, 8, 12, 16};
constexpr std::size_t NANO_STARS_AT = 35;
constexpr std::size_t NANO_RATE_AT[3] = {45, 47, 49};
constexpr std::size_t PICO_Q_AT[4] = {16, 4, 8, 12};  // q0 comes last on the wire
constexpr std::size_t PICO_STARS_AT = 34;

}  // namespace

std::size_t star_answer_size(StarType type)
{
    return type == StarType::nano ? NANO_ANSWER_SIZE : PICO_ANSWER_SIZE;
}

const Bytes& star_attitude_query(StarType type)
{
    static const Bytes nano = {0x74, 0xA1, 0x00, 0x00, 0x15};
    static const Bytes pico = {0x74, 0xA1, 0x00, 0x05, 0x1A};
    return type == StarType::nano ? nano : pico;
}

const char* star_type_name(StarType type)
{
    return type == StarType::nano ? "nano" : "pico";
}

int32_t star_quaternion_counts(double component)
{
    const double scaled = std::round(component * 2147483648.0);
    const double lo = double(std::numeric_limits<int32_t>::min());
    const double hi = double(std::numeric_limits<int32_t>::max());
    if (!(scaled == scaled)) return 0;  // NaN
    return int32_t(std::clamp(scaled, lo, hi));
}

int16_t nano_rate_counts(double axis_component, double scale)
{
    const double scaled = std::round(axis_component * scale);
    if (!(scaled == scaled)) return 0;  // NaN
    return int16_t(std::clamp(scaled, -32768.0, 32767.0));
}

Bytes encode_star_answer(StarType type, const StarAttitude& a)
{
    Bytes b(star_answer_size(type), 0);
    if (type == StarType::nano) {
        b[0] = 0x8A;
        b[1] = 0xA1;
        for (int i = 0; i < 4; ++i) put_be32(b, NANO_Q_AT[i], star_quaternion_counts(a.q[i]));
        b[NANO_STARS_AT] = uint8_t(std::clamp(a.stars, 0, 255));
        // The rate fields count 2.0e-13 units, so any rate a sensor could see
        // (0.5 deg/s is 8.7e-3 rad/s) would saturate them. They carry the
        // rotation axis instead, scaled by 20000 counts per unit: the values
        // stay in range, are non-zero and follow the motion's direction.
        for (int i = 0; i < 3; ++i) put_be16(b, NANO_RATE_AT[i], nano_rate_counts(a.axis[i], a.rate_scale));
    } else {
        b[0] = 0xEB;
        b[1] = 0x50;
        b[2] = 0x22;
        for (int i = 0; i < 4; ++i) put_le32(b, PICO_Q_AT[i], star_quaternion_counts(a.q[i]));
        b[PICO_STARS_AT] = uint8_t(std::clamp(a.stars, 0, 127) << 1);
    }
    b.back() = star_checksum(b.data(), b.size() - 1);
    return b;
}

StarReading decode_star_answer(StarType type, const Bytes& b)
{
    StarReading r;
    if (b.size() != star_answer_size(type)) return r;
    if (type == StarType::nano) {
        for (int i = 0; i < 4; ++i) r.q[i] = quaternion_value(get_be32(b, NANO_Q_AT[i]));
        r.stars = b[NANO_STARS_AT];
        for (int i = 0; i < 3; ++i) r.w[i] = float(get_be16(b, NANO_RATE_AT[i])) * NANO_RATE_LSB;
    } else {
        for (int i = 0; i < 4; ++i) r.q[i] = quaternion_value(get_le32(b, PICO_Q_AT[i]));
        r.stars = b[PICO_STARS_AT] >> 1;
    }
    return r;
}

std::string star_reading_text(const StarReading& r)
{
    std::string text;
    for (int i = 0; i < 4; ++i) text += "q" + std::to_string(i) + "=" + float_text(r.q[i]) + " ";
    static const char* const rate_names[3] = {"wx", "wy", "wz"};
    for (int i = 0; i < 3; ++i) text += std::string(rate_names[i]) + "=" + float_text(r.w[i]) + " ";
    text += "stars=" + std::to_string(r.stars);
    return text;
}

}  // namespace devsim
