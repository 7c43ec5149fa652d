// Command framing on a star sensor line, as the sensor sees it.
//
// A command frame starts with 0x74; its second byte selects the length
// (0xA3: 8-byte time frame, 0x56: 77-byte data frame, anything else: 5-byte
// short frame) and its last byte is the sum of the others modulo 256. Bytes
// before a 0x74 are skipped; a frame may arrive in any number of pieces.
// A frame whose checksum does not match is still cut out whole and reported,
// so the caller can log it and drop it.
#pragma once

#include "device.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace devsim {

constexpr uint8_t STAR_CMD_START = 0x74;
constexpr uint8_t STAR_CMD_TIME = 0xA3;
constexpr uint8_t STAR_CMD_DATA = 0x56;
constexpr std::size_t STAR_SHORT_FRAME = 5;
constexpr std::size_t STAR_TIME_FRAME = 8;
constexpr std::size_t STAR_DATA_FRAME = 77;

// Sum of the bytes modulo 256.
uint8_t star_checksum(const uint8_t* data, std::size_t size);

// Frame length selected by a command frame's second byte.
std::size_t star_command_length(uint8_t second_byte);

struct StarCommandFrame {
    Bytes bytes;
    bool checksum_ok = false;
};

class StarCommandFramer {
public:
    struct Result {
        std::vector<StarCommandFrame> frames;  // complete frames, in order
        std::size_t skipped = 0;               // bytes dropped while hunting for 0x74
    };

    Result push(const uint8_t* data, std::size_t size);

    // Forgets a partly received frame.
    void reset() { partial_.clear(); }

    // Bytes of the frame being received.
    std::size_t pending() const { return partial_.size(); }

private:
    Bytes partial_;
};

}  // namespace devsim
