// Command framing on the laser-ranging unit's line, as the unit sees it.
//
// Three frame types, multi-byte values big-endian:
//   direct command, 5 bytes:    CD 90 <group> <action> FF (no checksum)
//   parameter command, 8 bytes: EB 90 <n 1..11> <value u32> <sum>
//   time command, 10 bytes:     EB 90 0D <seconds u32> <milliseconds u16> <sum>
// where <sum> is the sum of all the bytes before it, modulo 256. Byte 2
// tells a time command (0x0D) from a parameter command (1..11). The direct
// frame CD 90 06 00 FF is the telemetry request; 24 other group/action
// pairs are direct commands. Anything that cannot start one of these frames
// is skipped (see sync_framer.h).
#pragma once

#include "device.h"
#include "sync_framer.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace devsim {

constexpr uint8_t OPTICAL_DIRECT_SYNC = 0xCD;
constexpr uint8_t OPTICAL_DATA_SYNC = 0xEB;
constexpr uint8_t OPTICAL_SYNC_SECOND = 0x90;
constexpr uint8_t OPTICAL_DIRECT_END = 0xFF;
constexpr uint8_t OPTICAL_TIME_CODE = 0x0D;
constexpr unsigned OPTICAL_PARAM_MAX = 11;
constexpr std::size_t OPTICAL_DIRECT_FRAME = 5;
constexpr std::size_t OPTICAL_PARAM_FRAME = 8;
constexpr std::size_t OPTICAL_TIME_FRAME = 10;

// The direct frame that asks for telemetry (group 06, action 00).
const Bytes& optical_telemetry_request();

// Whether a direct frame's group and action are one of the 25 the unit knows.
bool optical_direct_known(uint8_t group, uint8_t action);

// What a frame whose checksum holds carries.
struct OpticalCommand {
    enum class Type {
        telemetry_request,
        direct,
        unknown_direct,  // a well-formed direct frame with a pair the unit does not know
        param,
        time,
    };
    Type type = Type::unknown_direct;
    uint8_t group = 0;  // direct
    uint8_t action = 0;
    unsigned number = 0;  // param: 1..11
    uint32_t value = 0;
    uint32_t seconds = 0;  // time
    uint16_t milliseconds = 0;
};

OpticalCommand decode_optical_command(const Bytes& frame);

// For the log: "direct 01 00", "param 2 value=0x12345678",
// "time sec=1000 ms=250".
std::string optical_command_text(const OpticalCommand& command);

// The frame rule of the line, for SyncFramer.
FrameRule optical_frame_rule();

class OpticalCommandFramer : public SyncFramer {
public:
    OpticalCommandFramer() : SyncFramer(optical_frame_rule()) {}
};

}  // namespace devsim
