// Reaction wheel serial frames.
//
// Command frame (service to wheel), 11 bytes: mode byte (0x58 speed, 0x59
// torque), value1 and value2 as four big-endian bytes each, the wheel's
// hardware id, and the sum of bytes 0..9 modulo 256.
//
// Status frame (wheel to service), 19 bytes: 0xFF, speed, current, four
// bytes the service does not look at, torque (each a signed 32-bit
// big-endian count of thousandths), the hardware id, and the sum of bytes
// 1..16 modulo 256: neither the header nor the hardware id is summed.
#pragma once

#include "device.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace devsim {

constexpr uint8_t WHEEL_CMD_SPEED = 0x58;
constexpr uint8_t WHEEL_CMD_TORQUE = 0x59;
constexpr std::size_t WHEEL_COMMAND_FRAME = 11;
constexpr uint8_t WHEEL_STATUS_HEADER = 0xFF;
constexpr std::size_t WHEEL_STATUS_FRAME = 19;

// A command value as the service encodes it: value * 1000 floored, in
// 32-bit two's complement, big-endian.
std::array<uint8_t, 4> encode_wheel_command_value(float value);

// Four big-endian bytes taken as a signed count of thousandths, the way
// the service decodes them.
float decode_wheel_value(const uint8_t* bytes);

uint8_t wheel_command_checksum(const uint8_t* frame);  // bytes 0..9
uint8_t wheel_status_checksum(const uint8_t* frame);   // bytes 1..16

// A whole command frame, as the service builds it.
Bytes encode_wheel_command(uint8_t mode, float value1, float value2, uint8_t hardware_id);

struct WheelStatus {
    double speed = 0.0;    // rpm
    double current = 0.0;  // A
    double torque = 0.0;   // N m
};

// The status frame for `status`; each value is sent as the nearest count
// of thousandths (clamped to the 32-bit range).
Bytes encode_wheel_status(const WheelStatus& status, uint8_t hardware_id);

// What the service reads from a status frame. Empty unless the frame has
// the right length, header and checksum.
std::optional<WheelStatus> decode_wheel_status(const Bytes& frame);

// "speed=<v> current=<v> torque=<v>", each value as a float decoded from
// the frame and printed by std::ostream.
std::string wheel_status_text(const Bytes& frame);

struct WheelCommandFrame {
    Bytes bytes;
    bool checksum_ok = false;
};

// Cuts command frames out of the byte stream. A frame starts with 0x58 or
// 0x59 and is 11 bytes long; other bytes before it are skipped. A frame whose
// checksum does not match is reported (so the caller can log it) and the
// search for a start byte resumes at its second byte, so a real command that
// followed a stray start byte is not lost.
class WheelCommandFramer {
public:
    struct Result {
        std::vector<WheelCommandFrame> frames;  // in order
        std::size_t skipped = 0;                // bytes dropped while hunting for a start byte
    };

    Result push(const uint8_t* data, std::size_t size);
    void reset() { partial_.clear(); }
    std::size_t pending() const { return partial_.size(); }

private:
    Bytes partial_;
};

}  // namespace devsim
