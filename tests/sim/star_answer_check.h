// The tests' own reading of star sensor answers, written from the protocol
// description and independent of the simulator's code: big-endian nano
// answers (q0..q3 at 4, 8, 12, 16; stars at 35; rates at 45, 47, 49),
// little-endian pico answers (q1, q2, q3 at 4, 8, 12, q0 at 16; stars in the
// upper seven bits of byte 34), all arithmetic in single precision.
#pragma once

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace star_check {

using Bytes = std::vector<uint8_t>;

struct Values {
    float q[4] = {0, 0, 0, 0};
    float w[3] = {0, 0, 0};
    int stars = 0;
};

// The float with bit pattern 0x2A612E13: the rate scale 2.0e-13.
inline float rate_scale()
{
    const uint32_t bits = 0x2A612E13u;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

inline int32_t be32(const Bytes& b, std::size_t at)
{
    return int32_t(uint32_t(b.at(at)) << 24 | uint32_t(b.at(at + 1)) << 16 | uint32_t(b.at(at + 2)) << 8 |
                   uint32_t(b.at(at + 3)));
}

inline int32_t le32(const Bytes& b, std::size_t at)
{
    return int32_t(uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 |
                   uint32_t(b.at(at + 3)) << 24);
}

inline int16_t be16(const Bytes& b, std::size_t at)
{
    return int16_t(uint16_t(b.at(at) << 8 | b.at(at + 1)));
}

inline float q_value(int32_t v)
{
    return float(v) / 2147483648.0f;
}

inline Values decode_nano(const Bytes& b)
{
    Values v;
    v.q[0] = q_value(be32(b, 4));
    v.q[1] = q_value(be32(b, 8));
    v.q[2] = q_value(be32(b, 12));
    v.q[3] = q_value(be32(b, 16));
    v.stars = b.at(35);
    v.w[0] = float(be16(b, 45)) * rate_scale();
    v.w[1] = float(be16(b, 47)) * rate_scale();
    v.w[2] = float(be16(b, 49)) * rate_scale();
    return v;
}

inline Values decode_pico(const Bytes& b)
{
    Values v;
    v.q[0] = q_value(le32(b, 16));
    v.q[1] = q_value(le32(b, 4));
    v.q[2] = q_value(le32(b, 8));
    v.q[3] = q_value(le32(b, 12));
    v.stars = b.at(34) >> 1;
    return v;
}

inline uint8_t sum8(const Bytes& b, std::size_t count)
{
    unsigned s = 0;
    for (std::size_t i = 0; i < count; ++i) s += b.at(i);
    return uint8_t(s);
}

inline bool nano_ok(const Bytes& b)
{
    return b.size() == 64 && b[0] == 0x8A && b[1] == 0xA1 && b[63] == sum8(b, 63);
}

inline bool pico_ok(const Bytes& b)
{
    return b.size() == 256 && b[0] == 0xEB && b[1] == 0x50 && b[2] == 0x22 && b[255] == sum8(b, 255);
}

// The text a correct decoder's values give in the simulator's answer line.
inline std::string answer_text(const Values& v)
{
    std::ostringstream os;
    os << "q0=" << v.q[0] << " q1=" << v.q[1] << " q2=" << v.q[2] << " q3=" << v.q[3] << " wx=" << v.w[0]
       << " wy=" << v.w[1] << " wz=" << v.w[2] << " stars=" << v.stars;
    return os.str();
}

inline double norm_squared(const Values& v)
{
    double s = 0;
    for (float c : v.q) s += double(c) * double(c);
    return s;
}

}  // namespace star_check
