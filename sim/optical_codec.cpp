#include "optical_codec.h"

#include "frame_fields.h"
#include "sim_text.h"

#include <cstdio>

namespace devsim {
namespace {

constexpr std::size_t SEQUENCE_AT = 2;
constexpr std::size_t FAR_AT = 3;
constexpr std::size_t NEAR_AT = 7;
constexpr std::size_t AZIMUTH_AT = 11;
constexpr std::size_t PITCH_AT = 13;
constexpr std::size_t COMMANDS_AT = 21;
constexpr std::size_t TELEMETRY_AT = 22;
constexpr std::size_t SECONDS_AT = 57;
constexpr std::size_t MILLISECONDS_AT = 61;
constexpr std::size_t CHECKSUM_AT = OPTICAL_ANSWER_SIZE - 1;

}  // namespace

uint8_t optical_answer_checksum(const Bytes& answer)
{
    return sum8(answer.data() + 2, CHECKSUM_AT - 2);
}

Bytes encode_optical_answer(const OpticalTelemetry& t)
{
    Bytes b(OPTICAL_ANSWER_SIZE);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i);
    b[0] = OPTICAL_ANSWER_SYNC[0];
    b[1] = OPTICAL_ANSWER_SYNC[1];
    b[SEQUENCE_AT] = t.telemetry;
    be::put_float(&b[FAR_AT], t.far_m);
    be::put_float(&b[NEAR_AT], t.near_m);
    be::put16(&b[AZIMUTH_AT], uint16_t(t.azimuth_arcsec));
    be::put16(&b[PITCH_AT], uint16_t(t.pitch_arcsec));
    b[COMMANDS_AT] = t.commands;
    b[TELEMETRY_AT] = t.telemetry;
    be::put32(&b[SECONDS_AT], t.seconds);
    be::put16(&b[MILLISECONDS_AT], t.milliseconds);
    b[CHECKSUM_AT] = optical_answer_checksum(b);
    return b;
}

OpticalTelemetry decode_optical_answer(const Bytes& b)
{
    OpticalTelemetry t;
    if (b.size() != OPTICAL_ANSWER_SIZE) return t;
    t.far_m = be::get_float(&b[FAR_AT]);
    t.near_m = be::get_float(&b[NEAR_AT]);
    t.azimuth_arcsec = int16_t(be::get16(&b[AZIMUTH_AT]));
    t.pitch_arcsec = int16_t(be::get16(&b[PITCH_AT]));
    t.commands = b[COMMANDS_AT];
    t.telemetry = b[TELEMETRY_AT];
    t.seconds = be::get32(&b[SECONDS_AT]);
    t.milliseconds = be::get16(&b[MILLISECONDS_AT]);
    return t;
}

std::string optical_telemetry_text(const OpticalTelemetry& t)
{
    char ms[8];
    std::snprintf(ms, sizeof ms, "%03u", unsigned(t.milliseconds));
    return "far=" + float_text(t.far_m) + " near=" + float_text(t.near_m) +
           " azimuth=" + std::to_string(t.azimuth_arcsec) + " pitch=" + std::to_string(t.pitch_arcsec) +
           " cmds=" + std::to_string(t.commands) + " tlm=" + std::to_string(t.telemetry) +
           " time=" + std::to_string(t.seconds) + "." + ms;
}

}  // namespace devsim
