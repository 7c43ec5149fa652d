#include "rate_sensor.h"

#include <cmath>
#include <utility>

namespace devsim {

RateVector rate_motion_at(unsigned index, double t)
{
    constexpr double pi = 3.14159265358979323846;
    constexpr double offset[3] = {0.02, -0.015, 0.01};
    RateVector r;
    for (int a = 0; a < 3; ++a) {
        const double phase = double(a) * 2.0 * pi / 3.0 + double(index % 16) * 1.1;
        r[a] = offset[a] + RATE_SWING_AMPLITUDE * std::sin(2.0 * pi * t / RATE_SWING_PERIOD_S + phase);
    }
    return r;
}

RateSensor::RateSensor(const RateCodec& codec, unsigned index, LogSink log, RateSource source)
    : codec_(codec), index_(index), kind_(codec.kind), log_(std::move(log)), source_(std::move(source))
{
}

void RateSensor::log_skipped()
{
    const std::size_t n = framer_.take_skipped();
    if (n) log_("skipped " + std::to_string(n) + " byte(s) outside a request");
}

void RateSensor::receive(const uint8_t* data, std::size_t size, double t, const AnswerSink& send)
{
    for (std::size_t i = 0; i < size; ++i) {
        if (!framer_.push(data[i])) continue;
        // What came before this request is logged before its answer.
        log_skipped();
        Answer answer;
        answer.bytes = codec_.encode(source_ ? source_(t) : rate_motion_at(index_, t));
        const auto reading = codec_.decode(answer.bytes);
        answer.summary = reading ? "answer " + rate_reading_text(*reading) : "answer not decodable";
        send(std::move(answer));
    }
    log_skipped();
}

}  // namespace devsim
