// Fault campaign with real processes: devsim plays one device on a paced
// line, the real service drives it, and this test plays the console. It asks
// for telemetry one request at a time, so it knows which request every reply
// answers, and injects one line fault at a time through devsim's control
// FIFO. Each step states what the service's code does with that fault: which
// counts rise and by how much, whether the reply carries values or zeros, and
// how many answers the device is asked for. Values are checked against the
// simulator's own log of what it sent.
#include "faults/campaign.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace std::chrono_literals;
using namespace fault_campaign;

namespace {

// --- Gyro, MEMS, vision: one exchange per request -------------------------------
//
// timed_query: the request, then the whole answer within 50 ms, header and
// checksum checked. Every failure is one count and a reply of zeros with the
// counts as they stand; a good exchange clears the run of failures, and after
// ten failures in a row the next request resets (re-opens) the line first.

std::vector<Step> exchange_fault_steps(const Step& split)
{
    return {
        {"silence", {0, 0, 1, 0}, false, 0, 0, "nothing by the 50 ms deadline: one length error"},
        {nullptr, {}, true, 1, 1, "the next exchange is good"},
        {"header", {1, 0, 0, 0}, false, 1, 0, "first byte inverted: one header error"},
        {nullptr, {}, true, 1, 1, "good again"},
        {"checksum", {0, 1, 0, 0}, false, 1, 0, "last byte inverted: one checksum error"},
        {nullptr, {}, true, 1, 1, "good again"},
        {"short", {0, 0, 1, 0}, false, 1, 0, "half the answer by the deadline: one length error"},
        {nullptr, {}, true, 1, 1, "good again"},
        split,
        {nullptr, {}, true, 1, 1, "good again"},
        {"garbage", {1, 0, 0, 0}, false, 1, 0,
         "random bytes first: the answer read starts with one of them, not the header (seeded)"},
        {nullptr, {}, true, 1, 1, "the garbage's leftover was stale input, flushed before this request"},
        {"backtoback", {0, 0, 1, 0}, false, 1, 0, "the answer is held back: nothing by the deadline"},
        {nullptr, {}, true, 1, 2,
         "the held answer arrives first with this one behind it: the service takes the held (older) answer"},
        {nullptr, {}, true, 1, 1, "the newer answer was stale input, flushed before this request: good again"},
    };
}

// The device is unplugged and plugged in again: devsim hangs the line up
// instead of answering and brings it back later on a new pseudo-terminal.
// `hangup` is what the request that meets the hang-up shows. While the line
// is away every request is answered at once with zeros and nothing counted;
// a second after it is back (a try is then due) the next request opens it
// again, counts one reset and has values. The service says once that the
// line is gone, and its tries while the line is away are quiet.
void unplug_and_plug_in(Bench& b, Campaign& c, const Device& d, const Step& hangup)
{
    const int back = b.sim.count(d.line, "back");
    ASSERT_TRUE(c.run(hangup, "hangup")) << b.service.err();
    c.settle = false;
    for (int i = 1; b.sim.count(d.line, "back") == back; ++i) {
        ASSERT_LT(i, 60) << "the line never came back: " << b.sim.out();
        ASSERT_TRUE(c.run({nullptr, {}, false, 0, 0, "the line is away: zeros at once, nothing counted"},
                          "away " + std::to_string(i)));
        std::this_thread::sleep_for(200ms);
    }
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(c.run({nullptr, {0, 0, 0, 1}, true, 1, 1, "the line is back: opened again, values again"}, "back"))
        << b.service.err();
    EXPECT_EQ(ChildProcess::occurrences(b.service.err(), " line " + b.dir + "/" + d.line + " is gone (hung up)"), 1)
        << b.service.err();
    EXPECT_EQ(ChildProcess::occurrences(b.service.err(), "serial failed"), 0)
        << "the tries while the line is away are quiet; " << b.service.err();
}

// The service answered a first request, and on the campaign's private bus.
void warm_up_on_private_bus(Bench& b, const Device& d)
{
    ASSERT_TRUE(b.console.warm_up(d.service, d.request, d.expect, 30s)) << b.service.out() << b.service.err();
    b.expect_private_bus();
}

void write_optical_config(const std::string& dir)
{
    write_file(dir + "/Tavrin.json", "{\"optical\": {\"device\": \"" + dir + "/optical\", \"baudrate\": 115200}}");
}

void exchange_campaign(Bench& b, const Device& d, const std::vector<Step>& faults)
{
    CampaignConsole& console = b.console;
    ASSERT_NO_FATAL_FAILURE(warm_up_on_private_bus(b, d));
    Campaign c(b.sim, console, d);
    c.start();

    ASSERT_TRUE(c.run_all(healthy(5))) << b.service.err();
    ASSERT_TRUE(c.run_all(faults)) << b.service.err();

    // Unplugged for 5 s: the exchange that meets the hang-up counts one
    // length error (or, where the kernel ends the line differently,
    // nothing) and closes the line.
    ASSERT_NO_FATAL_FAILURE(unplug_and_plug_in(
        b, c, d, {"hangup", {0, 0, 1, 0}, false, 0, 0, "the line hangs up: the line is closed", Counts{}}));
    ASSERT_TRUE(c.run_all(healthy(2)));
    expect_no_strays(console);
}

}  // namespace

// Zentaro: 55 68, a 27-byte answer (2.6 ms on the paced line).
TEST(FaultCampaign, Gyro)
{
    const std::string dir = run_dir("gyro");
    Bench b(dir, devsim_args({"gyro=gyro"}, "5000"), ZENTARO_PATH, {dir + "/Zentaro.json"}, "", [](const std::string& dir) {
        write_file(dir + "/Zentaro.json", "{\"gyro\": {\"device\": \"" + dir + "/gyro\"}}");
    });
    ASSERT_TRUE(b.service.wait_for_output("[OK] GYRO UART init", 20s)) << b.service.err();
    exchange_campaign(b, gyro_device(),
                      exchange_fault_steps({"split", {}, true, 1, 1,
                                            "27 bytes in pieces 2-5 ms apart arrive well within 50 ms"}));
    expect_clean_exit(b.service);
}

// Quimbrel: the gyro's exchange (rate_exchange) with a 44-byte answer
// (4.2 ms).
TEST(FaultCampaign, Mems)
{
    const std::string dir = run_dir("mems");
    Bench b(dir, devsim_args({"mems=mems"}, "5000"), QUIMBREL_PATH, {}, dir, [](const std::string& dir) {
        write_file(dir + "/Quimbrel.json", "{\"mems_sensor\": {\"device\": \"" + dir + "/mems\"}}");
    });
    ASSERT_TRUE(b.service.wait_for_output("[OK] MEMS initialized successfully", 20s)) << b.service.err();
    exchange_campaign(b, mems_device(),
                      exchange_fault_steps({"split", {}, true, 1, 1,
                                            "44 bytes in pieces 2-5 ms apart arrive well within 50 ms"}));
    expect_clean_exit(b.service);
}

// Pellwyn: the health query, a 170-byte answer (16.2 ms) within 50 ms; only
// stale input is flushed before the query.
TEST(FaultCampaign, Vision)
{
    const std::string dir = run_dir("vision");
    Bench b(dir, devsim_args({"vision=vision"}, "5000"), PELLWYN_PATH, {}, dir, [](const std::string& dir) {
        write_file(dir + "/Pellwyn.json",
                   "{\"vision\": {\"device\": \"" + dir + "/vision\", \"baudrate\": 115200}}");
    });
    ASSERT_TRUE(b.service.wait_for_output("[OK] Vision serial initialized successfully", 20s)) << b.service.err();
    exchange_campaign(b, vision_device(),
                      exchange_fault_steps({"split", {0, 0, 1, 0}, false, 1, 0,
                                            "170 bytes in pieces of 1-12 bytes, 2-5 ms apart, take longer than "
                                            "the 50 ms deadline (seeded): one length error"}));
    expect_clean_exit(b.service);
}

// --- Optical: up to ten attempts per request --------------------------------------
//
// Tavrin: each attempt flushes input, sends CD 90 06 00 FF and reads the
// 228-byte answer (21.8 ms) until it is whole or the line is silent for
// 1 s. A short answer is one length error, a bad header or checksum one
// count, nothing at all no count; each is retried within the same request.
// The failure score: +1 for every request sent, +1 for a silent, header or
// checksum attempt (not a short one), -1 for a good answer, so a good first
// attempt leaves it as it is; above 9 at a send, the line is reset first.
TEST(FaultCampaign, Optical)
{
    const std::string dir = run_dir("optical");
    Bench b(dir, devsim_args({"optical=optical"}), TAVRIN_PATH, {dir + "/Tavrin.json"}, "", write_optical_config);
    ASSERT_TRUE(b.service.wait_for_output("[OK] FastDDS initialized for Optical service", 20s)) << b.service.err();
    const Device d = optical_device();
    CampaignConsole& console = b.console;
    ASSERT_NO_FATAL_FAILURE(warm_up_on_private_bus(b, d));
    Campaign c(b.sim, console, d);
    c.start();

    ASSERT_TRUE(c.run_all(healthy(5))) << b.service.err();
    // The score after each step in brackets.
    const std::vector<Step> faults = {
        {"silence", {}, true, 1, 1, "attempt 1 silent for 1 s: not counted; attempt 2 good [2]"},
        {"header", {1, 0, 0, 0}, true, 2, 1, "attempt 1 bad header: one header error; attempt 2 good [4]"},
        {"checksum", {0, 1, 0, 0}, true, 2, 1, "attempt 1 bad checksum: one checksum error; attempt 2 good [6]"},
        {"short", {0, 0, 1, 0}, true, 2, 1, "attempt 1 gets 114 of 228 bytes: one length error; attempt 2 good [7]"},
        {"split", {}, true, 1, 1, "pieces 2-5 ms apart, well within a 50 ms wait: assembled whole [7]"},
        {"backtoback", {0, 0, 0, 1}, true, 2, 2,
         "attempt 1's answer held back, silent [9]; score 10 at attempt 2's send: the line is reset first [0]; "
         "attempt 2 takes the held (older) answer [0]"},
        {nullptr, {}, true, 1, 1, "the newer answer was stale input, flushed before this request [0]"},
        {"garbage", {1, 0, 0, 0}, true, 2, 1,
         "attempt 1 reads the random bytes and the answer's first 220-227: one header error [2]; the rest of "
         "that answer is flushed before attempt 2, which is good [2]"},
        {nullptr, {}, true, 1, 1, "healthy"},
    };
    ASSERT_TRUE(c.run_all(faults)) << b.service.err();
    expect_no_strays(console);
    expect_clean_exit(b.service);
}

// A hang-up on a fresh service (score 0): every attempt after it fails at
// once (the line ends, then writes are refused, +2 each), so the score
// passes 9 at attempt 6's send (reset, score 0) and the request ends with
// another reset: two re-opens within a few milliseconds, both while the line
// is away. Unlike the one-exchange services, no wait between attempts gives
// the device time to come back. The line is then closed for good: every
// request is answered at once with zeros and the counts as they stood, also
// once the device is back.
TEST(FaultCampaign, OpticalHangUp)
{
    const std::string dir = run_dir("optical_hangup");
    Bench b(dir, devsim_args({"optical=optical"}), TAVRIN_PATH, {dir + "/Tavrin.json"}, "", write_optical_config);
    ASSERT_TRUE(b.service.wait_for_output("[OK] FastDDS initialized for Optical service", 20s)) << b.service.err();
    const Device d = optical_device();
    CampaignConsole& console = b.console;
    ASSERT_NO_FATAL_FAILURE(warm_up_on_private_bus(b, d));
    Campaign c(b.sim, console, d);
    c.start();
    ASSERT_TRUE(c.run_all(healthy(2)));
    // Unplugged for 4 s: the attempt that meets the hang-up ends the
    // request (no more attempts, no resets on a line that is not there).
    ASSERT_NO_FATAL_FAILURE(
        unplug_and_plug_in(b, c, d, {"hangup", {}, false, 0, 0, "the line hangs up: closed, nothing counted"}));
    expect_no_strays(console);
    expect_clean_exit(b.service);
}

// --- Star sensor: up to ten attempts per request ----------------------------------
//
// Brenvik: each attempt flushes the line, sends 74 A1 00 00 15 and reads the
// 64-byte answer within 1 s. A short or missing answer is one length error,
// a bad header or checksum one count, each retried within the request; after
// ten failed attempts the line is reset (re-opened) and the reply is zeros.
// The counts travel in the 41-byte record, which a failed request sends as
// zeros after type and number: its counts show only in the next good reply.

namespace {

std::vector<Step> star_fault_steps()
{
    return {
        {"silence", {0, 0, 1, 0}, true, 1, 1, "attempt 1 gets nothing in 1 s: one length error; attempt 2 good"},
        {"header", {1, 0, 0, 0}, true, 2, 1, "attempt 1 bad header: one header error; attempt 2 good"},
        {"checksum", {0, 1, 0, 0}, true, 2, 1, "attempt 1 bad checksum: one checksum error; attempt 2 good"},
        {"short", {0, 0, 1, 0}, true, 2, 1, "attempt 1 gets 32 of 64 bytes in 1 s: one length error; attempt 2 good"},
        {"split", {}, true, 1, 1, "pieces 2-5 ms apart within the 1 s read: assembled whole"},
        {"backtoback", {0, 0, 1, 0}, true, 2, 2,
         "attempt 1's answer held back: nothing in 1 s, one length error; attempt 2 takes the held (older) answer"},
        {nullptr, {}, true, 1, 1, "the newer answer was stale input, flushed before this request: good again"},
        {"garbage", {1, 0, 0, 0}, true, 2, 1,
         "attempt 1 reads the random bytes and the answer's first 56-63: one header error; the rest of that "
         "answer is flushed before attempt 2, which is good"},
        {nullptr, {}, true, 1, 1, "healthy"},
    };
}

void write_star_config(const std::string& dir, bool reopen = true)
{
    write_file(dir + "/Brenvik.json", "{\"star_sensors\": [{\"type\": \"nano\", \"star_num\": 1, \"device\": \"" +
                                          dir + "/nano1\", \"baudrate\": 115200, \"reopen\": " +
                                          (reopen ? "true" : "false") + "}]}");
}

}  // namespace

TEST(FaultCampaign, StarSensor)
{
    const std::string dir = run_dir("star");
    Bench b(dir, devsim_args({"nano1=nano"}), BRENVIK_PATH, {}, dir,
            [](const std::string& dir) { write_star_config(dir); });
    ASSERT_TRUE(b.service.wait_for_output("[OK] Star sensor 1 initialized successfully\n", 20s)) << b.service.err();
    const Device d = star_device();
    CampaignConsole& console = b.console;
    ASSERT_NO_FATAL_FAILURE(warm_up_on_private_bus(b, d));
    Campaign c(b.sim, console, d);
    c.start();
    ASSERT_TRUE(c.run_all(healthy(5))) << b.service.err();
    ASSERT_TRUE(c.run_all(star_fault_steps())) << b.service.err();

    // Unplugged for 4 s: the attempt that meets the hang-up ends the query
    // (no more attempts, no reset on a line that is not there).
    ASSERT_NO_FATAL_FAILURE(
        unplug_and_plug_in(b, c, d, {"hangup", {}, false, 0, 0, "the line hangs up: closed, nothing counted"}));
    ASSERT_TRUE(c.run_all(healthy(2)));
    EXPECT_NE(b.service.err().find("[ERROR] Serial not open for NANO STAR1\n"), std::string::npos);
    expect_no_strays(console);
    expect_clean_exit(b.service);
}

// With "reopen": false the service keeps its hung-up line: a hang-up with
// the line back within the request's first attempt is seen as a line that
// ends, the reset after the tenth attempt re-opens it, and the next reply
// shows the request's length error and the reset.
TEST(FaultCampaign, StarSensorLineBackBeforeTheResetWithReopenOff)
{
    const std::string dir = run_dir("star_back");
    Bench b(dir, devsim_args({"nano1=nano"}, "300"), BRENVIK_PATH, {}, dir,
            [](const std::string& dir) { write_star_config(dir, false); });
    ASSERT_TRUE(b.service.wait_for_output("[OK] Star sensor 1 initialized successfully\n", 20s)) << b.service.err();
    const Device d = star_device();
    CampaignConsole& console = b.console;
    ASSERT_TRUE(console.warm_up(d.service, d.request, d.expect, 30s)) << b.service.out() << b.service.err();
    Campaign c(b.sim, console, d);
    c.start();
    ASSERT_TRUE(c.run_all(healthy(2)));
    const int back = b.sim.count(d.line, "back");
    ASSERT_TRUE(c.run({"hangup", {0, 0, 1, 1}, false, 0, 0,
                       "attempt 1: the line ends, nothing in 1 s; attempts 2-10 cannot write; the reset re-opens "
                       "the line, which is back"},
                      "hangup"));
    ASSERT_EQ(b.sim.count(d.line, "back"), back + 1) << "the line came back during the request";
    ASSERT_TRUE(c.run_all(healthy(3))) << "the reset's re-open serves the next requests";
    expect_no_strays(console);
    expect_clean_exit(b.service);
}

// --- Reaction wheels: status frames streamed, requests answered from the last ---
//
// Skardel reads every wheel line each 10 ms into a frame assembler and keeps
// the last good frame and the counts as they stood at that frame; a request
// is answered from those. The assembler counts once per run of bytes that
// cannot start a frame (header), once per 19-byte candidate starting 0xFF
// whose checksum fails (checksum) and once per partial frame at the front
// given up after 100 ms (length). devsim streams at 4 frames a second here,
// so a frame given up after 100 ms is always given up before the next one
// arrives (at the bench's 10 a second the next frame lands right at the
// 100 ms mark, and which count a partial frame gets is a race).
//
// Bus wheel 1 (line wheel0) stays idle, so every frame is FF, sixteen zero
// bytes, the id 0x11 and the checksum 00: no 0xFF inside a frame to
// resynchronise on, so each fault's counts follow from the assembler alone.
// Bus wheel 2 (line wheel1) spins up towards 200 rpm and shows fresh values,
// which make a dead line visible.

namespace {

const Bytes IDLE_FRAME = {0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x00};

Bytes le_floats(uint8_t wheel, uint8_t mode, float a, float b)
{
    Bytes p = {wheel, mode, 0, 0, 0, 0, 0, 0, 0, 0};
    std::memcpy(&p[2], &a, 4);
    std::memcpy(&p[6], &b, 4);
    return p;
}

struct WheelReply {
    CampaignConsole::Reply r;
    Counts counts;
    std::string text;
};

}  // namespace

TEST(FaultCampaign, ReactionWheel)
{
    const std::string dir = run_dir("wheel");
    std::vector<std::string> args = devsim_args({"wheel0=wheel:0x11", "wheel1=wheel:0x22"});
    args.insert(args.end(), {"--wheel-hz", "4"});
    Bench b(dir, args, SKARDEL_PATH, {dir + "/Skardel.json"}, "", [](const std::string& dir) {
        write_file(dir + "/Skardel.json", "{\"flywheels\": [{\"id\": 0, \"device\": \"" + dir +
                                              "/wheel0\"}, {\"id\": 1, \"device\": \"" + dir + "/wheel1\"}]}");
    });
    ASSERT_TRUE(b.service.wait_for_output("[OK] Flywheel 1 initialized successfully", 20s)) << b.service.err();
    const std::string service = "Flywheel_Hardware_Service";
    CampaignConsole& console = b.console;
    ASSERT_TRUE(console.warm_up(service, {0x01, 0xFF}, {}, 30s)) << b.service.out() << b.service.err();
    b.expect_private_bus();

    // Wheel 2 spins up as after the console's bootstrap command.
    ASSERT_TRUE(console.command(service, le_floats(0x02, 0x00, 200.0f, 1.5f)));
    ASSERT_TRUE(b.sim.wait_count("wheel1", "command speed target=200 limit=1.5", 1, 20s)) << b.sim.out();

    auto frames_taken = [&](int wheel) {
        return ChildProcess::occurrences(b.service.out(), "[DATA] Flywheel " + std::to_string(wheel) + " received");
    };
    auto ask = [&](uint8_t wheel) {
        WheelReply w;
        w.r = console.ask(service, {wheel, 0xFF}, {}, REPLY_TIMEOUT);
        EXPECT_TRUE(w.r.complete) << "wheel " << int(wheel);
        if (!w.r.complete) return w;
        EXPECT_EQ(w.r.gnc_type, "telemetry");
        EXPECT_EQ(w.r.gnc.size(), fr::WHEEL_RECORD_LEN);
        EXPECT_EQ(w.r.line.size(), fr::WHEEL_STATS_LEN);
        EXPECT_EQ(w.r.raw.size(), fr::WHEEL_FRAME_LEN);
        if (w.r.gnc.size() != fr::WHEEL_RECORD_LEN || w.r.line.size() != fr::WHEEL_STATS_LEN) return w;
        EXPECT_EQ(int(w.r.gnc[0]), wheel);
        EXPECT_EQ(int(w.r.line[0]), wheel + 4) << "line ids 5.. for the wheels";
        w.counts = fr::wheel_counts(w.r.line);
        w.text = fr::wheel_text(w.r.gnc);
        return w;
    };
    // Wheel 2's values are a status frame the simulator sent, the same or a
    // later one than the previous reply's (newer still where frames were
    // taken in between).
    int spin_at = -1;
    auto check_spinning = [&](const WheelReply& w, bool newer, const std::string& why) {
        SCOPED_TRACE(why);
        EXPECT_EQ(w.counts, Counts{}) << "faults on wheel 1's line stay there";
        std::vector<std::string> status = b.sim.lines("wheel1", "status");
        int at = -1;
        for (int i = int(status.size()) - 1; i >= 0 && at < 0; --i)
            if (status[std::size_t(i)] == w.text) at = i;
        EXPECT_GE(at, 0) << w.text << " is no status the simulator sent";
        if (newer) {
            EXPECT_GT(at, spin_at) << w.text << " is not newer than the last reply's frame";
        } else {
            EXPECT_GE(at, spin_at) << w.text << " is older than the last reply's frame";
        }
        spin_at = std::max(spin_at, at);
    };

    // A healthy line: every request answered, values as sent, clean counts.
    for (int i = 0; i < 5; ++i) {
        WheelReply w1 = ask(1);
        EXPECT_EQ(w1.counts, Counts{});
        EXPECT_EQ(w1.text, "speed=0 current=0 torque=0");
        EXPECT_EQ(w1.r.raw, IDLE_FRAME) << "the last good frame";
        check_spinning(ask(2), false, "healthy");
    }
    EXPECT_GE(b.sim.count("wheel0", "status speed=0 current=0 torque=0"), 1);
    ASSERT_TRUE(wait_until([&] { return frames_taken(2) >= 3 && b.sim.lines("wheel1", "status").back() !=
                                                                     "speed=0 current=0 torque=0"; },
                           20s));

    struct WheelStep {
        const char* fault;
        Counts delta;
        const char* why;
    };
    const std::vector<WheelStep> steps = {
        {"silence", {}, "a frame not sent is not counted; the reply keeps the last good frame"},
        {"checksum", {0, 1, 0, 0},
         "the 19 bytes start 0xFF but fail the checksum: +1 checksum; the inverted checksum byte is 0xFF, "
         "a possible frame start given up 100 ms later, and part of the frame already counted: nothing more"},
        {"short", {0, 0, 1, 0}, "FF and 8 zero bytes, given up after 100 ms, 150 ms before the next frame"},
        {"split", {}, "pieces 2-5 ms apart are assembled across reads"},
        {"garbage", {1, 0, 0, 0},
         "one run of random bytes (seeded, none 0xFF) skipped up to the frame's 0xFF: one header count"},
        {"backtoback", {}, "the held frame and the next one arrive in one piece: both taken"},
    };
    Counts expected{};
    for (const WheelStep& s : steps) {
        SCOPED_TRACE(std::string("wheel step ") + s.fault);
        const int taken = frames_taken(1);
        const int hit = b.sim.count("wheel0", "fault");
        ASSERT_TRUE(b.sim.fault("wheel0", s.fault));
        ASSERT_TRUE(b.sim.wait_count("wheel0", "fault", hit + 1, 20s));
        // Good frames after the spoiled one: the counts stand as of a frame
        // taken after the fault had its full effect.
        ASSERT_TRUE(wait_until([&] { return frames_taken(1) >= taken + 3; }, 30s)) << b.service.err();
        WheelReply w1 = ask(1);
        expected = expected + s.delta;
        EXPECT_EQ(w1.counts, expected) << s.why;
        expected = w1.counts;
        EXPECT_EQ(w1.text, "speed=0 current=0 torque=0");
        EXPECT_EQ(w1.r.raw, IDLE_FRAME) << "the last good frame";
        check_spinning(ask(2), true, s.fault);
    }

    // Inverted headers on a run of frames: each spoiled frame is 19 bytes
    // without a 0xFF, one run skipped whole up to the next frame 250 ms
    // later: one header count per frame, however the run falls on the
    // service's reads.
    {
        SCOPED_TRACE("wheel step header, every frame for a while");
        const int before = b.sim.count("wheel0", "fault header");
        ASSERT_TRUE(b.sim.fault("wheel0", "header", "rate=1"));
        ASSERT_TRUE(b.sim.wait_count("wheel0", "fault header", before + 16, 30s));
        ASSERT_TRUE(b.sim.fault("wheel0", "header", "off"));
        const int spoiled = b.sim.count("wheel0", "fault header") - before;
        const int taken = frames_taken(1);
        ASSERT_TRUE(wait_until([&] { return frames_taken(1) >= taken + 2; }, 30s)) << b.service.err();
        EXPECT_EQ(b.sim.count("wheel0", "fault header") - before, spoiled) << "no header fault after 'off'";
        WheelReply w1 = ask(1);
        expected = expected + Counts{spoiled, 0, 0, 0};
        EXPECT_EQ(w1.counts, expected) << spoiled << " frames with an inverted header, one header count each";
        expected = w1.counts;
        EXPECT_EQ(w1.r.raw, IDLE_FRAME);
    }

    // Wheel 2's adapter is unplugged and plugged in again (devsim hangs the
    // line up and brings it back 4 s later on a new pseudo-terminal). The
    // service closes the line; while it is away wheel 2 reads as zeros (a
    // dead wheel does not go on showing its last speed) with its counts as
    // they stood; about a second after the line is back it is opened again,
    // one reset is counted and the values are frames the device sent after
    // its return. A new speed just before makes the values move.
    {
        SCOPED_TRACE("wheel step hangup (wheel 2)");
        ASSERT_TRUE(console.command(service, le_floats(0x02, 0x00, 400.0f, 1.5f)));
        ASSERT_TRUE(b.sim.wait_count("wheel1", "command speed target=400 limit=1.5", 1, 20s)) << b.sim.out();
        check_spinning(ask(2), true, "before the hang-up");
        const int back = b.sim.count("wheel1", "back");
        ASSERT_TRUE(b.sim.fault("wheel1", "hangup"));
        ASSERT_TRUE(b.sim.wait_count("wheel1", "hangup", 1, 20s));
        ASSERT_TRUE(wait_until([&] { return b.service.err().find("[WARN] flywheel 1 line " + dir +
                                                                  "/wheel1 is gone (hung up)") != std::string::npos; },
                               10s))
            << b.service.err();
        if (b.sim.count("wheel1", "back") == back) {
            const WheelReply away = ask(2);
            EXPECT_EQ(away.text, "speed=0 current=0 torque=0") << "the line is away";
            EXPECT_EQ(away.counts, Counts{});
        }
        ASSERT_TRUE(b.sim.wait_count("wheel1", "back", back + 1, 30s));
        const int sent_at_back = b.sim.count("wheel1", "status");
        ASSERT_TRUE(wait_until([&] { return b.service.out().find("[OK] flywheel 1 line " + dir + "/wheel1 is back") !=
                                            std::string::npos; },
                               10s))
            << b.service.out() << b.service.err();
        ASSERT_TRUE(b.sim.wait_count("wheel1", "status", sent_at_back + 3, 30s)) << "the device sends again";
        const WheelReply again = ask(2);
        EXPECT_EQ(again.counts, (Counts{0, 0, 0, 1})) << "one reset: the line was opened again";
        const std::vector<std::string> sent = b.sim.lines("wheel1", "status");
        EXPECT_NE(std::find(sent.begin() + sent_at_back, sent.end(), again.text), sent.end())
            << again.text << ": a frame sent after the line came back";
        // Wheel 1 is unaffected.
        WheelReply w1 = ask(1);
        EXPECT_EQ(w1.counts, expected);
        EXPECT_EQ(w1.r.raw, IDLE_FRAME);
    }
    expect_no_strays(console);
    expect_clean_exit(b.service);
}
