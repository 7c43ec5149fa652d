// A nano or pico star sensor: answers its own attitude query, logs every
// other command frame and answers nothing else.
#pragma once

#include "device.h"
#include "star_codec.h"
#include "star_framing.h"

#include <functional>
#include <string>

namespace devsim {

// Rotation rate of the simulated attitude, degrees per second.
constexpr double STAR_ROTATION_DEG_PER_S = 0.5;

// The attitude a sensor on line `index` reports at time `t` (seconds): a
// constant-rate rotation about a fixed axis, each line at its own phase, and
// a star count that walks up and down between 5 and 20.
StarAttitude star_attitude_at(unsigned index, double t);

// What a sensor reports at time `t`, when not star_attitude_at().
using StarSource = std::function<StarAttitude(double t)>;

class StarSensor : public Device {
public:
    StarSensor(StarType type, unsigned index, LogSink log, StarSource source = nullptr);

    const std::string& kind() const override { return kind_; }
    int bits_per_byte() const override { return 10; }  // 8N1
    void receive(const uint8_t* data, std::size_t size, double t, const AnswerSink& send) override;
    void reset_input() override { framer_.reset(); }

private:
    StarType type_;
    unsigned index_;
    std::string kind_;
    LogSink log_;
    StarCommandFramer framer_;
    StarSource source_;
};

}  // namespace devsim
