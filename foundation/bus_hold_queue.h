// Messages that wait for their destination to be reachable.
//
// A writer that has just been created is not yet matched to the readers it
// will serve, and on a volatile bus a message written before the match is
// lost. So for a while after each writer is created (its window), a message
// whose destination has no matched reader yet is held here and sent as soon
// as the destination's reader is matched, or when the window ends. Later
// messages to that destination queue behind it, so each destination sees
// them in publishing order, and publishing never waits.
//
// Not thread-safe: the endpoint calls it under its matching lock. Time is
// passed in.
#pragma once

#include "bus_envelope.h"

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

class HoldQueue {
public:
    using Clock = std::chrono::steady_clock;
    using Key = std::pair<std::string, std::string>;  // topic, destination
    using Ready = std::function<bool(const Key&)>;

    // Messages to `key` may be held until `until`.
    void open_window(const Key& key, Clock::time_point until);

    // Decides for a message about to be written: true when it must wait (it
    // is then moved into the queue), false when it may be written now.
    // `ready`: the destination has a matched reader.
    bool hold(const Key& key, BusEnvelope& message, bool ready, Clock::time_point now);

    struct Batch {
        Key key;
        std::deque<BusEnvelope> messages;
    };
    // The held messages of one destination that is ready or whose window is
    // over (of any destination with `flush`). Its key stays busy, so new
    // messages still queue behind the batch, until done(key).
    std::optional<Batch> take(const Ready& ready, Clock::time_point now, bool flush);
    void done(const Key& key);

    // When the earliest window among held messages ends; time_point::max()
    // when nothing is held.
    Clock::time_point next_deadline() const;
    bool empty() const { return held_.empty(); }

private:
    Clock::time_point window_end(const Key& key) const;

    std::map<Key, Clock::time_point> windows_;
    std::map<Key, std::deque<BusEnvelope>> held_;
    std::map<Key, int> busy_;
};
