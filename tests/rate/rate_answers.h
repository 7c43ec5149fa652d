// Answer frames of the gyro and the MEMS unit, built for tests.
#pragma once

#include "byte_order.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

inline std::vector<uint8_t> rate_answer(std::size_t len, std::array<int32_t, 3> counts,
                                        std::array<uint16_t, 3> times)
{
    std::vector<uint8_t> a(len, 0);
    a[0] = 0x97;
    const int offsets[3] = {1, 6, 11};
    for (int i = 0; i < 3; ++i) {
        uint32_t c = uint32_t(counts[i]) & 0xFFFFFF;
        a[offsets[i]] = uint8_t(c >> 16);
        a[offsets[i] + 1] = uint8_t(c >> 8);
        a[offsets[i] + 2] = uint8_t(c);
        store_be16(&a[offsets[i] + 3], times[i]);
    }
    a[len - 1] = sum8(a.data(), len - 1);
    return a;
}

inline int count_of(const std::string& hay, const std::string& needle)
{
    int n = 0;
    for (std::size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}
