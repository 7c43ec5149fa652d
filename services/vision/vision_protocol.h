// The vision unit's serial protocol: the frames written to the unit and the
// 170-byte answer to its health query.
//
// Every frame to the unit is EB 90, a kind byte (1E command, 0F health
// query), 00, a body length N, N body bytes and a checksum: the sum of the
// bytes from the kind byte through the last body byte. Values travel
// big-endian.
#pragma once

#include "vision_record.h"

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::size_t VISION_ANSWER_LEN = 170;
constexpr uint8_t VISION_SERIAL_ID = 9;
constexpr uint8_t VISION_HEALTH_QUERY[7] = {0xEB, 0x90, 0x0F, 0x00, 0x01, 0xA5, 0xB5};
constexpr uint8_t VISION_ANSWER_HEADER[3] = {0xEB, 0x90, 0xF0};

// Payload byte 0 of the two fixed commands; any other value is a parameter
// command number.
constexpr uint8_t VISION_CMD_QUATERNION = 7;
constexpr uint8_t VISION_CMD_TIME = 8;

using VisionParamFrame = std::array<uint8_t, 12>;
using VisionQuaternionFrame = std::array<uint8_t, 25>;
using VisionTimeFrame = std::array<uint8_t, 14>;

// Parameter command n (1 to 6, 10 to 14). Numbers other than 6 carry the
// value truncated toward zero to a 32-bit integer (0 when out of range or
// NaN), of which the lowest byte travels; number 6 carries the float itself.
// False, and nothing built, for any other number.
bool vision_param_frame(uint8_t number, float value, VisionParamFrame& frame);
VisionQuaternionFrame vision_quaternion_frame(const float quaternion[4], uint8_t extra);
VisionTimeFrame vision_time_frame(uint32_t seconds, uint16_t milliseconds);

// Answer checks and conversion (the answer is VISION_ANSWER_LEN bytes).
bool vision_header_ok(const uint8_t* answer);
uint8_t vision_answer_sum(const uint8_t* answer);  // bytes 2 to 168
void vision_convert(const uint8_t* answer, VISION_Info_Frame* record);

// To the console: the 64-byte record, the line statistics and the
// reset-enable state (this service resets its line: 1).
constexpr std::size_t VISION_GNC_RECORD_LEN = 70;
