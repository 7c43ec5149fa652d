// Bytes waiting to go out on a line, each with the time it is due.
//
// Paced bytes leave one per byte time, as on a real UART: a byte is due when
// its last bit would have been sent. A piece may ask for a gap before it (a
// split answer). Unpaced bytes of a piece are all due at its start.
#pragma once

#include "device.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace devsim {

using Clock = std::chrono::steady_clock;

// Time one byte takes on the wire.
Clock::duration byte_time(int bits_per_byte, int baud);

class WireQueue {
public:
    // Queues `bytes` after everything already queued. `per_byte` is zero
    // when the line is not paced.
    void add(const Bytes& bytes, Clock::time_point now, Clock::duration per_byte,
             Clock::duration gap_before = Clock::duration::zero());

    // Removes and returns the bytes due at `now`, oldest first.
    Bytes take_due(Clock::time_point now);

    // Puts bytes that could not be written back at the front, due at once.
    void put_back(const uint8_t* data, std::size_t size, Clock::time_point now);

    std::optional<Clock::time_point> next_due() const;
    bool empty() const { return bytes_.empty(); }
    std::size_t size() const { return bytes_.size(); }
    void clear();

    // Due time of the i-th queued byte (for inspection).
    Clock::time_point due_at(std::size_t i) const { return bytes_.at(i).second; }

private:
    std::deque<std::pair<uint8_t, Clock::time_point>> bytes_;
    Clock::time_point tail_{};  // due time of the last byte ever queued
};

}  // namespace devsim
