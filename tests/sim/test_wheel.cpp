// Reaction wheel lines: command and status frames, command framing, the
// wheel's motion and its status stream, and the wheel's command-line forms.
#include "options.h"
#include "wheel.h"
#include "wheel_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

using devsim::Bytes;

namespace {

// The service's reading of four status bytes, written out independently of
// the simulator's codec.
float service_decode(const Bytes& f, std::size_t at)
{
    const uint32_t raw = (uint32_t(f[at]) << 24) | (uint32_t(f[at + 1]) << 16) | (uint32_t(f[at + 2]) << 8) |
                         uint32_t(f[at + 3]);
    return float(double(int32_t(raw)) / 1000.0);
}

std::string text(float v)
{
    std::ostringstream os;
    os << v;
    return os.str();
}

std::string expected_status_line(const Bytes& f)
{
    return "status speed=" + text(service_decode(f, 1)) + " current=" + text(service_decode(f, 5)) +
           " torque=" + text(service_decode(f, 13));
}

Bytes value_bytes(float v)
{
    const auto a = devsim::encode_wheel_command_value(v);
    return Bytes(a.begin(), a.end());
}

struct Capture {
    std::vector<std::string> log;
    std::vector<devsim::Answer> sent;
    devsim::LogSink sink()
    {
        return [this](const std::string& s) { log.push_back(s); };
    }
    devsim::AnswerSink send()
    {
        return [this](devsim::Answer a) { sent.push_back(std::move(a)); };
    }
    int count(const std::string& prefix) const
    {
        int n = 0;
        for (const auto& l : log) n += l.rfind(prefix, 0) == 0;
        return n;
    }
};

// Runs the wheel's status stream from `from` to `to` seconds in steps of
// `step`, as the simulator loop would.
void run(devsim::Wheel& w, Capture& c, double from, double to, double step = 0.01)
{
    for (double t = from; t <= to + 1e-9; t += step) {
        const auto due = w.next_tick();
        if (due && t >= *due) w.tick(t, c.send());
    }
}

devsim::WheelStatus last_status(const Capture& c)
{
    auto s = devsim::decode_wheel_status(c.sent.back().bytes);
    EXPECT_TRUE(s.has_value());
    return s.value_or(devsim::WheelStatus{});
}

}  // namespace

TEST(WheelCommandFrame, ValuesEncodeAsTheServiceFloorsThem)
{
    EXPECT_EQ(value_bytes(200.0f), (Bytes{0x00, 0x03, 0x0D, 0x40}));
    EXPECT_EQ(value_bytes(1.5f), (Bytes{0x00, 0x00, 0x05, 0xDC}));
    EXPECT_EQ(value_bytes(-1.5f), (Bytes{0xFF, 0xFF, 0xFA, 0x24}));
    EXPECT_EQ(value_bytes(-0.0005f), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));  // floor, not toward zero
    EXPECT_EQ(value_bytes(-1.2345f), (Bytes{0xFF, 0xFF, 0xFB, 0x2D}));
    EXPECT_EQ(value_bytes(1.2345f), (Bytes{0x00, 0x00, 0x04, 0xD2}));
    EXPECT_EQ(value_bytes(0.0f), (Bytes{0x00, 0x00, 0x00, 0x00}));
}

TEST(WheelCommandFrame, DecodesWhatWasEncoded)
{
    for (float v : {200.0f, 1.5f, -1.5f, -0.0005f, -1.2345f, 0.0f}) {
        const Bytes b = value_bytes(v);
        EXPECT_EQ(devsim::decode_wheel_value(b.data()), service_decode(b, 0)) << v;
    }
    EXPECT_FLOAT_EQ(devsim::decode_wheel_value(value_bytes(200.0f).data()), 200.0f);
    EXPECT_FLOAT_EQ(devsim::decode_wheel_value(value_bytes(-1.5f).data()), -1.5f);
    EXPECT_FLOAT_EQ(devsim::decode_wheel_value(value_bytes(-0.0005f).data()), -0.001f);
}

TEST(WheelCommandFrame, WholeSpeedFrame)
{
    EXPECT_EQ(devsim::encode_wheel_command(devsim::WHEEL_CMD_SPEED, 200.0f, 1.5f, 0x11),
              (Bytes{0x58, 0x00, 0x03, 0x0D, 0x40, 0x00, 0x00, 0x05, 0xDC, 0x11, 0x9A}));
    const Bytes torque = devsim::encode_wheel_command(devsim::WHEEL_CMD_TORQUE, -1.5f, 0.0f, 0x22);
    ASSERT_EQ(torque.size(), 11u);
    EXPECT_EQ(torque[0], 0x59);
    EXPECT_EQ(torque[9], 0x22);
    unsigned sum = 0;
    for (int i = 0; i < 10; ++i) sum += torque[i];
    EXPECT_EQ(torque[10], uint8_t(sum));
}

TEST(WheelStatusFrame, LayoutAndChecksum)
{
    devsim::WheelStatus s;
    s.speed = -1.0;
    s.current = 0.0125;
    s.torque = 0.1004996;
    const Bytes f = devsim::encode_wheel_status(s, 0x22);
    ASSERT_EQ(f.size(), 19u);
    EXPECT_EQ(f[0], 0xFF);
    EXPECT_EQ(Bytes(f.begin() + 1, f.begin() + 5), (Bytes{0xFF, 0xFF, 0xFC, 0x18}));  // -1000
    EXPECT_EQ(Bytes(f.begin() + 5, f.begin() + 9), (Bytes{0x00, 0x00, 0x00, 0x0D}));  // 12.5 rounds to 13
    EXPECT_EQ(Bytes(f.begin() + 9, f.begin() + 13), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(Bytes(f.begin() + 13, f.begin() + 17), (Bytes{0x00, 0x00, 0x00, 0x64}));  // 100
    EXPECT_EQ(f[17], 0x22);

    unsigned sum = 0;
    for (int i = 1; i <= 16; ++i) sum += f[i];
    EXPECT_EQ(f[18], uint8_t(sum));
    // Neither the header nor the hardware id is summed: another id keeps
    // the checksum.
    EXPECT_EQ(devsim::encode_wheel_status(s, 0x11)[18], f[18]);

    const auto back = devsim::decode_wheel_status(f);
    ASSERT_TRUE(back.has_value());
    EXPECT_FLOAT_EQ(float(back->speed), -1.0f);
    EXPECT_FLOAT_EQ(float(back->current), 0.013f);
    EXPECT_FLOAT_EQ(float(back->torque), 0.1f);

    Bytes bad = f;
    bad[18] ^= 1;
    EXPECT_FALSE(devsim::decode_wheel_status(bad).has_value());
    bad = f;
    bad[0] = 0xFE;
    EXPECT_FALSE(devsim::decode_wheel_status(bad).has_value());
}

TEST(WheelStatusFrame, LargeValuesSaturateInsteadOfWrapping)
{
    devsim::WheelStatus s;
    s.speed = 3.0e6;  // 3e9 thousandths: beyond int32
    s.torque = -3.0e6;
    const Bytes f = devsim::encode_wheel_status(s, 0x11);
    EXPECT_EQ(Bytes(f.begin() + 1, f.begin() + 5), (Bytes{0x7F, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(f.begin() + 13, f.begin() + 17), (Bytes{0x80, 0x00, 0x00, 0x00}));
}

TEST(WheelCommandFraming, PiecesGarbageAndBadChecksum)
{
    devsim::WheelCommandFramer framer;
    const Bytes good = devsim::encode_wheel_command(devsim::WHEEL_CMD_SPEED, 200.0f, 1.5f, 0x11);

    // Garbage first, then the frame a byte or three at a time.
    Bytes stream = {0x00, 0xFF, 0x13};
    stream.insert(stream.end(), good.begin(), good.end());
    std::vector<devsim::WheelCommandFrame> frames;
    std::size_t skipped = 0;
    for (std::size_t at = 0; at < stream.size(); at += 3) {
        const auto r = framer.push(stream.data() + at, std::min<std::size_t>(3, stream.size() - at));
        skipped += r.skipped;
        frames.insert(frames.end(), r.frames.begin(), r.frames.end());
    }
    EXPECT_EQ(skipped, 3u);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].checksum_ok);
    EXPECT_EQ(frames[0].bytes, good);
    EXPECT_EQ(framer.pending(), 0u);

    // A stray start byte swallows the start of a real frame; the bad frame
    // is reported and the real one still found after it.
    Bytes noisy = {0x59};
    noisy.insert(noisy.end(), good.begin(), good.end());
    const auto r = framer.push(noisy.data(), noisy.size());
    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_FALSE(r.frames[0].checksum_ok);
    EXPECT_EQ(r.frames[0].bytes.size(), 11u);
    EXPECT_TRUE(r.frames[1].checksum_ok);
    EXPECT_EQ(r.frames[1].bytes, good);

    // A partial frame is forgotten on reset.
    framer.push(good.data(), 5);
    EXPECT_EQ(framer.pending(), 5u);
    framer.reset();
    EXPECT_EQ(framer.pending(), 0u);
}

TEST(WheelDevice, CommandsInPiecesOtherIdsAndBadFrames)
{
    Capture c;
    devsim::Wheel w(0x11, 10.0, c.sink());
    EXPECT_EQ(w.kind(), "wheel");
    EXPECT_EQ(w.bits_per_byte(), 11);

    Bytes other = devsim::encode_wheel_command(devsim::WHEEL_CMD_SPEED, 300.0f, 1.5f, 0x22);
    w.receive(other.data(), other.size(), 0.0, c.send());
    ASSERT_EQ(c.count("command for hardware id 0x22 ignored"), 1);
    EXPECT_NE(c.log.back().find("58 00 04 93 E0 00 00 05 DC 22 "), std::string::npos) << c.log.back();
    EXPECT_EQ(w.dynamics().mode(), devsim::WheelDynamics::Mode::idle);

    Bytes bad = devsim::encode_wheel_command(devsim::WHEEL_CMD_TORQUE, 0.01f, 0.0f, 0x11);
    bad[10] ^= 0xFF;
    w.receive(bad.data(), bad.size(), 0.0, c.send());
    EXPECT_EQ(c.count("bad frame dropped"), 1);
    EXPECT_EQ(w.dynamics().mode(), devsim::WheelDynamics::Mode::idle);

    Bytes good = {0x01, 0x02};
    const Bytes frame = devsim::encode_wheel_command(devsim::WHEEL_CMD_SPEED, 200.0f, 1.5f, 0x11);
    good.insert(good.end(), frame.begin(), frame.end());
    w.receive(good.data(), 6, 0.0, c.send());
    EXPECT_EQ(c.count("command speed"), 0);
    w.receive(good.data() + 6, good.size() - 6, 0.0, c.send());
    EXPECT_EQ(c.count("skipped 2 byte(s) before a command"), 1);
    ASSERT_EQ(c.count("command speed"), 1);
    EXPECT_EQ(c.log.back(), "command speed target=200 limit=1.5");
    EXPECT_EQ(w.dynamics().mode(), devsim::WheelDynamics::Mode::speed);

    const Bytes torque = devsim::encode_wheel_command(devsim::WHEEL_CMD_TORQUE, -0.0005f, 0.0f, 0x11);
    w.receive(torque.data(), torque.size(), 0.0, c.send());
    EXPECT_EQ(c.log.back(), "command torque value=-0.001");
    EXPECT_EQ(w.dynamics().mode(), devsim::WheelDynamics::Mode::torque);
    // Commands are never answered: the wheel only streams.
    EXPECT_TRUE(c.sent.empty());
}

TEST(WheelDevice, StreamsAtItsRateAndLogsWhatTheServiceDecodes)
{
    Capture c;
    devsim::Wheel w(0x33, 10.0, c.sink());
    ASSERT_TRUE(w.next_tick().has_value());
    EXPECT_EQ(*w.next_tick(), 0.0);
    run(w, c, 0.0, 0.995);
    ASSERT_EQ(c.sent.size(), 10u);
    for (const auto& a : c.sent) {
        EXPECT_EQ(a.bytes[17], 0x33);
        // Before any command the wheel stands still.
        const auto s = devsim::decode_wheel_status(a.bytes);
        ASSERT_TRUE(s.has_value());
        EXPECT_EQ(s->speed, 0.0);
        EXPECT_EQ(s->current, 0.0);
        EXPECT_EQ(s->torque, 0.0);
    }

    const Bytes cmd = devsim::encode_wheel_command(devsim::WHEEL_CMD_SPEED, 200.0f, 1.5f, 0x33);
    w.receive(cmd.data(), cmd.size(), 1.0, c.send());
    run(w, c, 1.0, 3.0);
    for (const auto& a : c.sent) EXPECT_EQ(a.summary, expected_status_line(a.bytes));

    // After a stall the schedule resumes without a burst of missed frames.
    const std::size_t before = c.sent.size();
    w.tick(10.03, c.send());
    w.tick(10.05, c.send());
    EXPECT_EQ(c.sent.size(), before + 1);
    ASSERT_TRUE(w.next_tick().has_value());
    EXPECT_GT(*w.next_tick(), 10.05);
}

TEST(WheelDynamics, SpeedCommandSpinsUpAndSettles)
{
    Capture c;
    devsim::Wheel w(0x11, 10.0, c.sink());
    const Bytes cmd = devsim::encode_wheel_command(devsim::WHEEL_CMD_SPEED, 200.0f, 1.5f, 0x11);
    w.receive(cmd.data(), cmd.size(), 0.0, c.send());

    run(w, c, 0.0, 1.0);
    const auto early = last_status(c);
    EXPECT_GT(early.speed, 20.0);
    EXPECT_LT(early.speed, 180.0);
    EXPECT_GT(early.torque, 0.0);
    EXPECT_LE(early.torque, 1.5);
    EXPECT_GT(early.current, 0.0);

    // Speed rises frame by frame while it closes on the target.
    double previous = -1.0;
    const std::size_t from = c.sent.size();
    run(w, c, 1.01, 4.0);
    for (std::size_t i = from; i < c.sent.size(); ++i) {
        const auto s = devsim::decode_wheel_status(c.sent[i].bytes);
        ASSERT_TRUE(s.has_value());
        EXPECT_GT(s->speed, previous) << i;
        EXPECT_LT(s->speed, 200.0) << i;
        previous = s->speed;
    }

    run(w, c, 4.01, 25.0);
    const auto settled = last_status(c);
    EXPECT_NEAR(settled.speed, 200.0, 1.0);
    EXPECT_NEAR(settled.torque, 0.0, 0.002);
    EXPECT_LT(settled.current, early.current);
    EXPECT_GT(settled.current, 0.0);  // friction while turning

    // Commanded back down: the torque turns negative.
    const Bytes down = devsim::encode_wheel_command(devsim::WHEEL_CMD_SPEED, -100.0f, 1.5f, 0x11);
    w.receive(down.data(), down.size(), 25.0, c.send());
    run(w, c, 25.01, 26.0);
    const auto braking = last_status(c);
    EXPECT_LT(braking.speed, 200.0);
    EXPECT_LT(braking.torque, 0.0);
}

TEST(WheelDynamics, TorqueLimitCapsTheSpinUp)
{
    devsim::WheelDynamics limited, free;
    limited.command_speed(3000.0, 0.02);
    free.command_speed(3000.0, 0.0);  // no limit
    limited.advance(1.0);
    free.advance(1.0);
    EXPECT_NEAR(limited.status().torque, 0.02, 1e-9);
    EXPECT_GT(free.status().torque, 0.02);
    EXPECT_LT(limited.status().speed, free.status().speed);
    EXPECT_GT(limited.status().speed, 0.0);
}

TEST(WheelDynamics, TorqueModeIntegratesSpeed)
{
    devsim::WheelDynamics d;
    d.command_torque(0.01);
    d.advance(1.0);
    const auto one = d.status();
    d.advance(2.0);
    const auto two = d.status();
    EXPECT_GT(one.speed, 0.0);
    EXPECT_NEAR(two.speed, 2.0 * one.speed, 1e-6 * two.speed);  // constant torque: linear speed
    EXPECT_DOUBLE_EQ(two.torque, 0.01);
    EXPECT_GT(two.current, 0.0);

    d.command_torque(-0.02);
    d.advance(3.0);
    EXPECT_NEAR(d.status().speed, 0.0, 1e-6 * two.speed);
    EXPECT_LT(d.status().torque, 0.0);

    // It cannot be driven past its top speed.
    d.command_torque(1.0);
    d.advance(60.0);
    EXPECT_DOUBLE_EQ(d.status().speed, devsim::WHEEL_MAX_SPEED_RPM);
    EXPECT_EQ(d.status().torque, 0.0);
}

TEST(WheelCommandLine, HardwareIdsAndRate)
{
    devsim::Options o;
    std::string error;
    ASSERT_TRUE(devsim::parse_options({"--run-dir", "d", "--line", "w0=wheel", "--line", "g=gyro", "--line",
                                       "w1=wheel", "--line", "w2=wheel:0x05", "--line", "w3=wheel:34", "--line",
                                       "w4=wheel"},
                                      o, error))
        << error;
    ASSERT_EQ(o.lines.size(), 6u);
    EXPECT_EQ(o.lines[0].hardware_id, 0x11);
    EXPECT_EQ(o.lines[1].kind, "gyro");
    EXPECT_EQ(o.lines[2].hardware_id, 0x22);
    EXPECT_EQ(o.lines[3].kind, "wheel");
    EXPECT_EQ(o.lines[3].hardware_id, 0x05);
    EXPECT_EQ(o.lines[4].hardware_id, 34);
    EXPECT_EQ(o.lines[5].hardware_id, 0x55);  // the fifth wheel line
    EXPECT_EQ(o.wheel_hz, 10.0);

    ASSERT_TRUE(devsim::parse_options({"--run-dir", "d", "--line", "w=wheel", "--wheel-hz", "4"}, o, error));
    EXPECT_EQ(o.wheel_hz, 4.0);

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--run-dir", "d", "--line", "w=wheel:256"},
             {"--run-dir", "d", "--line", "w=wheel:0x"},
             {"--run-dir", "d", "--line", "w=wheel:-1"},
             {"--run-dir", "d", "--line", "w=wheel:"},
             {"--run-dir", "d", "--line", "w=wheel:0x1G"},
             {"--run-dir", "d", "--line", "g=gyro:0x11"},
             {"--run-dir", "d", "--line", "w=wheel", "--wheel-hz", "0"},
             {"--run-dir", "d", "--line", "w=wheel", "--wheel-hz", "x"},
         }) {
        std::string why;
        EXPECT_FALSE(devsim::parse_options(args, o, why)) << args[3] << " " << args.back();
        EXPECT_FALSE(why.empty());
    }
}
