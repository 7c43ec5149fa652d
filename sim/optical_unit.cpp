#include "optical_unit.h"

#include "frame_fields.h"
#include "sim_text.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace devsim {
namespace {

constexpr double PI = 3.14159265358979323846;

int16_t arcsec(double value)
{
    return int16_t(std::clamp(std::round(value), -32768.0, 32767.0));
}

}  // namespace

OpticalTelemetry optical_telemetry_at(unsigned index, double t, uint8_t commands, uint8_t telemetry)
{
    const double phase = double(index % 8) * 0.9;  // rad
    OpticalTelemetry m;

    // Closing and opening again, each line a few minutes further on.
    const double travel = (OPTICAL_FAR_START - OPTICAL_FAR_END) / OPTICAL_FAR_SPEED;  // s one way
    const double u = std::fmod(std::max(t, 0.0) + double(index % 8) * 150.0, 2.0 * travel);
    const double closed = u < travel ? u : 2.0 * travel - u;
    m.far_m = float(OPTICAL_FAR_START - OPTICAL_FAR_SPEED * closed);
    m.near_m = float(OPTICAL_NEAR_MEAN + OPTICAL_NEAR_SWING * std::sin(2.0 * PI * t / OPTICAL_NEAR_PERIOD_S + phase));
    m.azimuth_arcsec = arcsec(OPTICAL_AZIMUTH_SWING * std::sin(2.0 * PI * t / OPTICAL_AZIMUTH_PERIOD_S + phase));
    m.pitch_arcsec = arcsec(OPTICAL_PITCH_SWING * std::sin(2.0 * PI * t / OPTICAL_PITCH_PERIOD_S + phase + 1.0));
    m.commands = commands;
    m.telemetry = telemetry;

    const long long ms = std::llround(std::max(t, 0.0) * 1000.0);
    m.seconds = uint32_t(ms / 1000);
    m.milliseconds = uint16_t(ms % 1000);
    return m;
}

OpticalUnit::OpticalUnit(unsigned index, LogSink log) : index_(index), log_(std::move(log)) {}

void OpticalUnit::log_skipped(std::size_t n)
{
    if (n) log_("skipped " + std::to_string(n) + " byte(s) before a command");
}

void OpticalUnit::receive(const uint8_t* data, std::size_t size, double t, const AnswerSink& send)
{
    const auto result = framer_.push(data, size);
    for (const auto& frame : result.frames) {
        log_skipped(frame.skipped_before);
        const std::string hex = hex_bytes(frame.bytes.data(), frame.bytes.size());
        if (!frame.check_ok) {
            const uint8_t expected = sum8(frame.bytes.data(), frame.bytes.size() - 1);
            log_("bad frame dropped (checksum " + hex_bytes(&frame.bytes.back(), 1) + ", expected " +
                 hex_bytes(&expected, 1) + "): " + hex);
            continue;
        }
        const OpticalCommand command = decode_optical_command(frame.bytes);
        switch (command.type) {
        case OpticalCommand::Type::telemetry_request: {
            ++telemetry_;
            Answer answer;
            answer.bytes = encode_optical_answer(optical_telemetry_at(index_, t, commands_, telemetry_));
            answer.summary = "answer " + optical_telemetry_text(decode_optical_answer(answer.bytes));
            send(std::move(answer));
            break;
        }
        case OpticalCommand::Type::unknown_direct: log_("unknown direct command dropped: " + hex); break;
        case OpticalCommand::Type::direct:
        case OpticalCommand::Type::param:
        case OpticalCommand::Type::time:
            ++commands_;
            log_("command " + optical_command_text(command));
            break;
        }
    }
    log_skipped(result.skipped_after);
}

}  // namespace devsim
