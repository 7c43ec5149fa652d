// Fields of the frames on the optical and vision lines: big-endian
// unsigned integers, IEEE-754 single floats sent as their big-endian bit
// pattern, and the modulo-256 sums both lines use as checksums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace devsim {
namespace be {

inline void put16(uint8_t* at, uint16_t v)
{
    at[0] = uint8_t(v >> 8);
    at[1] = uint8_t(v);
}

inline uint16_t get16(const uint8_t* at)
{
    return uint16_t(uint16_t(at[0]) << 8 | at[1]);
}

inline void put32(uint8_t* at, uint32_t v)
{
    at[0] = uint8_t(v >> 24);
    at[1] = uint8_t(v >> 16);
    at[2] = uint8_t(v >> 8);
    at[3] = uint8_t(v);
}

inline uint32_t get32(const uint8_t* at)
{
    return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | uint32_t(at[3]);
}

inline void put_float(uint8_t* at, float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put32(at, bits);
}

inline float get_float(const uint8_t* at)
{
    const uint32_t bits = get32(at);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace be

// Sum of the bytes modulo 256.
inline uint8_t sum8(const uint8_t* data, std::size_t size)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i) sum += data[i];
    return uint8_t(sum & 0xFF);
}

}  // namespace devsim
