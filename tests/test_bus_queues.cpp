// The endpoint's two queues without DDS: the subscription's delivery thread
// and the messages that wait for their destination.
#include "bus_dispatch.h"
#include "bus_hold_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

BusEnvelope msg(const std::string& src, unsigned char byte)
{
    BusEnvelope e;
    e.topic = "Telemetry";
    e.src = src;
    e.dest = "Service";
    e.type = "command";
    e.payload = {byte};
    return e;
}

std::string label(const BusEnvelope& e) { return e.src + ":" + std::to_string(e.payload.at(0)); }

// A handler that records what it gets and stops at the first message until
// released, as a callback talking to a silent device does.
class Gate {
public:
    DispatchQueue::Handler handler()
    {
        return [this](BusEnvelope& e) {
            std::unique_lock<std::mutex> lock(m_);
            seen_.push_back(label(e));
            cv_.notify_all();
            cv_.wait(lock, [this] { return open_; });
        };
    }
    void wait_seen(std::size_t n)
    {
        std::unique_lock<std::mutex> lock(m_);
        ASSERT_TRUE(cv_.wait_for(lock, 10s, [&] { return seen_.size() >= n; })) << "handled " << seen_.size();
    }
    void open()
    {
        std::lock_guard<std::mutex> lock(m_);
        open_ = true;
        cv_.notify_all();
    }
    std::vector<std::string> seen()
    {
        std::lock_guard<std::mutex> lock(m_);
        return seen_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
    std::vector<std::string> seen_;
};

}  // namespace

// While the handler is stuck on the first message, what arrives queues (a
// push never waits) and, for requests, repeats of a waiting one are merged.
TEST(DispatchQueue, SlowHandlerDelaysOnlyItsOwnQueueAndRequestsMerge)
{
    struct Case {
        const char* what;
        bool merge;
        std::vector<std::string> handled;
        std::uint64_t merged;
    } cases[] = {
        {"commands: every one, in order", false, {"A:1", "A:1", "A:1", "B:1", "A:2", "A:1"}, 0},
        {"requests: the running one does not count, waiting repeats merge", true, {"A:1", "A:1", "B:1", "A:2"}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Gate gate;
        const DispatchQueue::Handler handler = gate.handler();
        DispatchQueue queue(c.merge, nullptr);
        queue.push(handler, msg("A", 1));
        gate.wait_seen(1);  // running now
        for (auto e : {msg("A", 1), msg("A", 1), msg("B", 1), msg("A", 2), msg("A", 1)}) queue.push(handler, e);
        EXPECT_EQ(gate.seen().size(), 1u);
        gate.open();
        gate.wait_seen(c.handled.size());
        std::this_thread::sleep_for(50ms);  // nothing more may come
        EXPECT_EQ(gate.seen(), c.handled);
        EXPECT_EQ(queue.merged(), c.merged);
    }
}

TEST(DispatchQueue, CloseWaitsForTheRunningHandlerAndDropsTheRest)
{
    Gate gate;
    const DispatchQueue::Handler handler = gate.handler();
    DispatchQueue queue(false, nullptr);
    queue.push(handler, msg("A", 1));
    gate.wait_seen(1);
    queue.push(handler, msg("A", 2));
    auto closed = std::async(std::launch::async, [&] { queue.close(); });
    EXPECT_EQ(closed.wait_for(100ms), std::future_status::timeout) << "close returned while a handler ran";
    gate.open();
    ASSERT_EQ(closed.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(queue.push(handler, msg("A", 3)));
    EXPECT_EQ(gate.seen(), std::vector<std::string>{"A:1"});
}

TEST(DispatchQueue, AThrowingHandlerIsLoggedAndTheNextMessageStillHandled)
{
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> log, handled;
    const DispatchQueue::Handler handler = [&](BusEnvelope& e) {
        if (e.payload.at(0) == 1) throw std::runtime_error("bad payload");
        std::lock_guard<std::mutex> lock(m);
        handled.push_back(label(e));
        cv.notify_all();
    };
    DispatchQueue queue(false, [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(m);
        log.push_back(text);
    });
    queue.push(handler, msg("A", 1));
    queue.push(handler, msg("A", 2));
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return !handled.empty(); }));
    EXPECT_EQ(handled, std::vector<std::string>{"A:2"});
    EXPECT_EQ(log, std::vector<std::string>{"[ERROR] Bus callback failed: bad payload"});
}

// One destination's life on a virtual clock: each step publishes, or
// matches the reader, or lets time pass and runs the sender once.
TEST(HoldQueue, MessagesWaitForTheirDestinationInOrder)
{
    using Clock = HoldQueue::Clock;
    const HoldQueue::Key key{"Telemetry", "Service"};
    enum Op { publish, match, sender, flush };
    struct Step {
        Op op;
        int at_ms;
        unsigned char byte;                  // publish: the message
        bool held;                           // publish: expected to wait
        std::vector<unsigned char> sent;     // sender/flush: the batch written
        bool done_after = true;              // sender: the batch's writing ends
    };
    struct Case {
        const char* what;
        bool window;  // the writer was just created: a 3 s window
        std::vector<Step> steps;
    } cases[] = {
        {"no window: written at once", false, {{publish, 0, 1, false, {}}, {sender, 10, 0, false, {}}}},
        {"held until the match, then in order, then direct",
         true,
         {{publish, 0, 1, true, {}},
          {publish, 5, 2, true, {}},
          {sender, 10, 0, false, {}},
          {match, 20, 0, false, {}},
          {sender, 20, 0, false, {1, 2}},
          {publish, 30, 3, false, {}}}},
        {"nobody comes: sent when the window ends",
         true,
         {{publish, 0, 1, true, {}}, {sender, 2999, 0, false, {}}, {sender, 3000, 0, false, {1}},
          {publish, 3001, 2, false, {}}}},
        {"a message published while a batch is being written queues behind it",
         true,
         {{publish, 0, 1, true, {}},
          {match, 1, 0, false, {}},
          {sender, 1, 0, false, {1}, false},
          {publish, 2, 2, true, {}},
          {sender, 3, 0, false, {2}}}},
        {"closing sends what waits", true, {{publish, 0, 1, true, {}}, {flush, 1, 0, false, {1}}}},
    };
    auto run = [&](const auto& cases, std::chrono::milliseconds settle) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            HoldQueue q(200ms, settle);
            const Clock::time_point t0{};
            if (c.window) q.open_window(key, t0, 3s);
            bool matched = false, busy = false;
            auto ready = [&](const HoldQueue::Key& k) { return matched && k == key; };
            for (const Step& s : c.steps) {
                const auto now = t0 + std::chrono::milliseconds(s.at_ms);
                SCOPED_TRACE(s.at_ms);
                if (s.op == publish) {
                    BusEnvelope e = msg("R", s.byte);
                    EXPECT_EQ(q.hold(key, e, ready(key), now), s.held);
                    EXPECT_EQ(e.payload.empty(), s.held) << "a held message is taken, a written one left";
                } else if (s.op == match) {
                    matched = true;
                } else {
                    if (busy) q.done(key.second);
                    busy = false;
                    auto batch = q.take(ready, now, s.op == flush);
                    std::vector<unsigned char> sent;
                    if (batch) {
                        for (auto& m : batch->messages) sent.push_back(m.second.payload.at(0));
                        busy = !s.done_after;
                        if (s.done_after) q.done(batch->dest);
                    }
                    EXPECT_EQ(sent, s.sent);
                }
            }
        }
    };
    run(cases, 0ms);
    const Case settled[] = {
        {"matched at once, still held while the reader learns of the writer",
         true,
         {{match, 0, 0, false, {}}, {publish, 0, 1, true, {}}, {sender, 49, 0, false, {}},
          {sender, 50, 0, false, {1}}, {publish, 51, 2, false, {}}}},
    };
    run(settled, 50ms);
}

TEST(HoldQueue, TheSenderSleepsUntilTheEarliestWindowOfWhatWaits)
{
    using Clock = HoldQueue::Clock;
    HoldQueue q;
    const Clock::time_point t0{};
    EXPECT_EQ(q.next_deadline(t0), Clock::time_point::max());
    q.open_window({"Telemetry", "A"}, t0, 3s);
    q.open_window({"Telemetry", "B"}, t0, 2s);
    EXPECT_EQ(q.next_deadline(t0), Clock::time_point::max()) << "an open window with nothing held needs no wake-up";
    BusEnvelope a = msg("R", 1), b = msg("R", 2);
    q.hold({"Telemetry", "A"}, a, false, t0);
    EXPECT_EQ(q.next_deadline(t0 + 500ms), t0 + 3s) << "past the grace";
    q.hold({"Telemetry", "B"}, b, false, t0);
    EXPECT_EQ(q.next_deadline(t0 + 500ms), t0 + 2s);
}

// A service sends its line statistics and then the raw answer, on two
// topics, to a monitor it has not been matched to yet: the monitor gets them
// in that order, even when the raw topic's reader is matched first.
TEST(HoldQueue, ADestinationGetsItsMessagesInPublishingOrderAcrossTopics)
{
    using Clock = HoldQueue::Clock;
    const HoldQueue::Key stats{"Telemetry", "Mag_Service"}, raw{"Raw_Telemetry", "Mag_Service"};
    HoldQueue q(200ms, 0ms);
    const Clock::time_point t0{};
    q.open_window(stats, t0, 3s);
    q.open_window(raw, t0, 3s);
    std::set<HoldQueue::Key> matched{raw};
    auto ready = [&](const HoldQueue::Key& k) { return matched.count(k) > 0; };
    BusEnvelope s1 = msg("S", 1), r1 = msg("S", 2);
    EXPECT_TRUE(q.hold(stats, s1, ready(stats), t0));
    EXPECT_TRUE(q.hold(raw, r1, ready(raw), t0)) << "written now, it would overtake the statistics";
    EXPECT_FALSE(q.take(ready, t0 + 1ms, false)) << "the front waits for its own reader";
    EXPECT_EQ(q.next_deadline(t0 + 1ms), t0 + 200ms) << "the grace for what waits behind it";
    matched.insert(stats);
    auto batch = q.take(ready, t0 + 2ms, false);
    ASSERT_TRUE(batch);
    EXPECT_EQ(batch->dest, "Mag_Service");
    ASSERT_EQ(batch->messages.size(), 2u);
    EXPECT_EQ(batch->messages[0].first, stats);
    EXPECT_EQ(batch->messages[1].first, raw);
}

// The console's bootstrap command to a service that takes no commands never
// finds a reader; its requests to that service wait behind it only for the
// grace, then go ahead of it, and the command goes when its window ends.
TEST(HoldQueue, AMessageNobodyWillReadHoldsUpItsDestinationOnlyForTheGrace)
{
    using Clock = HoldQueue::Clock;
    const HoldQueue::Key command{"Command", "Mems_Hardware_Service"}, request{"Telemetry", "Mems_Hardware_Service"};
    HoldQueue q;
    const Clock::time_point t0{};
    q.open_window(command, t0, 3s);
    q.open_window(request, t0, 3s);
    auto ready = [&](const HoldQueue::Key& k) { return k == request; };
    BusEnvelope c = msg("C", 1), r1 = msg("C", 2), r2 = msg("C", 3);
    EXPECT_TRUE(q.hold(command, c, false, t0));
    EXPECT_TRUE(q.hold(request, r1, true, t0 + 10ms));
    EXPECT_FALSE(q.take(ready, t0 + 199ms, false));
    auto first = q.take(ready, t0 + 200ms, false);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->messages.size(), 1u);
    EXPECT_EQ(first->messages[0].first, request);
    q.done(first->dest);
    EXPECT_EQ(q.next_deadline(t0 + 200ms), t0 + 3s) << "no wake-up before the command's window ends";
    EXPECT_TRUE(q.hold(request, r2, true, t0 + 1s)) << "queued, and sent at the next look";
    auto second = q.take(ready, t0 + 1s, false);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->messages.size(), 1u);
    q.done(second->dest);
    auto last = q.take(ready, t0 + 3s, false);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->messages[0].first, command);
}
