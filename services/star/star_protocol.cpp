#include "star_protocol.h"

#include "byte_order.h"
#include "device_status.h"

#include <cstdio>
#include <cstring>

const char* star_type_name(int type) { return type == 0 ? "NANO" : "PICO"; }

namespace {

// Short frames: 74, group, sub-code, parameter, checksum. A parameter of
// -1 marks the fixed frames whose parameter byte is part of the code.
struct ShortFrame {
    uint8_t group;
    uint8_t sub;
    int param;  // fixed value, or -1 for the command's parameter byte
};

bool short_frame_for(SENSOR_Cmder code, ShortFrame& f)
{
    switch (code) {
    case 0: f = {0xA0, 0x00, 0x00}; return true;
    case 1: f = {0xA0, 0x00, 0x03}; return true;
    case 5: f = {0xA4, 0x01, 0x01}; return true;
    case 6: f = {0xA4, 0x02, 0x02}; return true;
    case 7: f = {0xA4, 0x04, 0x04}; return true;
    case 8: f = {0xA4, 0x08, 0x08}; return true;
    case 9: f = {0xA4, 0xF0, 0xF0}; return true;
    case 10: f = {0xA4, 0x0A, 0x0A}; return true;
    case 11: f = {0xA4, 0xFF, 0xFF}; return true;
    case 12: f = {0xA9, 0x60, -1}; return true;
    case 13: f = {0xA9, 0x30, -1}; return true;
    case 14: f = {0xA9, 0x90, -1}; return true;
    case 15: f = {0xAC, 0x03, -1}; return true;
    case 16: f = {0xAC, 0x05, -1}; return true;
    case 17: f = {0xAC, 0x06, -1}; return true;
    case 18: f = {0xAC, 0x09, -1}; return true;
    case 19: f = {0xAC, 0x0A, -1}; return true;
    case 20: f = {0xAC, 0x0F, -1}; return true;
    case 21: f = {0xAC, 0x1F, -1}; return true;
    case 22: f = {0xAC, 0x2F, -1}; return true;
    case 23: f = {0xAC, 0x3F, -1}; return true;
    case 24: f = {0xAC, 0x4F, -1}; return true;
    case 25: f = {0xAC, 0x0E, -1}; return true;
    case 26: f = {0xAC, 0x0B, -1}; return true;
    case 28: f = {0xA0, 0x00, 0x05}; return true;
    case 29: f = {0xA0, 0x00, 0x07}; return true;
    case 30: f = {0xA0, 0x00, 0x0A}; return true;
    case 31: f = {0xA0, 0x00, 0x0C}; return true;
    case 32: f = {0xA0, 0x00, 0x0E}; return true;
    case 33: f = {0xA1, 0x00, 0x00}; return true;
    case 34: f = {0xA1, 0x00, 0x05}; return true;
    default: return false;
    }
}

}  // namespace

StarFrameResult build_star_command(int type, SENSOR_Cmder code, uint8_t param, const uint8_t utc[5],
                                   uint8_t* out, std::size_t& len)
{
    len = 0;
    if ((code == STAR_CMD_NANO_QUERY && type != STAR_NANO) || (code == STAR_CMD_PICO_QUERY && type == STAR_NANO))
        return StarFrameResult::wrong_type;

    if (code == 4) {  // time frame
        out[0] = 0x74;
        out[1] = 0xA3;
        std::memcpy(out + 2, utc, 5);
        out[7] = sum8(out, 7);
        len = 8;
        return StarFrameResult::ok;
    }
    if (code == STAR_CMD_ESD) {  // ESD data frame, rebuilt on every send
        std::memset(out, 0, STAR_MAX_FRAME);
        out[0] = 0x74;
        out[1] = 0x56;
        out[2] = 0x00;
        out[3] = 0x01;
        std::memcpy(out + 4, utc, 5);
        out[9] = 0x01;
        out[76] = sum8(out, 76);
        len = 77;
        return StarFrameResult::ok;
    }
    ShortFrame f;
    if (!short_frame_for(code, f)) return StarFrameResult::unsupported;
    out[0] = 0x74;
    out[1] = f.group;
    out[2] = f.sub;
    out[3] = f.param < 0 ? param : uint8_t(f.param);
    out[4] = sum8(out, 4);
    len = 5;
    return StarFrameResult::ok;
}

std::size_t star_answer_length(int type, SENSOR_Cmder code)
{
    if (type == STAR_NANO && code == STAR_CMD_NANO_QUERY) return STAR_NANO_ANSWER_LEN;
    if (type == STAR_PICO && code == STAR_CMD_PICO_QUERY) return STAR_PICO_ANSWER_LEN;
    return 0;
}

bool star_header_ok(int type, const uint8_t* a)
{
    if (type == STAR_NANO) return a[0] == 0x8A && a[1] == 0xA1;
    return a[0] == 0xEB && a[1] == 0x50 && a[2] == 0x22;
}

int checksum_verify(const uint8_t* data, int len)
{
    if (data == nullptr || len < 2) return DEV_ERR_PARSE;
    uint8_t calculated = sum8(data, std::size_t(len - 1));
    uint8_t received = data[len - 1];
    if (calculated != received) {
        std::fprintf(stderr, "[ERROR] Checksum error: calculated=0x%02X, received=0x%02X\n", calculated, received);
        std::fflush(stderr);
        return DEV_ERR_CHECKSUM;
    }
    return DEV_OK;
}

namespace {
// value / 2^31 in single precision, as the sensors define their quaternion.
float quaternion_component(int32_t raw) { return float(raw) / 2147483648.0f; }
}  // namespace

int parse_nano_quaternion(const uint8_t* a, Brenvik_Frame* r)
{
    if (a == nullptr || r == nullptr) return DEV_ERR_PARSE;
    r->q0 = quaternion_component(int32_t(load_be32(a + 4)));
    r->q1 = quaternion_component(int32_t(load_be32(a + 8)));
    r->q2 = quaternion_component(int32_t(load_be32(a + 12)));
    r->q3 = quaternion_component(int32_t(load_be32(a + 16)));
    r->detected_stars = a[35];
    r->wx = float(int16_t(load_be16(a + 45))) * STAR_RATE_SCALE;
    r->wy = float(int16_t(load_be16(a + 47))) * STAR_RATE_SCALE;
    r->wz = float(int16_t(load_be16(a + 49))) * STAR_RATE_SCALE;
    return DEV_OK;
}

int parse_pico_quaternion(const uint8_t* a, Brenvik_Frame* r)
{
    if (a == nullptr || r == nullptr) return DEV_ERR_PARSE;
    // The pico sensor sends the scalar component last.
    r->q0 = quaternion_component(int32_t(load_le32(a + 16)));
    r->q1 = quaternion_component(int32_t(load_le32(a + 4)));
    r->q2 = quaternion_component(int32_t(load_le32(a + 8)));
    r->q3 = quaternion_component(int32_t(load_le32(a + 12)));
    r->detected_stars = uint8_t(a[34] >> 1);
    r->wx = 0.0f;
    r->wy = 0.0f;
    r->wz = 0.0f;
    return DEV_OK;
}
