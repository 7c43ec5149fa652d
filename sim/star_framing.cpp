#include "star_framing.h"

namespace devsim {

uint8_t star_checksum(const uint8_t* data, std::size_t size)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i) sum += data[i];
    return uint8_t(sum & 0xFF);
}

std::size_t star_command_length(uint8_t second_byte)
{
    switch (second_byte) {
    case STAR_CMD_TIME: return STAR_TIME_FRAME;
    case STAR_CMD_DATA: return STAR_DATA_FRAME;
    default: return STAR_SHORT_FRAME;
    }
}

StarCommandFramer::Result StarCommandFramer::push(const uint8_t* data, std::size_t size)
{
    Result result;
    for (std::size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        if (partial_.empty()) {
            if (b != STAR_CMD_START) {
                ++result.skipped;
                continue;
            }
            partial_.push_back(b);
            continue;
        }
        partial_.push_back(b);
        if (partial_.size() < 2 || partial_.size() < star_command_length(partial_[1])) continue;

        StarCommandFrame frame;
        frame.checksum_ok = star_checksum(partial_.data(), partial_.size() - 1) == partial_.back();
        frame.bytes.swap(partial_);
        partial_.clear();
        result.frames.push_back(std::move(frame));
    }
    return result;
}

}  // namespace devsim
