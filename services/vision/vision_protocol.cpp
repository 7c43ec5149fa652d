#include "vision_protocol.h"

#include "byte_order.h"

#include <cmath>
#include <cstring>

namespace {

constexpr uint8_t KIND_COMMAND = 0x1E;

// Header, kind, 00, N, then the body; the checksum goes last.
template <std::size_t L>
std::array<uint8_t, L> command_frame(const uint8_t* body, uint8_t n)
{
    std::array<uint8_t, L> f{};
    static_assert(L >= 6, "frame too short");
    f[0] = 0xEB;
    f[1] = 0x90;
    f[2] = KIND_COMMAND;
    f[3] = 0x00;
    f[4] = n;
    std::memcpy(&f[5], body, n);
    f[L - 1] = sum8(&f[2], L - 3);
    return f;
}

int32_t truncate_to_int32(float value)
{
    if (std::isnan(value)) return 0;
    double t = std::trunc(double(value));
    if (t < -2147483648.0 || t > 2147483647.0) return 0;
    return int32_t(t);
}

}  // namespace

bool vision_param_frame(uint8_t number, float value, VisionParamFrame& frame)
{
    bool known = (number >= 1 && number <= 6) || (number >= 10 && number <= 14);
    if (!known) return false;
    uint8_t body[6] = {number, number, 0, 0, 0, 0};
    if (number == 6) {
        store_be_float(&body[2], value);
    } else {
        body[2] = uint8_t(uint32_t(truncate_to_int32(value)) & 0xFFu);
    }
    frame = command_frame<12>(body, 6);
    return true;
}

VisionQuaternionFrame vision_quaternion_frame(const float quaternion[4], uint8_t extra)
{
    uint8_t body[19];
    body[0] = body[1] = VISION_CMD_QUATERNION;
    for (int i = 0; i < 4; ++i) store_be_float(&body[2 + 4 * i], quaternion[i]);
    body[18] = extra;
    return command_frame<25>(body, 19);
}

VisionTimeFrame vision_time_frame(uint32_t seconds, uint16_t milliseconds)
{
    uint8_t body[8];
    body[0] = body[1] = VISION_CMD_TIME;
    store_be32(&body[2], seconds);
    store_be16(&body[6], milliseconds);
    return command_frame<14>(body, 8);
}

bool vision_header_ok(const uint8_t* a)
{
    return std::memcmp(a, VISION_ANSWER_HEADER, sizeof VISION_ANSWER_HEADER) == 0;
}

uint8_t vision_answer_sum(const uint8_t* a) { return sum8(a + 2, 167); }

void vision_convert(const uint8_t* a, VISION_Info_Frame* r)
{
    r->line_of_sight_flag_far = a[43];
    r->line_of_sight_flag_close = a[44];
    r->Line_Distance_far = load_be_float(a + 45);
    r->Line_Distance_close = load_be_float(a + 49);
    RecResult* results[6] = {&r->Left_Sail_far,   &r->Right_Sail_far,   &r->Self_plat_far,
                             &r->Left_Sail_close, &r->Right_Sail_close, &r->Self_plat_close};
    for (int i = 0; i < 6; ++i) {
        const uint8_t* p = a + 59 + 9 * i;
        RecResult v{p[0], load_be_float(p + 1), load_be_float(p + 5)};
        std::memcpy(results[i], &v, sizeof v);
    }
}
