// The tests' own reading of the optical and vision lines, written from the
// protocol description and independent of the simulator's code. Everything
// is big-endian, floats IEEE-754 single.
//   optical answer, 228 bytes: EB 90; far, near range floats at 3, 7; mirror
//     azimuth, pitch int16 at 11, 13; command, telemetry counts at 21, 22;
//     ranging time seconds u32 at 57, ms u16 at 61; sum of 2..226 at 227.
//   vision answer, 170 bytes: EB 90 F0; flags at 43, 44; distance floats at
//     45, 49; six results (state, alpha, beta) of 9 bytes from 59; sum of
//     2..168 at 169.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

namespace ov_check {

using Bytes = std::vector<uint8_t>;

inline uint32_t u32(const Bytes& b, std::size_t at)
{
    return uint32_t(b.at(at)) << 24 | uint32_t(b.at(at + 1)) << 16 | uint32_t(b.at(at + 2)) << 8 | b.at(at + 3);
}

inline unsigned u16(const Bytes& b, std::size_t at)
{
    return b.at(at) * 256u + b.at(at + 1);
}

inline int s16(const Bytes& b, std::size_t at)
{
    const int u = int(u16(b, at));
    return u >= 32768 ? u - 65536 : u;
}

inline float f32(const Bytes& b, std::size_t at)
{
    const uint32_t bits = u32(b, at);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Sum of bytes first..last modulo 256.
inline uint8_t sum(const Bytes& b, std::size_t first, std::size_t last)
{
    unsigned s = 0;
    for (std::size_t i = first; i <= last; ++i) s += b.at(i);
    return uint8_t(s);
}

}  // namespace ov_check

namespace optical_check {

using namespace ov_check;

struct Values {
    float far = 0, near = 0;
    int azimuth = 0, pitch = 0;
    unsigned cmds = 0, tlm = 0, sec = 0, ms = 0;
};

inline bool answer_ok(const Bytes& b)
{
    return b.size() == 228 && b[0] == 0xEB && b[1] == 0x90 && b[227] == sum(b, 2, 226);
}

inline Values decode(const Bytes& b)
{
    return {f32(b, 3), f32(b, 7), s16(b, 11), s16(b, 13), b.at(21), b.at(22), u32(b, 57), u16(b, 61)};
}

// The text a correct decoder's values give in the simulator's answer line.
inline std::string answer_text(const Values& v)
{
    std::ostringstream os;
    os << "far=" << v.far << " near=" << v.near << " azimuth=" << v.azimuth << " pitch=" << v.pitch
       << " cmds=" << v.cmds << " tlm=" << v.tlm << " time=" << v.sec << "." << std::setw(3) << std::setfill('0')
       << v.ms;
    return os.str();
}

// Command frames as a service builds them.
const Bytes TELEMETRY_REQUEST = {0xCD, 0x90, 0x06, 0x00, 0xFF};

inline Bytes direct(uint8_t group, uint8_t action)
{
    return {0xCD, 0x90, group, action, 0xFF};
}

inline Bytes param(uint8_t n, uint32_t v)
{
    Bytes f = {0xEB, 0x90, n, uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    f.push_back(sum(f, 0, 6));
    return f;
}

inline Bytes time(uint32_t s, uint16_t ms)
{
    Bytes f = {0xEB, 0x90, 0x0D, uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s), uint8_t(ms >> 8),
               uint8_t(ms)};
    f.push_back(sum(f, 0, 8));
    return f;
}

}  // namespace optical_check

namespace vision_check {

using namespace ov_check;

struct Result {
    unsigned state = 0;
    float alpha = 0, beta = 0;
};

struct Values {
    unsigned far_flag = 0, close_flag = 0;
    float far = 0, close = 0;
    std::array<Result, 6> results{};
};

inline bool answer_ok(const Bytes& b)
{
    return b.size() == 170 && b[0] == 0xEB && b[1] == 0x90 && b[2] == 0xF0 && b[169] == sum(b, 2, 168);
}

inline Values decode(const Bytes& b)
{
    Values v{b.at(43), b.at(44), f32(b, 45), f32(b, 49), {}};
    for (std::size_t i = 0; i < 6; ++i) v.results[i] = {b.at(59 + 9 * i), f32(b, 60 + 9 * i), f32(b, 64 + 9 * i)};
    return v;
}

inline std::string answer_text(const Values& v)
{
    static const char* const names[6] = {"lf", "rf", "pf", "lc", "rc", "pc"};
    std::ostringstream os;
    os << "far_flag=" << v.far_flag << " close_flag=" << v.close_flag << " far=" << v.far << " close=" << v.close;
    for (std::size_t i = 0; i < 6; ++i)
        os << " " << names[i] << "=" << v.results[i].state << "," << v.results[i].alpha << "," << v.results[i].beta;
    return os.str();
}

const Bytes HEALTH_QUERY = {0xEB, 0x90, 0x0F, 0x00, 0x01, 0xA5, 0xB5};

// A frame of `kind` around `body`, as a service builds it.
inline Bytes frame(uint8_t kind, const Bytes& body)
{
    Bytes f = {0xEB, 0x90, kind, 0x00, uint8_t(body.size())};
    f.insert(f.end(), body.begin(), body.end());
    f.push_back(sum(f, 2, f.size() - 1));
    return f;
}

}  // namespace vision_check
