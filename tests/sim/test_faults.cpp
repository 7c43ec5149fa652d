// Fault requests, when faults fire, and what they do to an answer.
#include "faults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

using devsim::Bytes;
using devsim::FaultKind;
using devsim::FaultMode;
using devsim::FaultPlan;
using devsim::FaultRequest;
using devsim::FaultSet;

namespace {

Bytes answer_bytes(std::size_t n)
{
    Bytes b(n);
    std::iota(b.begin(), b.end(), uint8_t(1));
    return b;
}

FaultSet only(FaultKind k)
{
    FaultSet s;
    s.add(k);
    return s;
}

Bytes joined(const std::vector<Bytes>& pieces)
{
    Bytes all;
    for (const auto& p : pieces) all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace

TEST(FaultRequests, CommandLineForm)
{
    FaultRequest r;
    std::string error;
    ASSERT_TRUE(devsim::parse_fault_option("nano1:checksum", r, error)) << error;
    EXPECT_EQ(r.line, "nano1");
    EXPECT_EQ(r.kind, FaultKind::checksum);
    EXPECT_EQ(r.mode.type, FaultMode::once);

    ASSERT_TRUE(devsim::parse_fault_option("p2:split:rate=0.25", r, error)) << error;
    EXPECT_EQ(r.kind, FaultKind::split);
    EXPECT_EQ(r.mode.type, FaultMode::rate);
    EXPECT_DOUBLE_EQ(r.mode.probability, 0.25);

    ASSERT_TRUE(devsim::parse_fault_option("p2:short:off", r, error)) << error;
    EXPECT_EQ(r.kind, FaultKind::short_);
    EXPECT_EQ(r.mode.type, FaultMode::off);

    for (const char* name : {"silence", "header", "checksum", "short", "split", "garbage", "hangup"}) {
        ASSERT_TRUE(devsim::parse_fault_option(std::string("x:") + name, r, error)) << name;
        EXPECT_STREQ(devsim::fault_name(r.kind), name);
    }
}

TEST(FaultRequests, CommandLineFormRejectsMalformedInput)
{
    FaultRequest r;
    std::string error;
    for (const char* bad : {"nano1", ":checksum", "nano1:bogus", "nano1:split:", "nano1:split:rate=",
                            "nano1:split:rate=1.5", "nano1:split:rate=-0.1", "nano1:split:rate=0.5x",
                            "nano1:split:twice"}) {
        error.clear();
        EXPECT_FALSE(devsim::parse_fault_option(bad, r, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(FaultRequests, ControlLineForm)
{
    FaultRequest r;
    std::string error;
    ASSERT_TRUE(devsim::parse_control_command("fault nano1 checksum once", r, error)) << error;
    EXPECT_EQ(r.line, "nano1");
    EXPECT_EQ(r.kind, FaultKind::checksum);
    EXPECT_EQ(r.mode.type, FaultMode::once);

    ASSERT_TRUE(devsim::parse_control_command("  fault  pico1\thangup ", r, error)) << error;
    EXPECT_EQ(r.kind, FaultKind::hangup);
    EXPECT_EQ(r.mode.type, FaultMode::once);

    ASSERT_TRUE(devsim::parse_control_command("fault pico1 garbage rate=1", r, error)) << error;
    EXPECT_EQ(r.mode.type, FaultMode::rate);
    EXPECT_DOUBLE_EQ(r.mode.probability, 1.0);

    for (const char* bad : {"", "fault", "fault nano1", "fault nano1 bogus", "fault nano1 split once extra",
                            "reset nano1 split", "fault nano1 split sometimes"})
        EXPECT_FALSE(devsim::parse_control_command(bad, r, error)) << bad;
}

TEST(FaultPlanDraws, OnceFiresOnTheNextAnswerOnly)
{
    FaultPlan plan;
    std::mt19937_64 rng(1);
    EXPECT_TRUE(plan.draw(rng).empty());
    plan.set(FaultKind::checksum, {FaultMode::once, 0});
    const auto first = plan.draw(rng);
    EXPECT_TRUE(first.has(FaultKind::checksum));
    EXPECT_FALSE(first.has(FaultKind::header));
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(plan.draw(rng).empty());
}

TEST(FaultPlanDraws, SeveralOnceFaultsHitTheSameAnswerInActingOrder)
{
    FaultPlan plan;
    std::mt19937_64 rng(1);
    plan.set(FaultKind::split, {FaultMode::once, 0});
    plan.set(FaultKind::header, {FaultMode::once, 0});
    const auto kinds = plan.draw(rng).kinds();
    ASSERT_EQ(kinds.size(), 2u);
    EXPECT_EQ(kinds[0], FaultKind::header);
    EXPECT_EQ(kinds[1], FaultKind::split);
}

TEST(FaultPlanDraws, RatesZeroAndOneAndOff)
{
    FaultPlan plan;
    std::mt19937_64 rng(7);
    plan.set(FaultKind::garbage, {FaultMode::rate, 1.0});
    plan.set(FaultKind::silence, {FaultMode::rate, 0.0});
    for (int i = 0; i < 50; ++i) {
        const auto s = plan.draw(rng);
        EXPECT_TRUE(s.has(FaultKind::garbage));
        EXPECT_FALSE(s.has(FaultKind::silence));
    }
    plan.set(FaultKind::garbage, {FaultMode::off, 0});
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(plan.draw(rng).empty());
}

TEST(FaultPlanDraws, RateIsRoughlyHonouredAndRepeatableForASeed)
{
    auto run = [](uint64_t seed) {
        FaultPlan plan;
        std::mt19937_64 rng(seed);
        plan.set(FaultKind::short_, {FaultMode::rate, 0.3});
        std::vector<bool> hits;
        for (int i = 0; i < 2000; ++i) hits.push_back(plan.draw(rng).has(FaultKind::short_));
        return hits;
    };
    const auto a = run(11);
    const auto hits = std::count(a.begin(), a.end(), true);
    EXPECT_GT(hits, 450);
    EXPECT_LT(hits, 750);
    EXPECT_EQ(a, run(11));
    EXPECT_NE(a, run(12));
}

TEST(FaultEffects, NoFaultSendsTheAnswerAsOnePiece)
{
    std::mt19937_64 rng(1);
    const auto pieces = devsim::apply_faults(FaultSet{}, answer_bytes(64), rng);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0], answer_bytes(64));
}

TEST(FaultEffects, SilenceAndHangupSendNothing)
{
    std::mt19937_64 rng(1);
    EXPECT_TRUE(devsim::apply_faults(only(FaultKind::silence), answer_bytes(64), rng).empty());
    EXPECT_TRUE(devsim::apply_faults(only(FaultKind::hangup), answer_bytes(64), rng).empty());
}

TEST(FaultEffects, HeaderAndChecksumChangeOnlyTheirByte)
{
    std::mt19937_64 rng(1);
    const Bytes good = answer_bytes(64);
    auto header = joined(devsim::apply_faults(only(FaultKind::header), good, rng));
    ASSERT_EQ(header.size(), good.size());
    EXPECT_NE(header[0], good[0]);
    EXPECT_TRUE(std::equal(header.begin() + 1, header.end(), good.begin() + 1));

    auto checksum = joined(devsim::apply_faults(only(FaultKind::checksum), good, rng));
    ASSERT_EQ(checksum.size(), good.size());
    EXPECT_NE(checksum.back(), good.back());
    EXPECT_TRUE(std::equal(checksum.begin(), checksum.end() - 1, good.begin()));
}

TEST(FaultEffects, ShortSendsTheFirstHalf)
{
    std::mt19937_64 rng(1);
    const Bytes good = answer_bytes(256);
    auto cut = joined(devsim::apply_faults(only(FaultKind::short_), good, rng));
    EXPECT_EQ(cut, Bytes(good.begin(), good.begin() + 128));
}

TEST(FaultEffects, GarbageGoesBeforeAnIntactAnswer)
{
    std::mt19937_64 rng(3);
    const Bytes good = answer_bytes(64);
    for (int i = 0; i < 20; ++i) {
        auto out = joined(devsim::apply_faults(only(FaultKind::garbage), good, rng));
        ASSERT_GE(out.size(), good.size() + 1);
        ASSERT_LE(out.size(), good.size() + 8);
        EXPECT_TRUE(std::equal(good.begin(), good.end(), out.end() - long(good.size())));
    }
}

TEST(FaultEffects, SplitKeepsTheBytesInSeveralPieces)
{
    std::mt19937_64 rng(5);
    for (std::size_t n : {2u, 5u, 64u, 256u}) {
        const Bytes good = answer_bytes(n);
        const auto pieces = devsim::apply_faults(only(FaultKind::split), good, rng);
        EXPECT_GE(pieces.size(), 2u) << n;
        for (const auto& p : pieces) EXPECT_FALSE(p.empty());
        EXPECT_EQ(joined(pieces), good);
    }
}

TEST(FaultEffects, CombinedFaultsActTogether)
{
    std::mt19937_64 rng(9);
    FaultSet s;
    s.add(FaultKind::header);
    s.add(FaultKind::short_);
    s.add(FaultKind::split);
    const Bytes good = answer_bytes(64);
    const auto pieces = devsim::apply_faults(s, good, rng);
    EXPECT_GE(pieces.size(), 2u);
    const auto out = joined(pieces);
    ASSERT_EQ(out.size(), 32u);
    EXPECT_NE(out[0], good[0]);
    EXPECT_TRUE(std::equal(out.begin() + 1, out.end(), good.begin() + 1));
}
