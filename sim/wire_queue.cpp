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
        bytes_.emplace_back(b, t);
    }
    tail_ = t;
}

Bytes WireQueue::take_due(Clock::time_point now)
{
    Bytes out;
    while (!bytes_.empty() && bytes_.front().second <= now) {
        out.push_back(bytes_.front().first);
        bytes_.pop_front();
    }
    return out;
}

void WireQueue::put_back(const uint8_t* data, std::size_t size, Clock::time_point now)
{
    for (std::size_t i = size; i > 0; --i) bytes_.emplace_front(data[i - 1], now);
}

std::optional<Clock::time_point> WireQueue::next_due() const
{
    if (bytes_.empty()) return std::nullopt;
    return bytes_.front().second;
}

void WireQueue::clear()
{
    bytes_.clear();
    tail_ = Clock::time_point{};
}

}  // namespace devsim
