// The tests' own reading of gyro and MEMS answers, written from the
// protocol description and independent of the simulator's code: header
// 0x97, X/Y/Z counts (24-bit two's complement, big-endian) at 1, 6, 11 and
// integral times (16-bit big-endian) at 4, 9, 14, checksum in the last byte.
// The values are computed the way the services compute them, in single
// precision.
#pragma once

#include <array>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace rate_check {

using Bytes = std::vector<uint8_t>;
using Values = std::array<float, 3>;

constexpr float GYRO_K[3] = {289752.5f, 299114.7f, 282454.6f};
constexpr float GYRO_W0[3] = {0.017f, 0.205f, 0.369f};
constexpr float MEMS_K[3] = {319198.1f, 319182.2f, 319335.1f};
constexpr float MEMS_W0[3] = {1.465294f, 2.140157f, 1.470876f};

inline long count_at(const Bytes& b, std::size_t at)
{
    const long raw = long(b.at(at)) * 65536 + long(b.at(at + 1)) * 256 + long(b.at(at + 2));
    return raw >= 8388608 ? raw - 16777216 : raw;
}

inline unsigned time_at(const Bytes& b, std::size_t at)
{
    return unsigned(b.at(at)) * 256 + b.at(at + 1);
}

inline long count(const Bytes& b, int axis)
{
    return count_at(b, 1 + 5 * std::size_t(axis));
}

inline unsigned time(const Bytes& b, int axis)
{
    return time_at(b, 4 + 5 * std::size_t(axis));
}

// The gyro service refuses a zero time; callers check it first.
inline Values decode_gyro(const Bytes& b)
{
    Values v{};
    for (int a = 0; a < 3; ++a)
        v[a] = ((1000.0f * float(count(b, a))) / float(time(b, a))) / GYRO_K[a] - GYRO_W0[a] / 3600.0f;
    return v;
}

inline Values decode_mems(const Bytes& b)
{
    Values v{};
    for (int a = 0; a < 3; ++a) {
        const unsigned t = time(b, a) == 0 ? 1 : time(b, a);
        v[a] = (1024.0f * float(count(b, a))) / (MEMS_K[a] * float(t)) - MEMS_W0[a] / 3600.0f;
    }
    return v;
}

inline uint8_t sum8(const Bytes& b, std::size_t n)
{
    unsigned s = 0;
    for (std::size_t i = 0; i < n; ++i) s += b.at(i);
    return uint8_t(s);
}

inline bool frame_ok(const Bytes& b, std::size_t size)
{
    return b.size() == size && b[0] == 0x97 && b[size - 1] == sum8(b, size - 1);
}

inline bool gyro_ok(const Bytes& b)
{
    return frame_ok(b, 27);
}

inline bool mems_ok(const Bytes& b)
{
    return frame_ok(b, 44);
}

// The text a correct decoder's values give in the simulator's answer line.
inline std::string answer_text(const Values& v)
{
    std::ostringstream os;
    os << "x=" << v[0] << " y=" << v[1] << " z=" << v[2];
    return os.str();
}

}  // namespace rate_check
