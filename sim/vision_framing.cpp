#include "vision_framing.h"

#include "frame_fields.h"
#include "sim_text.h"

namespace devsim {
namespace {

constexpr std::size_t KIND_AT = 2;
constexpr std::size_t RESERVED_AT = 3;
constexpr std::size_t LENGTH_AT = 4;
constexpr std::size_t BODY_AT = 5;

bool known_length(uint8_t kind, uint8_t n)
{
    if (kind == VISION_KIND_HEALTH) return n == 1;
    return n == VISION_PARAM_LENGTH || n == VISION_TIME_LENGTH || n == VISION_QUATERNION_LENGTH;
}

long vision_shape(const uint8_t* b, std::size_t n)
{
    if (b[0] != VISION_SYNC[0]) return FRAME_NONE;
    if (n > 1 && b[1] != VISION_SYNC[1]) return FRAME_NONE;
    if (n > KIND_AT && b[KIND_AT] != VISION_KIND_HEALTH && b[KIND_AT] != VISION_KIND_COMMAND) return FRAME_NONE;
    if (n > RESERVED_AT && b[RESERVED_AT] != 0x00) return FRAME_NONE;
    if (n <= LENGTH_AT) return FRAME_OPEN;
    if (!known_length(b[KIND_AT], b[LENGTH_AT])) return FRAME_NONE;
    return long(VISION_FRAME_OVERHEAD + b[LENGTH_AT]);
}

bool vision_check(const uint8_t* b, std::size_t n)
{
    return vision_frame_checksum(b, n) == b[n - 1];
}

bool param_takes_byte(unsigned n)
{
    return (n >= 1 && n <= 5) || (n >= 10 && n <= 14);
}

}  // namespace

const Bytes& vision_health_query()
{
    static const Bytes query = {0xEB, 0x90, 0x0F, 0x00, 0x01, 0xA5, 0xB5};
    return query;
}

uint8_t vision_frame_checksum(const uint8_t* frame, std::size_t size)
{
    return size < 3 ? 0 : sum8(frame + KIND_AT, size - 3);
}

VisionCommand decode_vision_command(const Bytes& f)
{
    VisionCommand c;
    if (f == vision_health_query()) {
        c.type = VisionCommand::Type::health_query;
        return c;
    }
    if (f.size() < VISION_FRAME_OVERHEAD || f[KIND_AT] != VISION_KIND_COMMAND ||
        f.size() != VISION_FRAME_OVERHEAD + f[LENGTH_AT])
        return c;
    const uint8_t* body = &f[BODY_AT];
    // Every command repeats its selector in the first two body bytes.
    if (body[0] != body[1]) return c;
    const unsigned selector = body[0];
    switch (f[LENGTH_AT]) {
    case VISION_PARAM_LENGTH:
        if (param_takes_byte(selector) && body[3] == 0 && body[4] == 0 && body[5] == 0) {
            c.type = VisionCommand::Type::param_byte;
            c.number = selector;
            c.byte_value = body[2];
        } else if (selector == 6) {
            c.type = VisionCommand::Type::param_float;
            c.number = selector;
            c.float_value = be::get_float(body + 2);
        }
        break;
    case VISION_TIME_LENGTH:
        if (selector == 8) {
            c.type = VisionCommand::Type::time;
            c.seconds = be::get32(body + 2);
            c.milliseconds = be::get16(body + 6);
        }
        break;
    case VISION_QUATERNION_LENGTH:
        if (selector == 7) {
            c.type = VisionCommand::Type::quaternion;
            for (std::size_t i = 0; i < 4; ++i) c.q[i] = be::get_float(body + 2 + 4 * i);
            c.extra = body[18];
        }
        break;
    default: break;
    }
    return c;
}

std::string vision_command_text(const VisionCommand& c)
{
    switch (c.type) {
    case VisionCommand::Type::health_query: return "health query";
    case VisionCommand::Type::param_byte:
        return "param " + std::to_string(c.number) + " value=" + std::to_string(c.byte_value);
    case VisionCommand::Type::param_float:
        return "param " + std::to_string(c.number) + " value=" + float_text(c.float_value);
    case VisionCommand::Type::quaternion:
        return "quaternion q0=" + float_text(c.q[0]) + " q1=" + float_text(c.q[1]) + " q2=" + float_text(c.q[2]) +
               " q3=" + float_text(c.q[3]) + " extra=" + hex_bytes(&c.extra, 1);
    case VisionCommand::Type::time:
        return "time sec=" + std::to_string(c.seconds) + " ms=" + std::to_string(c.milliseconds);
    case VisionCommand::Type::unknown: return "not understood";
    }
    return "";
}

FrameRule vision_frame_rule()
{
    return {vision_shape, vision_check};
}

}  // namespace devsim
