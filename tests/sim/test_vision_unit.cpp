// The vision unit: its answer read back with the tests' own decoder,
// command framing on its line and its log.
#include "optical_vision_check.h"
#include "unit_harness.h"

#include "vision_codec.h"
#include "vision_framing.h"
#include "vision_unit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

namespace vc = vision_check;
using devsim::Bytes;
using Harness = UnitHarness<devsim::VisionUnit>;

namespace {

// Frames as the service writes them.
const Bytes PARAM_1 = {0xEB, 0x90, 0x1E, 0x00, 0x06, 0x01, 0x01, 0x03, 0x00, 0x00, 0x00, 0x29};
const Bytes PARAM_6 = {0xEB, 0x90, 0x1E, 0x00, 0x06, 0x06, 0x06, 0x3F, 0xC0, 0x00, 0x00, 0x2F};
const Bytes TIME = {0xEB, 0x90, 0x1E, 0x00, 0x08, 0x08, 0x08, 0x00, 0x00, 0x03, 0xE8, 0x00, 0xFA, 0x1B};
const Bytes QUATERNION = join({{0xEB, 0x90, 0x1E, 0x00, 0x13, 0x07, 0x07, 0x3F, 0x80, 0x00, 0x00}, Bytes(12, 0x00),
                               {0x01, 0xFF}});

}  // namespace

TEST(VisionAnswer, LayoutOfKnownValues)
{
    devsim::VisionTelemetry t{3, 1, 200.0f, 20.5f, {}};
    t.targets[0] = {2, 1.5f, -2.0f};
    t.targets[5] = {3, 10.0f, -10.0f};
    const Bytes b = devsim::encode_vision_answer(t);
    ASSERT_EQ(b.size(), 170u);
    EXPECT_TRUE(vc::answer_ok(b));
    EXPECT_NE(b[169], vc::sum(b, 0, 168));  // EB 90 are not summed
    EXPECT_EQ(slice(b, 43, 10), (Bytes{0x03, 0x01, 0x43, 0x48, 0x00, 0x00, 0x41, 0xA4, 0x00, 0x00}));
    EXPECT_EQ(slice(b, 59, 9), (Bytes{0x02, 0x3F, 0xC0, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00}));
    EXPECT_EQ(slice(b, 68, 36), Bytes(36, 0x00));
    EXPECT_EQ(slice(b, 104, 9), (Bytes{0x03, 0x41, 0x20, 0x00, 0x00, 0xC1, 0x20, 0x00, 0x00}));
    EXPECT_EQ(devsim::vision_telemetry_text(devsim::decode_vision_answer(b)),
              "far_flag=3 close_flag=1 far=200 close=20.5 lf=2,1.5,-2 rf=0,0,0 pf=0,0,0 lc=0,0,0 rc=0,0,0 "
              "pc=3,10,-10");
}

TEST(VisionAnswer, WhatTheUnitMeansIsWhatAServiceDecodes)
{
    for (const auto& [index, t] : std::vector<std::pair<unsigned, double>>{
             {0, 0.0}, {0, 7.25}, {1, 7.25}, {2, 333.3}, {5, 2799.9}, {0, 86400.5}}) {
        SCOPED_TRACE("index " + std::to_string(index) + " t " + std::to_string(t));
        Harness h(index);
        const auto answers = h.send(vc::HEALTH_QUERY, t);
        ASSERT_EQ(answers.size(), 1u);
        ASSERT_TRUE(vc::answer_ok(answers[0].bytes));
        const vc::Values v = vc::decode(answers[0].bytes);
        EXPECT_EQ(answers[0].summary, "answer " + vc::answer_text(v));
        const devsim::VisionTelemetry meant = devsim::vision_telemetry_at(index, t);
        EXPECT_EQ(v.far_flag, meant.far_flag);
        EXPECT_EQ(v.close_flag, meant.close_flag);
        EXPECT_EQ(v.far, meant.far_m);
        EXPECT_EQ(v.close, meant.close_m);
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(v.results[i].state, meant.targets[i].state) << i;
            EXPECT_EQ(v.results[i].alpha, meant.targets[i].alpha_deg) << i;
            EXPECT_EQ(v.results[i].beta, meant.targets[i].beta_deg) << i;
        }
    }
}

TEST(VisionScene, PlausibleMovingAndPhasedPerLine)
{
    std::map<unsigned, int> far_flags, close_flags;
    std::set<unsigned> states;
    for (double t = 0.0; t < 400.0; t += 1.0) {
        const auto v = devsim::vision_telemetry_at(2, t);
        ++far_flags[v.far_flag];
        ++close_flags[v.close_flag];
        EXPECT_TRUE(v.far_m >= 60.0f && v.far_m <= 200.0f) << t;
        EXPECT_NEAR(v.close_m, 20.0f, 1.5f) << t;
        for (const auto& r : v.targets) {
            states.insert(r.state);
            EXPECT_TRUE(std::fabs(r.alpha_deg) <= 10.0f && std::fabs(r.beta_deg) <= 10.0f) << t;
        }
    }
    for (const auto* flags : {&far_flags, &close_flags}) {  // mostly tracking, now and then not
        EXPECT_GT(flags->count(3) ? flags->at(3) : 0, 300);
        EXPECT_GE(flags->size(), 2u);
        EXPECT_LE(flags->rbegin()->first, 3u);
    }
    EXPECT_EQ(states, (std::set<unsigned>{0, 1, 2, 3}));

    const auto at = [](unsigned index, double t) { return devsim::vision_telemetry_at(index, t); };
    EXPECT_FLOAT_EQ(at(0, 0.0).far_m, 200.0f);
    for (double t = 0.0; t < 600.0; t += 50.0) EXPECT_LT(at(0, t + 10.0).far_m, at(0, t).far_m) << t;
    EXPECT_NE(at(0, 10.0).targets[0].alpha_deg, at(0, 25.0).targets[0].alpha_deg);
    EXPECT_NE(at(0, 10.0).targets[0].alpha_deg, at(1, 10.0).targets[0].alpha_deg);
    EXPECT_NE(at(0, 10.0).close_m, at(1, 10.0).close_m);
}

TEST(VisionCommandFraming, FramesInAnyPiecesAfterAnyNoise)
{
    struct Case {
        const char* name;
        Bytes stream;
        std::vector<std::pair<Bytes, bool>> frames;  // bytes, checksum holds
        std::size_t skipped;
    };
    const Bytes& H = vc::HEALTH_QUERY;
    Bytes bad_p1 = PARAM_1;
    bad_p1.back() = 0x2A;
    const Bytes swallowing = join({{0xEB, 0x90, 0x1E, 0x00, 0x06}, H});

    const std::vector<Case> cases = {
        {"parameter 6", PARAM_6, {{PARAM_6, true}}, 0},
        {"quaternion", QUATERNION, {{QUATERNION, true}}, 0},
        {"two frames in one write", join({PARAM_1, H}), {{PARAM_1, true}, {H, true}}, 0},
        {"garbage first", join({{0x00, 0xEB, 0x11, 0x90}, H}), {{H, true}}, 4},
        {"garbage between", join({TIME, {0x55, 0xAA}, QUATERNION}), {{TIME, true}, {QUATERNION, true}}, 2},
        {"bad checksum, then a good frame", join({bad_p1, H}), {{bad_p1, false}, {H, true}}, 0},
        {"stray header swallowing a query", swallowing, {{swallowing, false}, {H, true}}, 0},
        {"unknown kind starts nothing", join({{0xEB, 0x90, 0x2D, 0x00, 0x01}, H}), {{H, true}}, 5},
        {"reserved byte not zero", join({{0xEB, 0x90, 0x0F, 0x01}, H}), {{H, true}}, 4},
        {"command length not known", join({{0xEB, 0x90, 0x1E, 0x00, 0x07}, H}), {{H, true}}, 5},
        {"health query of another length", join({{0xEB, 0x90, 0x0F, 0x00, 0x02}, H}), {{H, true}}, 5},
    };
    for (const Case& c : cases) {
        for (std::size_t chunk : {std::size_t(1), std::size_t(3), std::size_t(7), c.stream.size()}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(chunk));
            devsim::VisionCommandFramer framer;
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

TEST(VisionUnitLog, WhatEachFrameIsLoggedAs)
{
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {PARAM_1, "command param 1 value=3"},
        {PARAM_6, "command param 6 value=1.5"},
        {TIME, "command time sec=1000 ms=250"},
        {QUATERNION, "command quaternion q0=1 q1=0 q2=0 q3=0 extra=01"},
        {vc::frame(0x1E, {0x07, 0x07, 0x3F, 0, 0, 0, 0xBF, 0, 0, 0, 0x3F, 0, 0, 0, 0xBF, 0, 0, 0, 0xA5}),
         "command quaternion q0=0.5 q1=-0.5 q2=0.5 q3=-0.5 extra=A5"},
        {vc::frame(0x1E, {0x0E, 0x0E, 0xFF, 0x00, 0x00, 0x00}), "command param 14 value=255"},
        {vc::frame(0x1E, {0x08, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x03, 0xE7}), "command time sec=4294967295 ms=999"},
        // Checksums that hold over bodies the unit does not know.
        {vc::frame(0x1E, {0x01, 0x02, 0x03, 0x00, 0x00, 0x00}),
         "command not understood: EB 90 1E 00 06 01 02 03 00 00 00 2A"},
        {vc::frame(0x1E, {0x07, 0x07, 0x03, 0x00, 0x00, 0x00}),
         "command not understood: EB 90 1E 00 06 07 07 03 00 00 00 35"},
        {vc::frame(0x1E, {0x03, 0x03, 0x05, 0x00, 0x01, 0x00}),
         "command not understood: EB 90 1E 00 06 03 03 05 00 01 00 30"},
        {vc::frame(0x0F, {0xA6}), "command not understood: EB 90 0F 00 01 A6 B6"},
        {join({slice(PARAM_1, 0, 11), {0x2A}}),
         "bad frame dropped (checksum 2A, expected 29): EB 90 1E 00 06 01 01 03 00 00 00 2A"},
    };
    for (const auto& [frame, line] : cases) {
        Harness h;
        EXPECT_TRUE(h.send(frame).empty()) << line;
        EXPECT_EQ(h.log, std::vector<std::string>{line});
    }

    Harness h;
    EXPECT_EQ(h.unit.kind(), "vision");
    EXPECT_EQ(h.unit.bits_per_byte(), 11);
    const auto answers = h.send(join({{0x01, 0x02}, PARAM_1, vc::HEALTH_QUERY, {0x03}}), 12.0);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(h.log, (std::vector<std::string>{"skipped 2 byte(s) before a command", "command param 1 value=3",
                                               "<answer " + vc::answer_text(vc::decode(answers[0].bytes)) + ">",
                                               "skipped 1 byte(s) before a command"}));
    // A hang-up forgets half a query.
    h.log.clear();
    h.send(slice(vc::HEALTH_QUERY, 0, 4));
    h.unit.reset_input();
    EXPECT_TRUE(h.send(slice(vc::HEALTH_QUERY, 4, 3)).empty());
    EXPECT_EQ(h.log, std::vector<std::string>{"skipped 3 byte(s) before a command"});
}
