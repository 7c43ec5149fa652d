// Wheel status frames built for tests: header, speed, current, four spare
// bytes, torque (each × 1000, big-endian), hardware id, checksum over bytes
// 1 to 16.
#pragma once

#include "byte_order.h"

#include <cstdint>
#include <vector>

inline std::vector<uint8_t> status_frame(int32_t speed, int32_t current, int32_t torque, uint8_t hw)
{
    std::vector<uint8_t> f(19, 0);
    f[0] = 0xFF;
    store_be32(&f[1], uint32_t(speed));
    store_be32(&f[5], uint32_t(current));
    store_be32(&f[13], uint32_t(torque));
    f[17] = hw;
    f[18] = sum8(&f[1], 16);
    return f;
}
