#include "wire_queue.h"

#include <algorithm>

namespace devsim {

Clock::duration byte_time(int bits_per_byte, int baud)
{
    if (baud <= 0) return Clock::duration::zero();
    const auto ns = std::chrono::nanoseconds(
        (int64_t(bits_per_byte) * 1000000000LL + baud / 2) / int64_t(baud));
    return std::chrono::duration_cast<Clock::duration>(ns);
}

void WireQueue::add(const Bytes& bytes, Clock::time_point now, Clock::duration per_byte,
                    Clock::duration gap_before)
{
    if (bytes.empty()) return;
    Clock::time_point t = std::max(now, tail_) + gap_before;
    for (uint8_t b : bytes) {
        t += per_byte;
        bytes_.push_back(Entry{b, t, false});
    }
    bytes_.back().piece_end = true;
    tail_ = t;
}

Bytes WireQueue::take_due(Clock::time_point now)
{
    Bytes out;
    while (!bytes_.empty() && bytes_.front().due <= now) {
        out.push_back(bytes_.front().byte);
        bytes_.pop_front();
    }
    return out;
}

void WireQueue::put_back(const uint8_t* data, std::size_t size, Clock::time_point now)
{
    for (std::size_t i = size; i > 0; --i) bytes_.push_front(Entry{data[i - 1], now, i == size});
}

std::optional<Clock::time_point> WireQueue::next_due() const
{
    if (bytes_.empty()) return std::nullopt;
    const Clock::time_point first = bytes_.front().due;
    Clock::time_point run_end = first;
    for (const Entry& e : bytes_) {
        if (e.due - first > batch_) break;
        run_end = e.due;
        if (e.piece_end) break;
    }
    return run_end;
}

void WireQueue::clear()
{
    bytes_.clear();
    tail_ = Clock::time_point{};
}

}  // namespace devsim
