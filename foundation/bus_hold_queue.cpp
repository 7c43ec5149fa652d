#include "bus_hold_queue.h"

#include <algorithm>

void HoldQueue::open_window(const Key& key, Clock::time_point now, std::chrono::milliseconds length)
{
    windows_[key] = Window{now, now + length};
}

HoldQueue::Clock::time_point HoldQueue::window_end(const Key& key) const
{
    auto it = windows_.find(key);
    return it == windows_.end() ? Clock::time_point::min() : it->second.until;
}

bool HoldQueue::may_go(const Key& key, bool ready, Clock::time_point now) const
{
    auto it = windows_.find(key);
    if (it == windows_.end() || now >= it->second.until) return true;
    return ready && now >= it->second.opened + settle_;
}

bool HoldQueue::hold(const Key& key, BusEnvelope& message, bool ready, Clock::time_point now)
{
    const std::string& dest = key.second;
    bool queue_behind = held_.count(dest) > 0 || busy_.count(dest) > 0;
    if (!queue_behind && may_go(key, ready, now)) {
        windows_.erase(key);  // over for good: the writer stays matched or nobody is there
        return false;
    }
    held_[dest].push_back(Held{key, std::move(message), now});
    return true;
}

std::optional<HoldQueue::Batch> HoldQueue::take(const Ready& ready, Clock::time_point now, bool flush)
{
    for (auto it = held_.begin(); it != held_.end(); ++it) {
        auto& queue = it->second;
        auto may_go = [&](const Held& h) { return flush || this->may_go(h.key, ready(h.key), now); };
        // In order up to the first that must wait; past the grace, around it.
        const bool around = !may_go(queue.front()) && now - queue.front().since >= grace_;
        Batch batch{it->first, {}};
        std::deque<Held> rest;
        bool blocked = false;
        for (Held& h : queue) {
            if (!blocked && may_go(h)) {
                batch.messages.emplace_back(h.key, std::move(h.message));
            } else {
                blocked = !around;
                rest.push_back(std::move(h));
            }
        }
        if (batch.messages.empty()) {
            queue.swap(rest);
            continue;
        }
        queue.swap(rest);
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

HoldQueue::Clock::time_point HoldQueue::next_deadline(Clock::time_point now) const
{
    auto earliest = Clock::time_point::max();
    for (const auto& h : held_) {
        const Held& front = h.second.front();
        earliest = std::min(earliest, window_end(front.key));
        if (front.since + grace_ > now) earliest = std::min(earliest, front.since + grace_);
        auto w = windows_.find(front.key);
        if (w != windows_.end() && w->second.opened + settle_ > now)
            earliest = std::min(earliest, w->second.opened + settle_);
    }
    return earliest;
}
