#include "mems_codec.h"

namespace devsim {

float mems_axis_value(int axis, int32_t count, uint16_t time)
{
    const float scaled = 1024.0f * float(count);
    const float span = MEMS_K[axis] * float(time == 0 ? 1 : time);
    const float turned = scaled / span;
    const float bias = MEMS_W0[axis] / 3600.0f;
    return turned - bias;
}

Bytes encode_mems_answer(const RateVector& rates)
{
    RateFields f;
    for (int a = 0; a < 3; ++a) {
        f.count[a] = rate_counts(rates[a], MEMS_K[a], MEMS_W0[a], MEMS_INTEGRAL_TIME, MEMS_COUNT_UNIT);
        f.time[a] = MEMS_INTEGRAL_TIME;
    }
    return build_rate_answer(MEMS_ANSWER_SIZE, f);
}

std::optional<RateReading> decode_mems_answer(const Bytes& answer)
{
    if (answer.size() != MEMS_ANSWER_SIZE) return std::nullopt;
    const auto f = read_rate_fields(answer);
    if (!f) return std::nullopt;
    RateReading r;
    for (int a = 0; a < 3; ++a) r[a] = mems_axis_value(a, f->count[a], f->time[a]);
    return r;
}

const RateCodec& mems_codec()
{
    static const RateCodec codec = {"mems", MEMS_ANSWER_SIZE, &encode_mems_answer, &decode_mems_answer};
    return codec;
}

}  // namespace devsim
