// A subscription's own delivery thread.
//
// Fast DDS hands a reader's messages over on its receive threads, the same
// threads that carry discovery, acknowledgements and liveliness for the
// whole participant. A callback that talks to a slow device must not hold
// them, so the reader's listener only queues each message here and returns;
// one thread per subscription runs the callback, in arrival order. A
// callback that blocks delays only later messages of its own subscription.
// Subscriptions that must see their messages in arrival order across topics
// share one queue (and so one thread).
//
// A subscription that takes requests may merge repeats: a message equal in
// every field (same requester, same payload) to one still waiting is not
// queued a second time, because the one waiting is handled after both
// arrived and its answer serves both. The one being handled does not count:
// it started before the repeat came. So while a device is slow, the queue
// holds at most one of each distinct request instead of growing by one a
// poll. Subscriptions that take commands never merge.
#pragma once

#include "bus_envelope.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

class DispatchQueue {
public:
    using Handler = std::function<void(BusEnvelope&)>;
    using LogFunction = std::function<void(const std::string&)>;

    DispatchQueue(bool merge_repeats, LogFunction log);
    ~DispatchQueue();  // close()

    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    // Queues one message for `handler` (which must outlive the queue's
    // thread). Several subscriptions may share one queue: their messages are
    // then handled one at a time in the order they were pushed. False when
    // the message was merged into one already waiting for the same handler,
    // or the queue is closed.
    bool push(const Handler& handler, BusEnvelope message);

    // Drops what still waits, waits for the handler running now (if any) and
    // ends the thread. Later pushes are dropped. Must not be called from
    // inside a handler; calling it again does nothing.
    void close();

    std::size_t waiting() const;
    std::uint64_t merged() const;

private:
    void run();

    const bool merge_repeats_;
    LogFunction log_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<const Handler*, BusEnvelope>> queue_;
    std::uint64_t merged_ = 0;
    bool closing_ = false;
    std::thread thread_;
};
