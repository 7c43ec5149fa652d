// Gyro answers: encoding on the gyro side, and the decoding the gyro
// service applies to them (used for the simulator's log, so the values
// logged are exactly those the service will compute).
//
// 27 bytes in the common rate layout (rate_framing.h); bytes 16..25 are not
// interpreted and go out as zeros; byte 26 is the checksum. Per axis the
// service computes ((1000 * count) / time) / K - w0 / 3600, every step in
// single precision in that order, and refuses an answer with a zero
// integral time on any axis.
#pragma once

#include "rate_framing.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace devsim {

constexpr std::size_t GYRO_ANSWER_SIZE = 27;

// The integral time every simulated answer carries, and the unit the count
// is multiplied by before dividing by it.
constexpr uint16_t GYRO_INTEGRAL_TIME = 1000;
constexpr double GYRO_COUNT_UNIT = 1000.0;

// Scale factors and biases for X, Y, Z, as the service holds them.
constexpr float GYRO_K[3] = {289752.5f, 299114.7f, 282454.6f};
constexpr float GYRO_W0[3] = {0.017f, 0.205f, 0.369f};

// One axis as the service computes it; `time` must not be 0.
float gyro_axis_value(int axis, int32_t count, uint16_t time);

// Counts for `rates` over GYRO_INTEGRAL_TIME.
Bytes encode_gyro_answer(const RateVector& rates);

// Empty for a wrong length or a zero integral time; header and checksum
// are not checked.
std::optional<RateReading> decode_gyro_answer(const Bytes& answer);

const RateCodec& gyro_codec();

}  // namespace devsim
