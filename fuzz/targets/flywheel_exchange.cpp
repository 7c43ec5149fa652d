// Reaction wheel status frames out of any byte stream, in any pieces.
//
// Mode 0 (selector bit 0 clear) drives the frame assembler directly with a
// clock the input advances between pieces: every event is checked against
// what it says it consumed, and, as long as no partial frame was given up,
// the frames taken must be exactly those a plain scan of the whole stream
// finds (the next 0xFF whose 19 bytes hold their checksum), whatever the
// pieces. The same stream in one piece must also give the header and
// checksum counts the service documents.
//
// Mode 1 gives one to three wheels the stream on in-memory lines
// (packet_lines.h: one piece per read) and runs the service's receive loop
// (check_and_receive_serial_data) until every piece is in. The loop's clock
// stands still meanwhile, as it nearly does on a real line, so no partial
// frame may be given up; each wheel's cached status, counts and telemetry
// reply are then checked against the same scan.
//
// Input: selector byte, piece plan, clock-step count byte (0..32) and that
// many steps in milliseconds, then the stream.
#include "Skardel.h"
#include "harness.h"
#include "packet_lines.h"

#include <chrono>

namespace {

using Clock = FlywheelFrameAssembler::Clock;
using Frame = std::vector<uint8_t>;

bool good_frame_at(const std::vector<uint8_t>& s, std::size_t p)
{
    return s[p] == 0xFF && p + FLYWHEEL_FRAME_LEN <= s.size() &&
           fuzz::sum8_of(&s[p + 1], 16) == s[p + FLYWHEEL_FRAME_LEN - 1];
}

std::vector<Frame> scan(const std::vector<uint8_t>& s)
{
    std::vector<Frame> frames;
    std::size_t p = 0;
    while (p < s.size()) {
        if (good_frame_at(s, p)) {
            frames.emplace_back(s.begin() + long(p), s.begin() + long(p + FLYWHEEL_FRAME_LEN));
            p += FLYWHEEL_FRAME_LEN;
        } else {
            ++p;
        }
    }
    return frames;
}

std::vector<std::size_t> cut(std::size_t total, fuzz::PiecePlan& plan)
{
    std::vector<std::size_t> pieces;
    std::size_t budget = fuzz::PIECE_BUDGET;
    for (std::size_t off = 0; off < total;) {
        std::size_t n = budget > 1 ? plan.next(std::min<std::size_t>(total - off, 255)) : std::min<std::size_t>(total - off, 255);
        if (budget > 1) --budget;
        pieces.push_back(n);
        off += n;
    }
    return pieces;
}

struct AssemblerRun {
    std::vector<Frame> frames;
    unsigned header = 0, checksum = 0, incomplete = 0;
};

// Takes every event the assembler has at `now`, checking each one.
void drain(FlywheelFrameAssembler& a, Clock::time_point now, AssemblerRun& run)
{
    for (;;) {
        const std::size_t before = a.buffered();
        uint8_t frame[FLYWHEEL_FRAME_LEN];
        std::size_t detail = 12345;
        const auto e = a.next(frame, detail, now);
        const std::size_t after = a.buffered();
        FUZZ_CHECK(after <= before, "buffer grew in next()");
        const std::size_t dropped = before - after;
        switch (e) {
        case FlywheelFrameAssembler::Event::none:
            FUZZ_CHECK(dropped == 0, "none dropped " + std::to_string(dropped));
            FUZZ_CHECK(after < FLYWHEEL_FRAME_LEN, "a whole candidate left waiting: " + std::to_string(after));
            return;
        case FlywheelFrameAssembler::Event::frame:
            FUZZ_CHECK(dropped == FLYWHEEL_FRAME_LEN, "frame took " + std::to_string(dropped));
            FUZZ_CHECK(frame[0] == 0xFF && fuzz::sum8_of(frame + 1, 16) == frame[18],
                       "bad frame taken: " + fuzz::hex(frame, sizeof frame));
            run.frames.emplace_back(frame, frame + FLYWHEEL_FRAME_LEN);
            break;
        case FlywheelFrameAssembler::Event::header:
            FUZZ_CHECK(detail >= 1 && detail == dropped, "header detail " + std::to_string(detail) + " dropped " +
                                                             std::to_string(dropped));
            ++run.header;
            break;
        case FlywheelFrameAssembler::Event::skipped_more:
            // More bytes of a run already reported: not a new header fault.
            FUZZ_CHECK(detail >= 1 && detail == dropped, "skipped_more detail " + std::to_string(detail) +
                                                             " dropped " + std::to_string(dropped));
            break;
        case FlywheelFrameAssembler::Event::checksum:
            FUZZ_CHECK(detail == FLYWHEEL_FRAME_LEN && dropped >= 1, "checksum detail " + std::to_string(detail));
            FUZZ_CHECK(frame[0] == 0xFF && fuzz::sum8_of(frame + 1, 16) != frame[18],
                       "checksum event for " + fuzz::hex(frame, sizeof frame));
            ++run.checksum;
            break;
        case FlywheelFrameAssembler::Event::incomplete:
            FUZZ_CHECK(detail == dropped && dropped >= 1 && before < FLYWHEEL_FRAME_LEN,
                       "incomplete detail " + std::to_string(detail) + " dropped " + std::to_string(dropped));
            ++run.incomplete;
            break;
        }
    }
}

// The events of the whole stream delivered at once: one header event per
// run of bytes skipped up to the next 0xFF that starts a good frame (or one
// still arriving), one checksum event per 19 bytes from 0xFF that fail
// their sum where a frame should start.
void check_whole_stream_counts(const std::vector<uint8_t>& s)
{
    unsigned header = 0, checksum = 0;
    auto resync = [&](std::size_t p) {
        std::size_t q = p + 1;
        while (q < s.size() && !(s[q] == 0xFF && (s.size() - q < FLYWHEEL_FRAME_LEN || good_frame_at(s, q)))) ++q;
        return q;
    };
    for (std::size_t p = 0; p < s.size();) {
        if (s[p] != 0xFF) {
            ++header;
            p = resync(p);
        } else if (s.size() - p < FLYWHEEL_FRAME_LEN) {
            break;
        } else if (!good_frame_at(s, p)) {
            ++checksum;
            p = resync(p);
        } else {
            p += FLYWHEEL_FRAME_LEN;
        }
    }
    FlywheelFrameAssembler a;
    AssemblerRun run;
    const Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
    if (!s.empty()) a.feed(s.data(), s.size(), now);
    drain(a, now, run);
    FUZZ_CHECK(run.header == header && run.checksum == checksum && run.incomplete == 0,
               "whole stream: header " + std::to_string(run.header) + "/" + std::to_string(header) + ", checksum " +
                   std::to_string(run.checksum) + "/" + std::to_string(checksum));
    FUZZ_CHECK(run.frames == scan(s), "whole stream: frames differ from the scan");
}

void assembler_mode(const std::vector<uint8_t>& stream, fuzz::PiecePlan& plan, const std::vector<uint8_t>& steps)
{
    FlywheelFrameAssembler a;
    AssemblerRun run;
    Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
    std::size_t off = 0, k = 0;
    for (std::size_t n : cut(stream.size(), plan)) {
        a.feed(stream.data() + off, n, now);
        off += n;
        drain(a, now, run);
        if (!steps.empty()) now += std::chrono::milliseconds(steps[k++ % steps.size()]);
        drain(a, now, run);
    }
    check_whole_stream_counts(stream);
    if (a.given_up() == 0) {
        const auto want = scan(stream);
        FUZZ_CHECK(run.frames == want,
                   std::to_string(run.frames.size()) + " frames taken, the stream holds " + std::to_string(want.size()));
    }
}

void service_mode(const std::vector<uint8_t>& stream, fuzz::PiecePlan& plan, int wheels)
{
    const std::vector<std::size_t> pieces = cut(stream.size(), plan);
    fuzz::PacketLines& lines = fuzz::PacketLines::fresh(std::size_t(wheels));
    flywheel_count = uint8_t(wheels);
    for (int i = 0; i < FLYWHEEL_MAX; ++i) {
        flywheels[i] = Flywheel_Device{};
        flywheels[i].hardware_id = uint8_t(0x11 * (i + 1));
        flywheels[i].info_frame.wheel_id = uint8_t(i + 1);
        flywheels[i].serial_frame.serial_id = uint8_t(i + 1);
    }
    for (int i = 0; i < wheels; ++i) flywheels[i].fd = lines.fd(std::size_t(i));
    // Every wheel gets the same stream; wheel i starts its pieces i pieces
    // into the plan, so the wheels see different cuts.
    std::size_t most = 0;
    for (int i = 0; i < wheels; ++i) {
        const std::size_t first = pieces.empty() ? 0 : std::size_t(i) % pieces.size();
        std::size_t off = 0, count = 0;
        for (std::size_t k = 0; k < pieces.size() && off < stream.size(); ++k, ++count) {
            const std::size_t n = std::min(pieces[(first + k) % pieces.size()], stream.size() - off);
            lines.send(std::size_t(i), &stream[off], n);
            off += n;
        }
        if (off < stream.size()) {
            lines.send(std::size_t(i), &stream[off], stream.size() - off);
            ++count;
        }
        most = std::max(most, count);
    }
    // One piece per wheel per pass (a read takes one piece), then one more.
    for (std::size_t pass = 0; pass <= most; ++pass) check_and_receive_serial_data();

    const auto want = scan(stream);
    for (int i = 0; i < wheels; ++i) {
        const Flywheel_Device& w = flywheels[i];
        FUZZ_CHECK(w.rx.buffered() < FLYWHEEL_FRAME_LEN, "wheel " + std::to_string(i) + " left a whole candidate");
        FUZZ_CHECK(w.length_err_cnt == 0 && w.rx.given_up() == 0,
                   "wheel " + std::to_string(i) + " gave a partial frame up with the clock standing still");
        if (want.empty()) {
            FUZZ_CHECK(w.info_frame.speed == 0.0f && w.raw_frame[0] == 0, "status without a frame");
            continue;
        }
        const Frame& last = want.back();
        FUZZ_CHECK(std::memcmp(w.raw_frame, last.data(), FLYWHEEL_FRAME_LEN) == 0,
                   "wheel " + std::to_string(i) + " last frame " + fuzz::hex(w.raw_frame, FLYWHEEL_FRAME_LEN));
        const double speed = double(int32_t(fuzz::be32_of(&last[1]))) / 1000.0;
        const double current = double(int32_t(fuzz::be32_of(&last[5]))) / 1000.0;
        const double torque = double(int32_t(fuzz::be32_of(&last[13]))) / 1000.0;
        FUZZ_CHECK(fuzz::close_to(w.info_frame.speed, speed, speed), "speed");
        FUZZ_CHECK(fuzz::close_to(w.info_frame.current, current, current), "current");
        FUZZ_CHECK(fuzz::close_to(w.info_frame.torque, torque, torque), "torque");
        const uint8_t hw = last[17];
        const uint8_t id = (hw >= 0x11 && hw <= 0x88 && hw % 17 == 0) ? uint8_t(hw / 17) : uint8_t(i + 1);
        FUZZ_CHECK(w.info_frame.wheel_id == id, "wheel id " + std::to_string(w.info_frame.wheel_id));
        FUZZ_CHECK(w.serial_frame.serial_id == i + 1, "line id " + std::to_string(w.serial_frame.serial_id));

        FlywheelReply r;
        std::vector<unsigned char> request = {uint8_t(i + 1), 0xFF};
        FUZZ_CHECK(flywheel_telemetry_reply("command", request, r), "request not answered");
        FUZZ_CHECK(r.info.wheel_id == i + 1 && std::memcmp(r.raw, last.data(), FLYWHEEL_FRAME_LEN) == 0,
                   "reply differs from the last frame");
    }
    for (int i = 0; i < wheels; ++i) {
        if (flywheels[i].fd >= 0) ::close(flywheels[i].fd);
        flywheels[i].fd = -1;
    }
    flywheel_count = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::drop_discarded_output();
    fuzz::ByteReader in(data, size);
    const uint8_t sel = in.u8();
    fuzz::PiecePlan plan(in);
    std::vector<uint8_t> steps = in.bytes(in.u8() % 33);
    std::vector<uint8_t> stream = in.rest();
    if (stream.size() > 2048) stream.resize(2048);
    if (sel & 1)
        service_mode(stream, plan, 1 + (sel >> 1) % 3);
    else
        assembler_mode(stream, plan, steps);
    return 0;
}
