#include "gyro_codec.h"

namespace devsim {

float gyro_axis_value(int axis, int32_t count, uint16_t time)
{
    const float scaled = 1000.0f * float(count);
    const float per_time = scaled / float(time);
    const float turned = per_time / GYRO_K[axis];
    const float bias = GYRO_W0[axis] / 3600.0f;
    return turned - bias;
}

Bytes encode_gyro_answer(const RateVector& rates)
{
    RateFields f;
    for (int a = 0; a < 3; ++a) {
        f.count[a] = rate_counts(rates[a], GYRO_K[a], GYRO_W0[a], GYRO_INTEGRAL_TIME, GYRO_COUNT_UNIT);
        f.time[a] = GYRO_INTEGRAL_TIME;
    }
    return build_rate_answer(GYRO_ANSWER_SIZE, f);
}

std::optional<RateReading> decode_gyro_answer(const Bytes& answer)
{
    if (answer.size() != GYRO_ANSWER_SIZE) return std::nullopt;
    const auto f = read_rate_fields(answer);
    if (!f) return std::nullopt;
    for (uint16_t t : f->time)
        if (t == 0) return std::nullopt;
    RateReading r;
    for (int a = 0; a < 3; ++a) r[a] = gyro_axis_value(a, f->count[a], f->time[a]);
    return r;
}

const RateCodec& gyro_codec()
{
    static const RateCodec codec = {"gyro", GYRO_ANSWER_SIZE, &encode_gyro_answer, &decode_gyro_answer};
    return codec;
}

}  // namespace devsim
