// Bytes waiting to go out on a line, each with the time it is due.
//
// Paced bytes leave one per byte time, as on a real UART: a byte is due when
// its last bit would have been sent. A piece may ask for a gap before it (a
// split answer). Unpaced bytes of a piece are all due at its start.
//
// With a batch time set, the line is written in runs of bytes no longer
// than that, as a USB serial adapter hands over what arrived in each of its
// 1 ms frames: the last byte of every piece still goes out exactly when it
// is due, earlier bytes at most one batch time late, and a paced line costs
// a wake-up per batch rather than per byte.
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

    // When the line should next be written: the due time of the byte that
    // ends the next run (a piece's last byte, or the last within the batch
    // time of the first waiting byte).
    std::optional<Clock::time_point> next_due() const;

    // Zero (the default): every byte at its own due time.
    void set_batch(Clock::duration batch) { batch_ = batch; }
    bool empty() const { return bytes_.empty(); }
    std::size_t size() const { return bytes_.size(); }
    void clear();

    // Due time of the i-th queued byte (for inspection).
    Clock::time_point due_at(std::size_t i) const { return bytes_.at(i).due; }

private:
    struct Entry {
        uint8_t byte;
        Clock::time_point due;
        bool piece_end;  // last byte of what one add() or put_back() queued
    };
    std::deque<Entry> bytes_;
    Clock::time_point tail_{};  // due time of the last byte ever queued
    Clock::duration batch_{};
};

}  // namespace devsim
