// Wheel command and status frames, and the assembly of status frames from
// a byte stream.
#include "byte_order.h"
#include "flywheel/wheel_frames.h"
#include "flywheel_protocol.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> encode(double value)
{
    uint8_t out[4];
    cal_cmder_para(value, 1000.0, out);
    return std::vector<uint8_t>(out, out + 4);
}

struct Taken {
    std::vector<FlywheelFrameAssembler::Event> events;
    std::vector<std::vector<uint8_t>> frames;
};

Taken take_all(FlywheelFrameAssembler& a, FlywheelFrameAssembler::Clock::time_point now)
{
    Taken t;
    for (;;) {
        uint8_t frame[19];
        std::size_t detail = 0;
        auto e = a.next(frame, detail, now);
        if (e == FlywheelFrameAssembler::Event::none) break;
        t.events.push_back(e);
        if (e == FlywheelFrameAssembler::Event::frame) t.frames.emplace_back(frame, frame + 19);
    }
    return t;
}

using E = FlywheelFrameAssembler::Event;

}  // namespace

TEST(FlywheelValues, CommandEncodingFloorsIntoTwosComplement)
{
    const struct {
        float value;
        std::vector<uint8_t> bytes;
    } rows[] = {
        {200.0f, {0x00, 0x03, 0x0D, 0x40}},  {1.5f, {0x00, 0x00, 0x05, 0xDC}},
        {-1.5f, {0xFF, 0xFF, 0xFA, 0x24}},   {-1.2345f, {0xFF, 0xFF, 0xFB, 0x2D}},
        {1.2345f, {0x00, 0x00, 0x04, 0xD2}}, {-0.0005f, {0xFF, 0xFF, 0xFF, 0xFF}},
        {0.0f, {0x00, 0x00, 0x00, 0x00}},    {600.0f, {0x00, 0x09, 0x27, 0xC0}},
    };
    for (const auto& r : rows) EXPECT_EQ(encode(r.value), r.bytes) << r.value;
    // Values that fit no integer encode as zero rather than anything undefined.
    EXPECT_EQ(encode(std::nan("")), std::vector<uint8_t>(4, 0));
}

TEST(FlywheelValues, CommandFrameForTheConsolesFirstCommand)
{
    uint8_t frame[11];
    build_flywheel_command(0x58, 200.0f, 1.5f, 0x11, frame);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 11),
              std::vector<uint8_t>({0x58, 0x00, 0x03, 0x0D, 0x40, 0x00, 0x00, 0x05, 0xDC, 0x11, 0x9A}));
}

TEST(FlywheelValues, StatusDecoding)
{
    const uint8_t minus_one[4] = {0xFF, 0xFF, 0xFC, 0x18};
    const uint8_t big[4] = {0x00, 0x09, 0x27, 0xC0};
    EXPECT_EQ(cal_message_para(minus_one, 1000), -1.0f);
    EXPECT_EQ(cal_message_para(big, 1000), 600.0f);
    EXPECT_EQ(bytes_to_uint32(minus_one), 0xFFFFFC18u);
}

TEST(FlywheelValues, HardwareIdMapping)
{
    EXPECT_EQ(hardware_id_to_logical_id(0x22, 1), 2);
    EXPECT_EQ(hardware_id_to_logical_id(0x23, 1), 1);
    EXPECT_EQ(hardware_id_to_logical_id(0x11, 7), 1);
    EXPECT_EQ(hardware_id_to_logical_id(0x88, 7), 8);
    EXPECT_EQ(hardware_id_to_logical_id(0x99, 7), 7);
    EXPECT_EQ(hardware_id_to_logical_id(0x00, 3), 3);
}

TEST(FlywheelValues, StatusTexts)
{
    EXPECT_STREQ(flywheel_strerror(-3), "No response after sending command");
    EXPECT_STREQ(flywheel_strerror(-10), "Timeout");
    EXPECT_STREQ(flywheel_strerror(-20), "Invalid wheel ID");
    EXPECT_STREQ(flywheel_strerror(-1), "Serial not open or invalid");
    EXPECT_STREQ(flywheel_strerror(-21), "Unrecognized error");
}

TEST(FlywheelChecksum, HeaderAndHardwareIdAreNotSummed)
{
    auto f = status_frame(1000, 2000, 3000, 0x11);
    EXPECT_TRUE(flywheel_checksum_ok(f.data()));
    f[17] = 0x55;
    EXPECT_TRUE(flywheel_checksum_ok(f.data()));
    EXPECT_EQ(checksum_verify(f.data(), 19), 0);
    f[0] = 0x00;
    EXPECT_TRUE(flywheel_checksum_ok(f.data()));
    f[4] ^= 1;
    EXPECT_FALSE(flywheel_checksum_ok(f.data()));
    testing::internal::CaptureStderr();
    EXPECT_EQ(checksum_verify(f.data(), 19), -9);
    char expected[80];
    std::snprintf(expected, sizeof expected, "[ERROR] Checksum error: calculated=0x%x, received=0x%x\n",
                  unsigned(sum8(&f[1], 16)), unsigned(f[18]));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
    EXPECT_EQ(checksum_verify(f.data(), 1), -6);
    EXPECT_EQ(checksum_verify(nullptr, 19), -6);
}

// ---------------------------------------------------------------------------
// Frame assembly: every way a stream can arrive.

TEST(FlywheelAssembly, StreamCases)
{
    auto a1 = status_frame(200000, 1500, -300, 0x11);
    auto a2 = status_frame(-1000, 2, 3, 0x11);  // FF FF FC 18: 0xFF bytes inside the frame
    auto bad = status_frame(5, 5, 5, 0x11);
    bad[18] ^= 0x40;
    auto cat = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> out;
        for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    const std::vector<uint8_t> garbage = {0x01, 0x02, 0x03, 0xAB};
    const std::vector<uint8_t> tail_of_a2(a2.begin() + 3, a2.end());  // joined mid-frame

    const struct {
        const char* name;
        std::vector<std::vector<uint8_t>> reads;
        std::vector<E> events;
        std::vector<std::vector<uint8_t>> frames;
    } rows[] = {
        {"one frame", {a1}, {E::frame}, {a1}},
        {"split over two reads", {{a1.begin(), a1.begin() + 7}, {a1.begin() + 7, a1.end()}}, {E::frame}, {a1}},
        {"two frames in one read", {cat({a1, a2})}, {E::frame, E::frame}, {a1, a2}},
        {"one byte per read", {}, {E::frame}, {a2}},
        {"garbage before a frame", {cat({garbage, a1})}, {E::header, E::frame}, {a1}},
        {"joined in the middle of a frame", {cat({tail_of_a2, a1, a2})}, {E::header, E::frame, E::frame}, {a1, a2}},
        {"bad checksum, then good frames", {cat({bad, a1, a2})}, {E::checksum, E::frame, E::frame}, {a1, a2}},
        {"garbage between frames", {cat({a1, garbage, a2})}, {E::frame, E::header, E::frame}, {a1, a2}},
        {"one run of garbage over three reads", {garbage, garbage, cat({garbage, a1})},
         {E::header, E::skipped_more, E::skipped_more, E::frame}, {a1}},
        {"a frame ends a run; the next garbage is a new run", {garbage, cat({a1, garbage}), a2},
         {E::header, E::frame, E::header, E::frame}, {a1, a2}},
    };
    for (const auto& row : rows) {
        FlywheelFrameAssembler a;
        auto now = FlywheelFrameAssembler::Clock::now();
        Taken all;
        auto reads = row.reads;
        if (std::string(row.name) == "one byte per read") {
            for (uint8_t b : a2) reads.push_back({b});
        }
        for (const auto& r : reads) {
            a.feed(r.data(), r.size(), now);
            Taken t = take_all(a, now);
            all.events.insert(all.events.end(), t.events.begin(), t.events.end());
            all.frames.insert(all.frames.end(), t.frames.begin(), t.frames.end());
        }
        EXPECT_EQ(all.events, row.events) << row.name;
        EXPECT_EQ(all.frames, row.frames) << row.name;
        EXPECT_EQ(a.buffered(), 0u) << row.name;
    }
}

// What a line delivers, in reads on a virtual clock, and the faults counted.
TEST(FlywheelAssembly, EachFaultIsCountedOnce)
{
    auto good = status_frame(200000, 1500, -300, 0x11);
    auto spoiled = status_frame(-1000, 2, 3, 0x11);  // FF FF FC 18 inside
    spoiled[18] ^= 0x40;
    std::vector<uint8_t> noise(64);
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = uint8_t(0x30 + i % 7);
    using Reads = std::vector<std::pair<int, std::vector<uint8_t>>>;  // ms, bytes
    Reads noise_for_a_second;
    for (int ms = 0; ms < 1000; ms += 2) noise_for_a_second.push_back({ms, noise});
    noise_for_a_second.push_back({1000, good});
    const struct {
        const char* name;
        Reads reads;
        unsigned header, checksum, frames;
    } rows[] = {
        {"a spoiled frame with 0xFF inside, then a good one in the next read", {{0, spoiled}, {1, good}}, 0, 1, 1},
        {"the spoiled frame split where its inner 0xFF starts",
         {{0, {spoiled.begin(), spoiled.begin() + 1}}, {1, {spoiled.begin() + 1, spoiled.end()}}, {2, good}}, 0, 1, 1},
        {"noise only, for a second, read every 2 ms", noise_for_a_second, 10, 0, 1},
    };
    for (const auto& row : rows) {
        FlywheelFrameAssembler a(100ms);
        const auto t0 = FlywheelFrameAssembler::Clock::time_point{} + 1h;
        unsigned header = 0, checksum = 0, frames = 0;
        for (const auto& [ms, bytes] : row.reads) {
            const auto now = t0 + std::chrono::milliseconds(ms);
            a.feed(bytes.data(), bytes.size(), now);
            for (E e : take_all(a, now).events) {
                header += e == E::header;
                checksum += e == E::checksum;
                frames += e == E::frame;
            }
        }
        EXPECT_EQ(header, row.header) << row.name;
        EXPECT_EQ(checksum, row.checksum) << row.name;
        EXPECT_EQ(frames, row.frames) << row.name;
    }
}

TEST(FlywheelAssembly, GarbageAfterTheGiveUpTimeIsANewRun)
{
    const std::vector<uint8_t> garbage = {0x01, 0x02, 0x03};
    FlywheelFrameAssembler a(100ms);
    auto t0 = FlywheelFrameAssembler::Clock::now();
    a.feed(garbage.data(), garbage.size(), t0);
    EXPECT_EQ(take_all(a, t0).events, std::vector<E>({E::header}));
    a.feed(garbage.data(), garbage.size(), t0 + 50ms);
    EXPECT_EQ(take_all(a, t0 + 50ms).events, std::vector<E>({E::skipped_more}));
    a.feed(garbage.data(), garbage.size(), t0 + 300ms);
    EXPECT_EQ(take_all(a, t0 + 300ms).events, std::vector<E>({E::header})) << "a burst much later is counted again";
}

TEST(FlywheelAssembly, PartialFrameIsGivenUpOnlyAfterItsTime)
{
    auto f = status_frame(1, 2, 3, 0x22);
    FlywheelFrameAssembler a(100ms);
    auto t0 = FlywheelFrameAssembler::Clock::now();
    a.feed(f.data(), 10, t0);
    EXPECT_TRUE(take_all(a, t0 + 50ms).events.empty()) << "still waiting for the rest";
    uint8_t frame[19];
    std::size_t detail = 0;
    EXPECT_EQ(a.next(frame, detail, t0 + 150ms), E::incomplete);
    EXPECT_EQ(detail, 10u);
    EXPECT_EQ(a.buffered(), 0u);

    // A frame that completes in time is taken whole.
    a.feed(f.data(), 10, t0 + 200ms);
    a.feed(f.data() + 10, 9, t0 + 260ms);
    Taken t = take_all(a, t0 + 260ms);
    EXPECT_EQ(t.events, std::vector<E>({E::frame}));
}

TEST(FlywheelAssembly, AnAbandonedFrameIsGivenUpOnceWithTheHeadersInsideIt)
{
    // FF FF FF FC 18 00: the frame's own header, then 0xFF bytes of a speed
    // field, all of which look like frame starts.
    auto f = status_frame(-1000, 2, 3, 0x11);
    ASSERT_EQ(f[1], 0xFF);
    ASSERT_EQ(f[2], 0xFF);
    FlywheelFrameAssembler a(100ms);
    auto t0 = FlywheelFrameAssembler::Clock::now();
    a.feed(f.data(), 6, t0);
    std::vector<E> events;
    for (auto t = t0; t <= t0 + 500ms; t += 10ms) {
        Taken taken = take_all(a, t);
        events.insert(events.end(), taken.events.begin(), taken.events.end());
    }
    EXPECT_EQ(events, std::vector<E>({E::incomplete})) << "one abandoned frame, one count";
    EXPECT_EQ(a.buffered(), 0u);

    // The next frame after the abandoned one is taken, with no checksum
    // fault blamed on the leftovers.
    auto g = status_frame(1, 2, 3, 0x11);
    a.feed(f.data(), 6, t0 + 600ms);
    Taken later = take_all(a, t0 + 700ms);
    a.feed(g.data(), g.size(), t0 + 705ms);
    Taken rest = take_all(a, t0 + 705ms);
    later.events.insert(later.events.end(), rest.events.begin(), rest.events.end());
    EXPECT_EQ(later.events, std::vector<E>({E::incomplete, E::frame}));
    EXPECT_EQ(rest.frames, std::vector<std::vector<uint8_t>>({g}));
}

TEST(FlywheelAssembly, NewerBytesSurviveTheGiveUp)
{
    // The start of the next frame arrives just before the abandoned one's
    // time runs out: it is kept and completes.
    auto f = status_frame(-1000, 2, 3, 0x11);
    auto g = status_frame(7, 8, 9, 0x22);
    FlywheelFrameAssembler a(100ms);
    auto t0 = FlywheelFrameAssembler::Clock::now();
    a.feed(f.data(), 6, t0);
    a.feed(g.data(), 10, t0 + 95ms);
    EXPECT_TRUE(take_all(a, t0 + 95ms).events.empty());
    uint8_t frame[19];
    std::size_t detail = 0;
    EXPECT_EQ(a.next(frame, detail, t0 + 100ms), E::incomplete);
    EXPECT_EQ(detail, 6u) << "only the abandoned frame's bytes";
    EXPECT_EQ(a.buffered(), 10u);
    a.feed(g.data() + 10, 9, t0 + 102ms);
    Taken t = take_all(a, t0 + 102ms);
    EXPECT_EQ(t.events, std::vector<E>({E::frame}));
    EXPECT_EQ(t.frames, std::vector<std::vector<uint8_t>>({g}));
}
