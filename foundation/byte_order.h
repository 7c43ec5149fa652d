// Byte order at the serial boundary. Bus payloads are little-endian and
// packed; serial frames are big-endian (pico star answers little-endian).
// All helpers work on byte pointers, so they never depend on alignment or on
// the host's own order.
#pragma once

#include <cstdint>
#include <cstring>

inline uint16_t load_be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t load_be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
inline uint32_t load_be32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint16_t load_le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t load_le32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// 24-bit two's complement value, sign-extended.
inline int32_t load_be24_signed(const uint8_t* p)
{
    uint32_t v = load_be24(p);
    return (v & 0x800000u) ? int32_t(v | 0xFF000000u) : int32_t(v);
}

inline float float_from_bits(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
inline uint32_t bits_from_float(float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}
inline float load_be_float(const uint8_t* p) { return float_from_bits(load_be32(p)); }
inline float load_le_float(const uint8_t* p) { return float_from_bits(load_le32(p)); }

inline void store_be16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void store_be32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline void store_le16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void store_le32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline void store_be_float(uint8_t* p, float f) { store_be32(p, bits_from_float(f)); }
inline void store_le_float(uint8_t* p, float f) { store_le32(p, bits_from_float(f)); }

// Sum of bytes modulo 256, the checksum of most device frames.
inline uint8_t sum8(const uint8_t* p, std::size_t n)
{
    unsigned s = 0;
    for (std::size_t i = 0; i < n; ++i) s += p[i];
    return uint8_t(s);
}

// Value swaps between the line's big-endian order and the host's
// little-endian order (the host is little-endian).
inline uint16_t be16_to_le16(uint16_t v) { return uint16_t((v >> 8) | (v << 8)); }
inline uint16_t le16_to_be16(uint16_t v) { return be16_to_le16(v); }
inline uint32_t be32_to_le32(uint32_t v)
{
    return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}
inline uint32_t le32_to_be32(uint32_t v) { return be32_to_le32(v); }
inline float be_float_to_le_float(float f) { return float_from_bits(be32_to_le32(bits_from_float(f))); }
inline float le_float_to_be_float(float f) { return be_float_to_le_float(f); }
