#include "vision_codec.h"

#include "frame_fields.h"
#include "sim_text.h"

namespace devsim {
namespace {

constexpr std::size_t FAR_FLAG_AT = 43;
constexpr std::size_t CLOSE_FLAG_AT = 44;
constexpr std::size_t FAR_AT = 45;
constexpr std::size_t CLOSE_AT = 49;
constexpr std::size_t TARGETS_AT = 59;
constexpr std::size_t TARGET_SIZE = 9;
constexpr std::size_t CHECKSUM_AT = VISION_ANSWER_SIZE - 1;

}  // namespace

const char* const VISION_TARGET_NAMES[VISION_TARGETS] = {"lf", "rf", "pf", "lc", "rc", "pc"};

uint8_t vision_answer_checksum(const Bytes& answer)
{
    return sum8(answer.data() + 2, CHECKSUM_AT - 2);
}

Bytes encode_vision_answer(const VisionTelemetry& t)
{
    Bytes b(VISION_ANSWER_SIZE);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i);
    for (std::size_t i = 0; i < 3; ++i) b[i] = VISION_ANSWER_HEADER[i];
    b[FAR_FLAG_AT] = t.far_flag;
    b[CLOSE_FLAG_AT] = t.close_flag;
    be::put_float(&b[FAR_AT], t.far_m);
    be::put_float(&b[CLOSE_AT], t.close_m);
    for (std::size_t i = 0; i < VISION_TARGETS; ++i) {
        uint8_t* at = &b[TARGETS_AT + TARGET_SIZE * i];
        at[0] = t.targets[i].state;
        be::put_float(at + 1, t.targets[i].alpha_deg);
        be::put_float(at + 5, t.targets[i].beta_deg);
    }
    b[CHECKSUM_AT] = vision_answer_checksum(b);
    return b;
}

VisionTelemetry decode_vision_answer(const Bytes& b)
{
    VisionTelemetry t;
    if (b.size() != VISION_ANSWER_SIZE) return t;
    t.far_flag = b[FAR_FLAG_AT];
    t.close_flag = b[CLOSE_FLAG_AT];
    t.far_m = be::get_float(&b[FAR_AT]);
    t.close_m = be::get_float(&b[CLOSE_AT]);
    for (std::size_t i = 0; i < VISION_TARGETS; ++i) {
        const uint8_t* at = &b[TARGETS_AT + TARGET_SIZE * i];
        t.targets[i].state = at[0];
        t.targets[i].alpha_deg = be::get_float(at + 1);
        t.targets[i].beta_deg = be::get_float(at + 5);
    }
    return t;
}

std::string vision_telemetry_text(const VisionTelemetry& t)
{
    std::string text = "far_flag=" + std::to_string(t.far_flag) + " close_flag=" + std::to_string(t.close_flag) +
                       " far=" + float_text(t.far_m) + " close=" + float_text(t.close_m);
    for (std::size_t i = 0; i < VISION_TARGETS; ++i)
        text += std::string(" ") + VISION_TARGET_NAMES[i] + "=" + std::to_string(t.targets[i].state) + "," +
                float_text(t.targets[i].alpha_deg) + "," + float_text(t.targets[i].beta_deg);
    return text;
}

}  // namespace devsim
