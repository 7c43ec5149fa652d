// Laser-ranging unit answers built independently of the service: a 228-byte
// frame with chosen values and a correct checksum.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

struct OpticalValues {
    float far = 1234.5f, near = 48.25f;
    int16_t azimuth = -1200, pitch = 3599;
    uint8_t cmds = 7, tlm = 42;
    uint32_t seconds = 86461;
    uint16_t ms = 999;
};

inline std::vector<uint8_t> optical_answer(const OpticalValues& v = OpticalValues{})
{
    std::vector<uint8_t> f(228, 0);
    auto be32 = [&](std::size_t at, uint32_t x) {
        f[at] = uint8_t(x >> 24);
        f[at + 1] = uint8_t(x >> 16);
        f[at + 2] = uint8_t(x >> 8);
        f[at + 3] = uint8_t(x);
    };
    auto be16 = [&](std::size_t at, uint16_t x) {
        f[at] = uint8_t(x >> 8);
        f[at + 1] = uint8_t(x);
    };
    for (std::size_t i = 2; i < 227; ++i) f[i] = uint8_t(i * 13 + 5);  // bytes the service does not read
    f[0] = 0xEB;
    f[1] = 0x90;
    uint32_t bits;
    std::memcpy(&bits, &v.far, 4);
    be32(3, bits);
    std::memcpy(&bits, &v.near, 4);
    be32(7, bits);
    be16(11, uint16_t(v.azimuth));
    be16(13, uint16_t(v.pitch));
    f[21] = v.cmds;
    f[22] = v.tlm;
    be32(57, v.seconds);
    be16(61, v.ms);
    unsigned sum = 0;
    for (std::size_t i = 2; i <= 226; ++i) sum += f[i];
    f[227] = uint8_t(sum);
    return f;
}
