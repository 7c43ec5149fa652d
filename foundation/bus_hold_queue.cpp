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
    const std::string& dest = key.second;
    bool queue_behind = held_.count(dest) > 0 || busy_.count(dest) > 0;
    if (!queue_behind && (ready || now >= window_end(key))) {
        windows_.erase(key);  // over for good: the writer stays matched or nobody is there
        return false;
    }
    held_[dest].emplace_back(key, std::move(message));
    return true;
}

std::optional<HoldQueue::Batch> HoldQueue::take(const Ready& ready, Clock::time_point now, bool flush)
{
    for (auto it = held_.begin(); it != held_.end(); ++it) {
        auto& queue = it->second;
        std::size_t n = 0;
        while (n < queue.size()) {
            const Key& key = queue[n].first;
            if (!(flush || now >= window_end(key) || ready(key))) break;
            ++n;
        }
        if (n == 0) continue;
        Batch batch{it->first, {}};
        for (std::size_t i = 0; i < n; ++i) {
            batch.messages.push_back(std::move(queue.front()));
            queue.pop_front();
        }
        if (queue.empty()) held_.erase(it);
        ++busy_[batch.dest];
        return batch;
    }
    return std::nullopt;
}

void HoldQueue::done(const std::string& dest)
{
    auto it = busy_.find(dest);
    if (it != busy_.end() && --it->second == 0) busy_.erase(it);
}

HoldQueue::Clock::time_point HoldQueue::next_deadline() const
{
    auto earliest = Clock::time_point::max();
    for (const auto& h : held_) earliest = std::min(earliest, window_end(h.second.front().first));
    return earliest;
}
