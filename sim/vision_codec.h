// The vision unit's answer to a health query: encoding on the unit's side,
// and the decoding a service applies to it (used for the simulator's log).
//
// 170 bytes, multi-byte values big-endian, floats IEEE-754 single:
//   0..2     EB 90 F0
//   43       far line-of-sight flag (0..3)
//   44       close line-of-sight flag (0..3)
//   45..48   far line-of-sight distance, float, m
//   49..52   close line-of-sight distance, float, m
//   59..112  six recognition results of 9 bytes each: state (0..3), alpha
//            and beta (floats, degrees); in order left panel, right panel
//            and platform seen far, then the same three seen close
//   169      sum of bytes 2..168 modulo 256 (EB 90 not summed)
// The bytes in between are not interpreted by the service; each carries
// the low 8 bits of its own index.
#pragma once

#include "device.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace devsim {

constexpr std::size_t VISION_ANSWER_SIZE = 170;
constexpr uint8_t VISION_ANSWER_HEADER[3] = {0xEB, 0x90, 0xF0};
constexpr std::size_t VISION_TARGETS = 6;

// Short names of the six results, in answer order (used in the log).
extern const char* const VISION_TARGET_NAMES[VISION_TARGETS];

struct VisionTarget {
    uint8_t state = 0;
    float alpha_deg = 0.0f;
    float beta_deg = 0.0f;
};

// Everything an answer carries.
struct VisionTelemetry {
    uint8_t far_flag = 0;
    uint8_t close_flag = 0;
    float far_m = 0.0f;
    float close_m = 0.0f;
    std::array<VisionTarget, VISION_TARGETS> targets{};
};

// Sum of bytes 2..168 of an answer.
uint8_t vision_answer_checksum(const Bytes& answer);

Bytes encode_vision_answer(const VisionTelemetry& telemetry);

// Decodes an answer of the right length; header and checksum are not checked.
VisionTelemetry decode_vision_answer(const Bytes& answer);

// "far_flag=<n> close_flag=<n> far=<v> close=<v> lf=<s>,<a>,<b> rf=... pf=...
// lc=... rc=... pc=..."
std::string vision_telemetry_text(const VisionTelemetry& telemetry);

}  // namespace devsim
