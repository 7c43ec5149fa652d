#include "optical_framing.h"

#include "frame_fields.h"
#include "sim_text.h"

#include <cstdio>

namespace devsim {
namespace {

long optical_shape(const uint8_t* b, std::size_t n)
{
    if (b[0] != OPTICAL_DIRECT_SYNC && b[0] != OPTICAL_DATA_SYNC) return FRAME_NONE;
    if (n < 2) return FRAME_OPEN;
    if (b[1] != OPTICAL_SYNC_SECOND) return FRAME_NONE;
    if (b[0] == OPTICAL_DIRECT_SYNC) {
        // No checksum: the trailer is what tells a direct frame from noise.
        if (n >= OPTICAL_DIRECT_FRAME && b[OPTICAL_DIRECT_FRAME - 1] != OPTICAL_DIRECT_END) return FRAME_NONE;
        return long(OPTICAL_DIRECT_FRAME);
    }
    if (n < 3) return FRAME_OPEN;
    if (b[2] == OPTICAL_TIME_CODE) return long(OPTICAL_TIME_FRAME);
    if (b[2] >= 1 && b[2] <= OPTICAL_PARAM_MAX) return long(OPTICAL_PARAM_FRAME);
    return FRAME_NONE;
}

bool optical_check(const uint8_t* b, std::size_t n)
{
    if (b[0] == OPTICAL_DIRECT_SYNC) return true;
    return sum8(b, n - 1) == b[n - 1];
}

std::string hex2(uint8_t b)
{
    return hex_bytes(&b, 1);
}

}  // namespace

const Bytes& optical_telemetry_request()
{
    static const Bytes request = {0xCD, 0x90, 0x06, 0x00, 0xFF};
    return request;
}

bool optical_direct_known(uint8_t group, uint8_t action)
{
    switch (group) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04: return action == 0x00 || action == 0x01 || action == 0x10 || action == 0x11;
    case 0x05:
    case 0x07:
    case 0x08:
    case 0x09: return action == 0x00 || action == 0x01;
    case 0x06: return action == 0x00;  // the telemetry request
    default: return false;
    }
}

OpticalCommand decode_optical_command(const Bytes& f)
{
    OpticalCommand c;
    if (f.size() == OPTICAL_DIRECT_FRAME && f[0] == OPTICAL_DIRECT_SYNC) {
        c.group = f[2];
        c.action = f[3];
        if (f == optical_telemetry_request())
            c.type = OpticalCommand::Type::telemetry_request;
        else if (optical_direct_known(c.group, c.action))
            c.type = OpticalCommand::Type::direct;
        else
            c.type = OpticalCommand::Type::unknown_direct;
    } else if (f.size() == OPTICAL_TIME_FRAME && f[2] == OPTICAL_TIME_CODE) {
        c.type = OpticalCommand::Type::time;
        c.seconds = be::get32(&f[3]);
        c.milliseconds = be::get16(&f[7]);
    } else if (f.size() == OPTICAL_PARAM_FRAME) {
        c.type = OpticalCommand::Type::param;
        c.number = f[2];
        c.value = be::get32(&f[3]);
    }
    return c;
}

std::string optical_command_text(const OpticalCommand& c)
{
    switch (c.type) {
    case OpticalCommand::Type::telemetry_request: return "telemetry request";
    case OpticalCommand::Type::direct:
    case OpticalCommand::Type::unknown_direct: return "direct " + hex2(c.group) + " " + hex2(c.action);
    case OpticalCommand::Type::param: {
        char value[16];
        std::snprintf(value, sizeof value, "0x%08X", unsigned(c.value));
        return "param " + std::to_string(c.number) + " value=" + value;
    }
    case OpticalCommand::Type::time:
        return "time sec=" + std::to_string(c.seconds) + " ms=" + std::to_string(c.milliseconds);
    }
    return "";
}

FrameRule optical_frame_rule()
{
    return {optical_shape, optical_check};
}

}  // namespace devsim
