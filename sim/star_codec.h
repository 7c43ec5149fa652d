// Star sensor attitude answers: encoding on the sensor side, and the
// decoding a service applies to them (used for the simulator's log, so the
// values logged are exactly those the service will see).
//
// Nano answer, 64 bytes, big-endian: header 8A A1; q0..q3 as int32 at bytes
// 4, 8, 12, 16 (value / 2^31); detected stars at byte 35; rates as int16 at
// 45, 47, 49 (value * 2.0e-13); checksum at byte 63.
// Pico answer, 256 bytes, little-endian: header EB 50 22; q1, q2, q3 at bytes
// 4, 8, 12 and q0 at 16; byte 34 holds the star count shifted left by one
// bit; no rates; checksum at byte 255.
#pragma once

#include "device.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace devsim {

enum class StarType { nano, pico };

constexpr std::size_t NANO_ANSWER_SIZE = 64;
constexpr std::size_t PICO_ANSWER_SIZE = 256;

// Counts per unit of rotation axis component in the nano rate fields.
constexpr double NANO_RATE_AXIS_SCALE = 20000.0;

// Counts per rad/s when the nano rate fields carry the spacecraft model's
// body rates: 1 count is 1e-5 rad/s, so the fields reach +-0.33 rad/s.
constexpr double NANO_TRUTH_RATE_SCALE = 1e5;

// The float the decoder multiplies rate counts by (nearest to 2.0e-13).
constexpr float NANO_RATE_LSB = 2.0e-13f;

std::size_t star_answer_size(StarType type);

// The attitude query that a sensor of this type answers.
const Bytes& star_attitude_query(StarType type);

const char* star_type_name(StarType type);

// What the sensor reports at one instant.
struct StarAttitude {
    double q[4] = {1.0, 0.0, 0.0, 0.0};     // scalar first
    // What the nano rate fields carry, at rate_scale counts per unit: the
    // rotation axis (unit length), or the spacecraft model's rates in the
    // sensor's axes (rad/s, at NANO_TRUTH_RATE_SCALE).
    double axis[3] = {0.0, 0.0, 0.0};
    double rate_scale = NANO_RATE_AXIS_SCALE;
    int stars = 0;
};

// What a service decodes from an answer, in single precision.
struct StarReading {
    float q[4] = {0, 0, 0, 0};
    float w[3] = {0, 0, 0};
    int stars = 0;
};

// A quaternion component as the int32 of the answer: round(c * 2^31),
// clamped to the int32 range so that +1.0 gives 0x7FFFFFFF.
int32_t star_quaternion_counts(double component);

// Rate field counts for one axis component (see encode_star_answer):
// round(component * scale), saturating.
int16_t nano_rate_counts(double axis_component, double scale = NANO_RATE_AXIS_SCALE);

Bytes encode_star_answer(StarType type, const StarAttitude& attitude);

// Decodes an answer of the right size; header and checksum are not checked.
StarReading decode_star_answer(StarType type, const Bytes& answer);

// "q0=<v> q1=<v> q2=<v> q3=<v> wx=<v> wy=<v> wz=<v> stars=<n>"
std::string star_reading_text(const StarReading& reading);

}  // namespace devsim
