// Messages that wait for their destination to be reachable.
//
// A writer that has just been created is not yet matched to the readers it
// will serve, and on a volatile bus a message written before the match is
// lost. So for a while after each writer is created (its window), a message
// whose destination has no matched reader yet is held here and sent as soon
// as the destination's reader is matched, or when the window ends. Later
// messages to that destination, on any topic, queue behind it, so each
// destination sees a program's messages in publishing order (a service's
// line statistics before the raw answer it sends right after), and
// publishing never waits.
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
    // `ready`: the destination has a matched reader on this topic.
    bool hold(const Key& key, BusEnvelope& message, bool ready, Clock::time_point now);

    struct Batch {
        std::string dest;
        std::deque<std::pair<Key, BusEnvelope>> messages;  // in publishing order
    };
    // The held messages at the front of one destination's queue that may go:
    // their topic's reader is ready or their window is over (all of them with
    // `flush`). The destination stays busy, so new messages still queue
    // behind the batch, until done(dest).
    std::optional<Batch> take(const Ready& ready, Clock::time_point now, bool flush);
    void done(const std::string& dest);

    // When the earliest window that holds up a destination ends;
    // time_point::max() when nothing is held.
    Clock::time_point next_deadline() const;
    bool empty() const { return held_.empty(); }

private:
    Clock::time_point window_end(const Key& key) const;

    std::map<Key, Clock::time_point> windows_;
    std::map<std::string, std::deque<std::pair<Key, BusEnvelope>>> held_;
    std::map<std::string, int> busy_;
};
