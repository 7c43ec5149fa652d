// The laser-ranging unit's answer to a telemetry request: encoding on the
// unit's side, and the decoding a service applies to it (used for the
// simulator's log, so the values logged are exactly those the service sees).
//
// 228 bytes, multi-byte values big-endian, floats IEEE-754 single:
//   0..1    EB 90
//   2       frame counter (the telemetry count again)
//   3..6    far range, float, m          7..10   near range, float, m
//   11..12  far mirror azimuth, int16, arc-seconds
//   13..14  near mirror pitch, int16, arc-seconds
//   21      command count                22      telemetry count
//   57..60  ranging valid time, whole seconds, uint32
//   61..62  its milliseconds, uint16
//   227     sum of bytes 2..226 modulo 256 (the sync is not summed)
// The bytes in between are not interpreted by the service; each carries
// the low 8 bits of its own index, so that a reader which mis-slices the
// answer sees it.
#pragma once

#include "device.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace devsim {

constexpr std::size_t OPTICAL_ANSWER_SIZE = 228;
constexpr uint8_t OPTICAL_ANSWER_SYNC[2] = {0xEB, 0x90};

// Everything an answer carries.
struct OpticalTelemetry {
    float far_m = 0.0f;
    float near_m = 0.0f;
    int16_t azimuth_arcsec = 0;
    int16_t pitch_arcsec = 0;
    uint8_t commands = 0;
    uint8_t telemetry = 0;
    uint32_t seconds = 0;
    uint16_t milliseconds = 0;
};

// Sum of bytes 2..226 of an answer.
uint8_t optical_answer_checksum(const Bytes& answer);

Bytes encode_optical_answer(const OpticalTelemetry& telemetry);

// Decodes an answer of the right length; sync and checksum are not checked.
OpticalTelemetry decode_optical_answer(const Bytes& answer);

// "far=<v> near=<v> azimuth=<n> pitch=<n> cmds=<n> tlm=<n> time=<s>.<mmm>"
std::string optical_telemetry_text(const OpticalTelemetry& telemetry);

}  // namespace devsim
