#include "vision_unit.h"

#include "sim_text.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace devsim {
namespace {

constexpr double PI = 3.14159265358979323846;

// A whole-second step counter, shifted per line.
long second_step(double t, long shift)
{
    return long(std::floor(std::max(t, 0.0))) + shift;
}

}  // namespace

VisionTelemetry vision_telemetry_at(unsigned index, double t)
{
    const unsigned line = index % 8;
    const double phase = double(line) * 0.6;  // rad
    VisionTelemetry v;

    const double travel = (VISION_FAR_START - VISION_FAR_END) / VISION_FAR_SPEED;  // s one way
    const double u = std::fmod(std::max(t, 0.0) + double(line) * 200.0, 2.0 * travel);
    const double closed = u < travel ? u : 2.0 * travel - u;
    v.far_m = float(VISION_FAR_START - VISION_FAR_SPEED * closed);
    v.close_m =
        float(VISION_CLOSE_MEAN + VISION_CLOSE_SWING * std::sin(2.0 * PI * t / VISION_CLOSE_PERIOD_S + phase));

    // Mostly tracking; now and then a second of something less.
    static const uint8_t far_flags[20] = {3, 3, 3, 3, 3, 2, 3, 3, 3, 3, 3, 3, 1, 3, 3, 3, 3, 3, 3, 3};
    static const uint8_t close_flags[25] = {3, 3, 3, 3, 3, 3, 3, 3, 1, 3, 3, 3, 3,
                                            3, 3, 3, 3, 2, 3, 3, 3, 0, 3, 3, 3};
    v.far_flag = far_flags[second_step(t, 7L * line) % 20];
    v.close_flag = close_flags[second_step(t, 3L + 11L * line) % 25];

    static const uint8_t states[8] = {3, 3, 3, 2, 3, 1, 3, 0};
    const long state_step = long(std::floor(std::max(t, 0.0) / 4.0));
    for (std::size_t i = 0; i < VISION_TARGETS; ++i) {
        VisionTarget& target = v.targets[i];
        target.state = states[(state_step + 2L * long(i) + long(line)) % 8];
        const double shift = double(i) * 1.05 + phase;
        target.alpha_deg = float(VISION_ANGLE_SWING * std::sin(2.0 * PI * t / VISION_ALPHA_PERIOD_S + shift));
        target.beta_deg =
            float(0.6 * VISION_ANGLE_SWING * std::sin(2.0 * PI * t / VISION_BETA_PERIOD_S + shift + 0.5));
    }
    return v;
}

VisionUnit::VisionUnit(unsigned index, LogSink log) : index_(index), log_(std::move(log)) {}

void VisionUnit::log_skipped(std::size_t n)
{
    if (n) log_("skipped " + std::to_string(n) + " byte(s) before a command");
}

void VisionUnit::receive(const uint8_t* data, std::size_t size, double t, const AnswerSink& send)
{
    const auto result = framer_.push(data, size);
    for (const auto& frame : result.frames) {
        log_skipped(frame.skipped_before);
        const std::string hex = hex_bytes(frame.bytes.data(), frame.bytes.size());
        if (!frame.check_ok) {
            const uint8_t expected = vision_frame_checksum(frame.bytes.data(), frame.bytes.size());
            log_("bad frame dropped (checksum " + hex_bytes(&frame.bytes.back(), 1) + ", expected " +
                 hex_bytes(&expected, 1) + "): " + hex);
            continue;
        }
        const VisionCommand command = decode_vision_command(frame.bytes);
        switch (command.type) {
        case VisionCommand::Type::health_query: {
            Answer answer;
            answer.bytes = encode_vision_answer(vision_telemetry_at(index_, t));
            answer.summary = "answer " + vision_telemetry_text(decode_vision_answer(answer.bytes));
            send(std::move(answer));
            break;
        }
        case VisionCommand::Type::unknown: log_("command not understood: " + hex); break;
        default: log_("command " + vision_command_text(command)); break;
        }
    }
    log_skipped(result.skipped_after);
}

}  // namespace devsim
