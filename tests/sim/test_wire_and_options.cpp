// Wire pacing schedule and devsim's command line.
#include "options.h"
#include "wire_queue.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;
using devsim::Bytes;
using devsim::Clock;
using devsim::WireQueue;

TEST(WirePacing, ByteTimeFollowsBitsPerByteAndBaud)
{
    EXPECT_EQ(devsim::byte_time(10, 115200), std::chrono::nanoseconds(86806));
    EXPECT_EQ(devsim::byte_time(11, 115200), std::chrono::nanoseconds(95486));
    EXPECT_EQ(devsim::byte_time(10, 9600), std::chrono::nanoseconds(1041667));
    EXPECT_EQ(devsim::byte_time(10, 0), Clock::duration::zero());
}

TEST(WirePacing, UnpacedBytesAreDueAtOnce)
{
    WireQueue q;
    const Clock::time_point t0{1s};
    q.add(Bytes{1, 2, 3}, t0, Clock::duration::zero());
    EXPECT_EQ(q.next_due(), t0);
    EXPECT_EQ(q.take_due(t0), (Bytes{1, 2, 3}));
    EXPECT_TRUE(q.empty());
    EXPECT_FALSE(q.next_due().has_value());
}

TEST(WirePacing, PacedBytesLeaveOneByteTimeApart)
{
    WireQueue q;
    const Clock::time_point t0{10s};
    const auto bt = devsim::byte_time(10, 9600);
    q.add(Bytes{1, 2, 3, 4}, t0, bt);
    ASSERT_EQ(q.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(q.due_at(i), t0 + bt * long(i + 1));

    EXPECT_TRUE(q.take_due(t0).empty());
    EXPECT_EQ(q.take_due(t0 + bt * 2), (Bytes{1, 2}));
    EXPECT_EQ(q.next_due(), t0 + bt * 3);
    EXPECT_EQ(q.take_due(t0 + bt * 10), (Bytes{3, 4}));
}

TEST(WirePacing, LaterAnswersQueueBehindEarlierOnes)
{
    WireQueue q;
    const Clock::time_point t0{10s};
    const auto bt = 1ms;
    q.add(Bytes{1, 2}, t0, bt);
    // Queued while the first is still on the wire: starts after its last byte.
    q.add(Bytes{3}, t0 + 500us, bt);
    EXPECT_EQ(q.due_at(2), t0 + 3ms);
    // A piece with a gap before it (a split answer).
    q.add(Bytes{4}, t0, bt, 5ms);
    EXPECT_EQ(q.due_at(3), t0 + 9ms);
    // After the queue drained and was cleared, timing starts from now again.
    q.clear();
    q.add(Bytes{5}, t0 + 1ms, bt);
    EXPECT_EQ(q.due_at(0), t0 + 2ms);
}

TEST(WirePacing, BytesPutBackGoOutFirst)
{
    WireQueue q;
    const Clock::time_point t0{5s};
    q.add(Bytes{1, 2, 3, 4}, t0, Clock::duration::zero());
    auto due = q.take_due(t0);
    ASSERT_EQ(due.size(), 4u);
    // Only two could be written.
    q.put_back(due.data() + 2, 2, t0);
    q.add(Bytes{9}, t0, Clock::duration::zero());
    EXPECT_EQ(q.take_due(t0), (Bytes{3, 4, 9}));
}

// Batched writing: a run never spans more than the batch time, a piece's
// last byte is never held back, and every byte still leaves in order.
TEST(WirePacing, BatchedRunsEndAtPieceEndsAndWithinTheBatchTime)
{
    WireQueue q;
    q.set_batch(1ms);
    const Clock::time_point t0{10s};
    const auto bt = 300us;
    q.add(Bytes{1, 2, 3, 4, 5}, t0, bt);        // due t0+0.3 .. t0+1.5 ms
    q.add(Bytes{6, 7}, t0, bt, 2ms);            // due t0+3.8, t0+4.1 ms

    // First run: bytes due within 1 ms of the first (0.3, 0.6, 0.9, 1.2 ms).
    ASSERT_EQ(q.next_due(), t0 + 1200us);
    EXPECT_EQ(q.take_due(t0 + 1200us), (Bytes{1, 2, 3, 4}));
    // The piece's last byte is a run of its own, on time.
    ASSERT_EQ(q.next_due(), t0 + 1500us);
    EXPECT_EQ(q.take_due(t0 + 1500us), (Bytes{5}));
    // The next piece is not pulled forward into the gap before it.
    ASSERT_EQ(q.next_due(), t0 + 4100us);
    EXPECT_EQ(q.take_due(t0 + 4100us), (Bytes{6, 7}));
    EXPECT_FALSE(q.next_due().has_value());
}

TEST(WirePacing, WithoutABatchEveryByteIsWrittenAtItsOwnTime)
{
    WireQueue q;
    const Clock::time_point t0{10s};
    q.add(Bytes{1, 2, 3}, t0, 300us);
    EXPECT_EQ(q.next_due(), t0 + 300us);
    q.take_due(t0 + 300us);
    EXPECT_EQ(q.next_due(), t0 + 600us);
}

TEST(WirePacing, BytesPutBackOnABatchedLineGoOutAtOnce)
{
    WireQueue q;
    q.set_batch(1ms);
    const Clock::time_point t0{10s};
    q.add(Bytes{1, 2, 3}, t0, 100us);
    auto due = q.take_due(t0 + 300us);
    ASSERT_EQ(due.size(), 3u);
    q.put_back(due.data() + 1, 2, t0 + 300us);
    q.add(Bytes{4}, t0 + 300us, 100us);
    EXPECT_EQ(q.next_due(), t0 + 300us);
    EXPECT_EQ(q.take_due(t0 + 300us), (Bytes{2, 3}));
    EXPECT_EQ(q.next_due(), t0 + 400us);
}

namespace {

bool parse(std::vector<std::string> args, devsim::Options& o, std::string& error)
{
    return devsim::parse_options(args, o, error);
}

}  // namespace

TEST(DevsimCommandLine, FullCommandLine)
{
    devsim::Options o;
    std::string error;
    ASSERT_TRUE(parse({"--run-dir", "/tmp/x", "--line", "nano1=nano", "--line=pico1=pico", "--pace", "--baud",
                       "9600", "--seed", "42", "--hangup-ms=250", "--fault", "nano1:split:rate=0.5", "--fault",
                       "pico1:hangup"},
                      o, error))
        << error;
    EXPECT_EQ(o.run_dir, "/tmp/x");
    ASSERT_EQ(o.lines.size(), 2u);
    EXPECT_EQ(o.lines[0].name, "nano1");
    EXPECT_EQ(o.lines[0].kind, "nano");
    EXPECT_EQ(o.lines[1].name, "pico1");
    EXPECT_EQ(o.lines[1].kind, "pico");
    EXPECT_TRUE(o.pace);
    EXPECT_EQ(o.baud, 9600);
    EXPECT_EQ(o.seed, 42u);
    EXPECT_EQ(o.hangup_ms, 250);
    ASSERT_EQ(o.faults.size(), 2u);
    EXPECT_EQ(o.faults[0].kind, devsim::FaultKind::split);
    EXPECT_EQ(o.faults[1].line, "pico1");
    EXPECT_EQ(o.faults[1].mode.type, devsim::FaultMode::once);
}

TEST(DevsimCommandLine, Defaults)
{
    devsim::Options o;
    std::string error;
    ASSERT_TRUE(parse({"--run-dir", "d", "--line", "a=nano"}, o, error)) << error;
    EXPECT_FALSE(o.pace);
    EXPECT_EQ(o.baud, 115200);
    EXPECT_EQ(o.hangup_ms, 2000);
    EXPECT_EQ(o.seed, devsim::DEFAULT_SEED);
    EXPECT_TRUE(o.faults.empty());
}

TEST(DevsimCommandLine, RejectsBadCommandLines)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--line", "a=nano"},                                      // no run dir
        {"--run-dir", "d"},                                        // no line
        {"--run-dir", "d", "--line", "a=gyro9"},                   // unknown kind
        {"--run-dir", "d", "--line", "a"},                         // no kind
        {"--run-dir", "d", "--line", "a/b=nano"},                  // not a plain name
        {"--run-dir", "d", "--line", "devsim.ready=nano"},         // clashes with our files
        {"--run-dir", "d", "--line", "a=nano", "--line", "a=pico"},  // twice
        {"--run-dir", "d", "--line", "a=nano", "--fault", "b:checksum"},
        {"--run-dir", "d", "--line", "a=nano", "--fault", "a:nonsense"},
        {"--run-dir", "d", "--line", "a=nano", "--baud", "0"},
        {"--run-dir", "d", "--line", "a=nano", "--baud", "fast"},
        {"--run-dir", "d", "--line", "a=nano", "--hangup-ms", "-1"},
        {"--run-dir", "d", "--line", "a=nano", "--seed", "-3"},
        {"--run-dir", "d", "--line", "a=nano", "--pace=yes"},
        {"--run-dir", "d", "--line", "a=nano", "--baud"},
        {"--run-dir", "d", "--line", "a=nano", "--verbose"},
    };
    for (const auto& args : bad) {
        devsim::Options o;
        std::string error;
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_FALSE(parse(args, o, error)) << joined;
        EXPECT_FALSE(error.empty()) << joined;
    }
}
