// Vision unit answers built independently of the service: a 170-byte frame
// with chosen values and a correct checksum.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

struct VisionValues {
    uint8_t far_flag = 3, close_flag = 2;
    float far = 187.25f, close = 19.5f;
    struct Rec {
        uint8_t state;
        float alpha, beta;
    } recs[6] = {{3, 1.5f, -2.25f}, {2, 0.5f, 0.75f}, {1, -3.0f, 4.0f},
                 {3, 7.125f, -8.5f}, {0, 0.0f, 0.0f}, {3, -0.25f, 9.75f}};
};

inline void put_be_float(std::vector<uint8_t>& f, std::size_t at, float v)
{
    uint32_t b;
    std::memcpy(&b, &v, 4);
    f[at] = uint8_t(b >> 24);
    f[at + 1] = uint8_t(b >> 16);
    f[at + 2] = uint8_t(b >> 8);
    f[at + 3] = uint8_t(b);
}

inline std::vector<uint8_t> vision_answer(const VisionValues& v = VisionValues{})
{
    std::vector<uint8_t> f(170, 0);
    f[0] = 0xEB;
    f[1] = 0x90;
    f[2] = 0xF0;
    for (std::size_t i = 3; i < 43; ++i) f[i] = uint8_t(i * 7);  // bytes the service does not read
    f[43] = v.far_flag;
    f[44] = v.close_flag;
    put_be_float(f, 45, v.far);
    put_be_float(f, 49, v.close);
    for (int i = 0; i < 6; ++i) {
        f[59 + 9 * i] = v.recs[i].state;
        put_be_float(f, 60 + 9 * i, v.recs[i].alpha);
        put_be_float(f, 64 + 9 * i, v.recs[i].beta);
    }
    unsigned sum = 0;
    for (std::size_t i = 2; i <= 168; ++i) sum += f[i];
    f[169] = uint8_t(sum);
    return f;
}
