// MEMS unit answers: encoding on the unit's side, and the decoding the MEMS
// service applies to them (used for the simulator's log).
//
// 44 bytes in the common rate layout (rate_framing.h); bytes 16..42 are not
// interpreted and go out as zeros; byte 43 is the checksum. Per axis the
// service computes (1024 * count) / (K * time) - w0 / 3600 in single
// precision (the two products, their quotient, the bias quotient, the
// difference) and takes a zero integral time as 1.
#pragma once

#include "rate_framing.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace devsim {

constexpr std::size_t MEMS_ANSWER_SIZE = 44;

constexpr uint16_t MEMS_INTEGRAL_TIME = 1024;
constexpr double MEMS_COUNT_UNIT = 1024.0;

// Calibration for X, Y, Z, as the service loads it.
constexpr float MEMS_K[3] = {319198.1f, 319182.2f, 319335.1f};
constexpr float MEMS_W0[3] = {1.465294f, 2.140157f, 1.470876f};

// One axis as the service computes it (a zero time counts as 1).
float mems_axis_value(int axis, int32_t count, uint16_t time);

// Counts for `rates` over MEMS_INTEGRAL_TIME.
Bytes encode_mems_answer(const RateVector& rates);

// Empty only for a wrong length; header and checksum are not checked.
std::optional<RateReading> decode_mems_answer(const Bytes& answer);

const RateCodec& mems_codec();

}  // namespace devsim
