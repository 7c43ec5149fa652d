#include "star_sensor.h"

#include "sim_text.h"

#include <cmath>
#include <utility>

namespace devsim {

StarAttitude star_attitude_at(unsigned index, double t)
{
    constexpr double pi = 3.14159265358979323846;
    StarAttitude a;
    // One fixed axis for every line, normalised (1, 2, 3).
    const double n = std::sqrt(14.0);
    a.axis[0] = 1.0 / n;
    a.axis[1] = 2.0 / n;
    a.axis[2] = 3.0 / n;

    const double phase = double(index % 8) * 40.0;  // degrees
    const double angle = (phase + STAR_ROTATION_DEG_PER_S * t) * pi / 180.0;
    const double s = std::sin(angle / 2.0);
    a.q[0] = std::cos(angle / 2.0);
    for (int i = 0; i < 3; ++i) a.q[i + 1] = a.axis[i] * s;

    // One step every two seconds along 5, 6, ..., 20, 19, ..., 6, 5, ...
    const long step = long(std::floor(t / 2.0)) + 5L * long(index);
    const long k = ((step % 30) + 30) % 30;
    a.stars = 5 + int(k < 16 ? k : 30 - k);
    return a;
}

StarSensor::StarSensor(StarType type, unsigned index, LogSink log, StarSource source)
    : type_(type), index_(index), kind_(star_type_name(type)), log_(std::move(log)), source_(std::move(source))
{
}

void StarSensor::receive(const uint8_t* data, std::size_t size, double t, const AnswerSink& send)
{
    const auto result = framer_.push(data, size);
    if (result.skipped) log_("skipped " + std::to_string(result.skipped) + " byte(s) before a command");

    const StarType other = type_ == StarType::nano ? StarType::pico : StarType::nano;
    for (const auto& frame : result.frames) {
        const std::string hex = hex_bytes(frame.bytes.data(), frame.bytes.size());
        if (!frame.checksum_ok) {
            const uint8_t expected = star_checksum(frame.bytes.data(), frame.bytes.size() - 1);
            log_("bad frame dropped (checksum " + hex_bytes(&frame.bytes.back(), 1) + ", expected " +
                 hex_bytes(&expected, 1) + "): " + hex);
            continue;
        }
        log_("command: " + hex);
        if (frame.bytes == star_attitude_query(type_)) {
            Answer answer;
            answer.bytes = encode_star_answer(type_, source_ ? source_(t) : star_attitude_at(index_, t));
            answer.summary = "answer " + star_reading_text(decode_star_answer(type_, answer.bytes));
            send(std::move(answer));
        } else if (frame.bytes == star_attitude_query(other)) {
            log_(std::string("not answered: ") + star_type_name(other) + " attitude query on a " + kind_ +
                 " sensor");
        }
    }
}

}  // namespace devsim
