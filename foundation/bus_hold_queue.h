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
// Even when the writer is matched at once (it knew the reader already), the
// reader learns of the new writer only from its announcement, some
// milliseconds later: the first messages wait a short settle, so a reader
// that matches a program's new writers in another order than they were made
// still gets their first messages in publishing order.
//
// A destination may never read one of the topics (the MEMS service takes no
// commands), and its reader on another topic is matched within milliseconds
// of the writer's creation. So messages whose own reader is ready wait
// behind one that is not for a short grace only, then go ahead of it.
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

    explicit HoldQueue(std::chrono::milliseconds grace = std::chrono::milliseconds(200),
                       std::chrono::milliseconds settle = std::chrono::milliseconds(50))
        : grace_(grace), settle_(settle)
    {
    }

    // A writer for `key` was made at `now`: its messages may be held for
    // `length`.
    void open_window(const Key& key, Clock::time_point now, std::chrono::milliseconds length);

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
    // `flush`); once the front has waited for the grace, every message of the
    // queue that may go. The destination stays busy, so new messages still
    // queue behind the batch, until done(dest).
    std::optional<Batch> take(const Ready& ready, Clock::time_point now, bool flush);
    void done(const std::string& dest);

    // When the sender should look again: the earliest end of a window or a
    // grace that holds up a destination; time_point::max() when nothing is
    // held.
    Clock::time_point next_deadline(Clock::time_point now) const;
    bool empty() const { return held_.empty(); }

private:
    struct Window {
        Clock::time_point opened, until;
    };
    // Whether a message to `key` may be written at `now`.
    bool may_go(const Key& key, bool ready, Clock::time_point now) const;

    struct Held {
        Key key;
        BusEnvelope message;
        Clock::time_point since;
    };
    Clock::time_point window_end(const Key& key) const;

    const std::chrono::milliseconds grace_, settle_;
    std::map<Key, Window> windows_;
    std::map<std::string, std::deque<Held>> held_;
    std::map<std::string, int> busy_;
};
