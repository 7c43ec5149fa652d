// The laser-ranging unit: its answer read back with the tests' own decoder,
// command framing on its line, its counters and its log.
#include "optical_vision_check.h"
#include "unit_harness.h"

#include "optical_codec.h"
#include "optical_framing.h"
#include "optical_unit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

namespace oc = optical_check;
using devsim::Bytes;
using Harness = UnitHarness<devsim::OpticalUnit>;

namespace {

// The one answer to a telemetry request, decoded by the tests.
oc::Values ask(Harness& h, double t = 0.0)
{
    const auto answers = h.send(oc::TELEMETRY_REQUEST, t);
    EXPECT_EQ(answers.size(), 1u);
    if (answers.size() != 1) return {};
    EXPECT_TRUE(oc::answer_ok(answers[0].bytes));
    EXPECT_EQ(answers[0].summary, "answer " + oc::answer_text(oc::decode(answers[0].bytes)));
    return oc::decode(answers[0].bytes);
}

}  // namespace

TEST(OpticalAnswer, LayoutOfKnownValues)
{
    const Bytes b = devsim::encode_optical_answer({1500.0f, 50.25f, -3600, 1234, 7, 9, 1000, 5});
    ASSERT_EQ(b.size(), 228u);
    EXPECT_TRUE(oc::answer_ok(b));
    EXPECT_NE(b[227], oc::sum(b, 0, 226));  // the sync is not summed
    EXPECT_EQ(slice(b, 3, 12), (Bytes{0x44, 0xBB, 0x80, 0x00, 0x42, 0x49, 0x00, 0x00, 0xF1, 0xF0, 0x04, 0xD2}));
    EXPECT_EQ(slice(b, 21, 2), (Bytes{7, 9}));
    EXPECT_EQ(slice(b, 57, 6), (Bytes{0x00, 0x00, 0x03, 0xE8, 0x00, 0x05}));
    EXPECT_EQ(devsim::optical_telemetry_text(devsim::decode_optical_answer(b)),
              "far=1500 near=50.25 azimuth=-3600 pitch=1234 cmds=7 tlm=9 time=1000.005");
}

TEST(OpticalAnswer, WhatTheUnitMeansIsWhatAServiceDecodes)
{
    for (const auto& [index, t] : std::vector<std::pair<unsigned, double>>{
             {0, 0.0}, {0, 12.3456}, {1, 12.3456}, {2, 99.9996}, {7, 3999.25}, {0, 86400.75}}) {
        SCOPED_TRACE("index " + std::to_string(index) + " t " + std::to_string(t));
        Harness h(index);
        const oc::Values v = ask(h, t);
        const devsim::OpticalTelemetry meant = devsim::optical_telemetry_at(index, t, 0, 1);
        EXPECT_EQ(v.far, meant.far_m);
        EXPECT_EQ(v.near, meant.near_m);
        EXPECT_EQ(v.azimuth, meant.azimuth_arcsec);
        EXPECT_EQ(v.pitch, meant.pitch_arcsec);
        EXPECT_EQ(v.cmds, 0u);
        EXPECT_EQ(v.tlm, 1u);
        // The ranging time is t to the nearest millisecond.
        EXPECT_LT(v.ms, 1000u);
        EXPECT_EQ(v.sec * 1000.0 + v.ms, std::round(t * 1000.0));
    }
}

TEST(OpticalScene, PlausibleMovingAndPhasedPerLine)
{
    const auto at = [](unsigned index, double t) { return devsim::optical_telemetry_at(index, t, 0, 0); };
    EXPECT_FLOAT_EQ(at(0, 0.0).far_m, 1500.0f);
    for (double t = 0.0; t < 600.0; t += 60.0) {
        EXPECT_LT(at(0, t + 10.0).far_m, at(0, t).far_m) << t;  // closing, slowly
        EXPECT_GT(at(0, t + 10.0).far_m, at(0, t).far_m - 10.0f) << t;
    }
    std::set<bool> azimuth_positive;
    for (double t = 0.0; t < 20000.0; t += 7.3) {
        const auto m = at(3, t);
        EXPECT_TRUE(m.far_m >= 500.0f && m.far_m <= 1500.0f) << t;
        EXPECT_NEAR(m.near_m, 50.0f, 2.0f) << t;
        EXPECT_LE(std::abs(m.azimuth_arcsec), 3600) << t;
        EXPECT_LE(std::abs(m.pitch_arcsec), 3600) << t;
        azimuth_positive.insert(m.azimuth_arcsec > 0);
    }
    EXPECT_EQ(azimuth_positive.size(), 2u);
    EXPECT_NE(at(0, 30.0).azimuth_arcsec, at(1, 30.0).azimuth_arcsec);
    EXPECT_NE(at(0, 30.0).near_m, at(1, 30.0).near_m);
    EXPECT_NE(at(0, 30.0).far_m, at(1, 30.0).far_m);
}

TEST(OpticalCommandFraming, FramesInAnyPiecesAfterAnyNoise)
{
    struct Case {
        const char* name;
        Bytes stream;
        std::vector<std::pair<Bytes, bool>> frames;  // bytes, checksum holds
        std::size_t skipped;
    };
    const Bytes req = oc::TELEMETRY_REQUEST, p2 = oc::param(2, 0x12345678), tm = oc::time(1000, 250);
    Bytes bad_p2 = p2;
    bad_p2.back() ^= 0x01;
    const Bytes swallowing = join({{0xEB, 0x90, 0x05}, tm});
    const Bytes false_start = {0xEB, 0x90, 0x05, 0x11, 0x22, 0x33, 0xEB, 0x90};

    const std::vector<Case> cases = {
        {"time", tm, {{tm, true}}, 0},
        {"parameter 11", oc::param(11, 0xFFFFFFFF), {{oc::param(11, 0xFFFFFFFF), true}}, 0},
        {"two frames in one write", join({p2, req}), {{p2, true}, {req, true}}, 0},
        {"garbage first", join({{0x00, 0xFF, 0x90, 0xCD}, req}), {{req, true}}, 4},
        {"garbage between", join({tm, {0x12, 0x34, 0x56}, req}), {{tm, true}, {req, true}}, 3},
        {"bad checksum, then a good frame", join({bad_p2, tm}), {{bad_p2, false}, {tm, true}}, 0},
        {"stray sync before a request", join({{0xEB, 0x90}, req}), {{req, true}}, 2},
        {"stray sync swallowing a frame's start", swallowing, {{slice(swallowing, 0, 8), false}, {tm, true}}, 0},
        // Its last two bytes are looked at again and turned down by the 0C:
        // only the 0C was not shown before.
        {"bad frame ending in a false start", join({false_start, {0x0C}, req}), {{false_start, false}, {req, true}}, 1},
        {"direct frame without its trailer", join({{0xCD, 0x90, 0x01, 0x00, 0x00}, req}), {{req, true}}, 5},
        {"unknown pair is still a frame", oc::direct(0x0A, 0x0B), {{oc::direct(0x0A, 0x0B), true}}, 0},
        {"parameter 0 starts nothing", join({{0xEB, 0x90, 0x00}, req}), {{req, true}}, 3},
        {"parameter 12 starts nothing", join({{0xEB, 0x90, 0x0C}, tm}), {{tm, true}}, 3},
        {"sync bytes inside a frame are data", oc::param(3, 0xCD90EB90), {{oc::param(3, 0xCD90EB90), true}}, 0},
    };
    for (const Case& c : cases) {
        for (std::size_t chunk : {std::size_t(1), std::size_t(2), std::size_t(5), c.stream.size()}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(chunk));
            devsim::OpticalCommandFramer framer;
            const Framed got = frame_all(framer, c.stream, chunk);
            ASSERT_EQ(got.frames.size(), c.frames.size());
            for (std::size_t i = 0; i < got.frames.size(); ++i) {
                EXPECT_EQ(got.frames[i].bytes, c.frames[i].first) << i;
                EXPECT_EQ(got.frames[i].check_ok, c.frames[i].second) << i;
            }
            EXPECT_EQ(got.skipped, c.skipped);
            EXPECT_EQ(framer.pending(), 0u);
        }
    }
}

TEST(OpticalCommandFraming, TheTwentyFiveDirectPairsAndNoOthers)
{
    std::set<std::pair<int, int>> known;
    for (int g = 1; g <= 4; ++g)
        for (int a : {0x00, 0x01, 0x10, 0x11}) known.insert({g, a});
    for (int g : {5, 7, 8, 9})
        for (int a : {0x00, 0x01}) known.insert({g, a});
    known.insert({6, 0x00});
    ASSERT_EQ(known.size(), 25u);
    for (int g = 0; g < 256; ++g)
        for (int a = 0; a < 256; ++a)
            ASSERT_EQ(devsim::optical_direct_known(uint8_t(g), uint8_t(a)), known.count({g, a}) == 1) << g << " " << a;
}

TEST(OpticalUnitLog, CommandsDropsAndSkipsInOrder)
{
    Harness h;
    EXPECT_EQ(h.unit.kind(), "optical");
    EXPECT_EQ(h.unit.bits_per_byte(), 11);
    Bytes bad_p2 = oc::param(2, 0x12345678);
    bad_p2.back() = 0x00;
    const auto answers = h.send(join({oc::direct(0x01, 0x00), {0x01, 0x02, 0x03}, oc::param(2, 0x12345678),
                                      oc::time(1000, 250), bad_p2, oc::direct(0x0A, 0x0B), oc::TELEMETRY_REQUEST,
                                      {0x77}}),
                                5.5);
    ASSERT_EQ(answers.size(), 1u);
    const oc::Values v = oc::decode(answers[0].bytes);
    EXPECT_EQ(v.cmds, 3u);
    EXPECT_EQ(h.log, (std::vector<std::string>{
                         "command direct 01 00",
                         "skipped 3 byte(s) before a command",
                         "command param 2 value=0x12345678",
                         "command time sec=1000 ms=250",
                         "bad frame dropped (checksum 00, expected 91): EB 90 02 12 34 56 78 00",
                         "unknown direct command dropped: CD 90 0A 0B FF",
                         "<answer " + oc::answer_text(v) + ">",
                         "skipped 1 byte(s) before a command",
                     }));

    // A hang-up forgets half a request: its rest is then noise.
    h.log.clear();
    h.send(slice(oc::TELEMETRY_REQUEST, 0, 3));
    h.unit.reset_input();
    EXPECT_TRUE(h.send(slice(oc::TELEMETRY_REQUEST, 3, 2)).empty());
    EXPECT_EQ(h.log, std::vector<std::string>{"skipped 2 byte(s) before a command"});
}

TEST(OpticalUnitCounters, CommandsAndAnswersCountedModulo256)
{
    Harness h;
    EXPECT_EQ(ask(h).cmds, 0u);
    // Direct, parameter and time commands count; the request itself, bad
    // frames and unknown pairs do not.
    Bytes bad = oc::time(1, 2);
    bad.back() ^= 0xFF;
    h.send(join({oc::direct(0x09, 0x01), oc::param(1, 7), oc::time(1, 2), bad, oc::direct(0x06, 0x01),
                 oc::direct(0x0A, 0x00)}));
    oc::Values v = ask(h);
    EXPECT_EQ(v.cmds, 3u);
    EXPECT_EQ(v.tlm, 2u);

    // The 256th command takes the count back to 0.
    for (int i = 3; i < 256; ++i) h.send(i % 2 ? oc::direct(0x01, 0x11) : oc::param(uint8_t(1 + i % 11), uint32_t(i)));
    v = ask(h);
    EXPECT_EQ(v.cmds, 0u);
    EXPECT_EQ(v.tlm, 3u);
    h.send(oc::direct(0x04, 0x10));
    EXPECT_EQ(ask(h).cmds, 1u);

    // Each answer carries the count of answers including itself, wrapping too.
    unsigned tlm = 4;
    for (int i = 0; i < 300; ++i) {
        tlm = (tlm + 1) % 256;
        ASSERT_EQ(ask(h, double(i)).tlm, tlm) << i;
    }
    EXPECT_EQ(h.unit.telemetry_count(), tlm);
    EXPECT_EQ(h.unit.command_count(), 1u);
}
