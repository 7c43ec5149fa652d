// Command framing on the vision unit's line, as the unit sees it.
//
// Every frame is EB 90 <kind> 00 <N> <N body bytes> <sum>, the sum taken
// over the bytes from <kind> through the last body byte, modulo 256 (the
// sync is not summed); multi-byte values are big-endian, floats IEEE-754
// single. The frames the unit knows:
//   health query, kind 0F:  only ever EB 90 0F 00 01 A5 B5
//   command, kind 1E, N 6:  parameter: n n v 00 00 00 (n 1..5 or 10..14, v one
//                           byte) or 06 06 <float>
//   command, kind 1E, N 8:  time: 08 08 <seconds u32> <milliseconds u16>
//   command, kind 1E, N 13h: quaternion: 07 07 <q0..q3 float> <one more byte>
// A kind, reserved byte or length outside these starts no frame, so the
// framer never waits for more than 25 bytes (see sync_framer.h).
#pragma once

#include "device.h"
#include "sync_framer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace devsim {

constexpr uint8_t VISION_SYNC[2] = {0xEB, 0x90};
constexpr uint8_t VISION_KIND_HEALTH = 0x0F;
constexpr uint8_t VISION_KIND_COMMAND = 0x1E;
constexpr std::size_t VISION_FRAME_OVERHEAD = 6;  // sync, kind, 00, N, sum
constexpr uint8_t VISION_PARAM_LENGTH = 6;
constexpr uint8_t VISION_TIME_LENGTH = 8;
constexpr uint8_t VISION_QUATERNION_LENGTH = 0x13;

// The health query the unit answers.
const Bytes& vision_health_query();

// Sum of bytes 2..size-2 of a frame: what its last byte should hold.
uint8_t vision_frame_checksum(const uint8_t* frame, std::size_t size);

// What a frame whose checksum holds carries.
struct VisionCommand {
    enum class Type {
        health_query,
        param_byte,   // parameters 1..5 and 10..14
        param_float,  // parameter 6
        quaternion,
        time,
        unknown,      // a checksum that holds over a body the unit does not know
    };
    Type type = Type::unknown;
    unsigned number = 0;  // parameter number
    uint8_t byte_value = 0;
    float float_value = 0.0f;
    std::array<float, 4> q{};
    uint8_t extra = 0;  // the byte after a quaternion
    uint32_t seconds = 0;
    uint16_t milliseconds = 0;
};

VisionCommand decode_vision_command(const Bytes& frame);

// For the log: "param 1 value=3", "param 6 value=1.5",
// "quaternion q0=1 q1=0 q2=0 q3=0 extra=01", "time sec=1000 ms=250".
std::string vision_command_text(const VisionCommand& command);

// The frame rule of the line, for SyncFramer.
FrameRule vision_frame_rule();

class VisionCommandFramer : public SyncFramer {
public:
    VisionCommandFramer() : SyncFramer(vision_frame_rule()) {}
};

}  // namespace devsim
