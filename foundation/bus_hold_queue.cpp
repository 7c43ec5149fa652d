#include "bus_hold_queue.h"

void HoldQueue::open_window(const Key& key, Clock::time_point until)
{
    windows_[key] = until;
}

HoldQueue::Clock::time_point HoldQueue::window_end(const Key& key) const
{
    auto it = windows_.find(key);
    return it == windows_.end() ? Clock::time_point::min() : it->second;
}

bool HoldQueue::hold(const Key& key, BusEnvelope& message, bool ready, Clock::time_point now)
{
    auto held = held_.find(key);
    bool queue_behind = held != held_.end() || busy_.count(key) > 0;
    if (!queue_behind) {
        if (ready || now >= window_end(key)) {
            windows_.erase(key);  // over for good: the writer stays matched or nobody is there
            return false;
        }
    }
    held_[key].push_back(std::move(message));
    return true;
}

std::optional<HoldQueue::Batch> HoldQueue::take(const Ready& ready, Clock::time_point now, bool flush)
{
    for (auto it = held_.begin(); it != held_.end(); ++it) {
        if (flush || now >= window_end(it->first) || ready(it->first)) {
            Batch batch{it->first, std::move(it->second)};
            held_.erase(it);
            ++busy_[batch.key];
            return batch;
        }
    }
    return std::nullopt;
}

void HoldQueue::done(const Key& key)
{
    auto it = busy_.find(key);
    if (it != busy_.end() && --it->second == 0) busy_.erase(it);
}

HoldQueue::Clock::time_point HoldQueue::next_deadline() const
{
    auto earliest = Clock::time_point::max();
    for (const auto& h : held_) earliest = std::min(earliest, window_end(h.first));
    return earliest;
}
