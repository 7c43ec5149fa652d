// The vision camera unit: answers its health query, logs the commands it
// takes and answers nothing else.
#pragma once

#include "device.h"
#include "vision_codec.h"
#include "vision_framing.h"

#include <string>

namespace devsim {

// The simulated scene: a far line of sight that closes at VISION_FAR_SPEED
// from VISION_FAR_START to VISION_FAR_END and opens again, a close one
// swinging about VISION_CLOSE_MEAN, recognition angles swinging within
// VISION_ANGLE_SWING degrees.
constexpr double VISION_FAR_START = 200.0;    // m
constexpr double VISION_FAR_END = 60.0;       // m
constexpr double VISION_FAR_SPEED = 0.1;      // m/s
constexpr double VISION_CLOSE_MEAN = 20.0;    // m
constexpr double VISION_CLOSE_SWING = 1.5;    // m
constexpr double VISION_CLOSE_PERIOD_S = 45.0;
constexpr double VISION_ANGLE_SWING = 8.0;    // degrees
constexpr double VISION_ALPHA_PERIOD_S = 60.0;
constexpr double VISION_BETA_PERIOD_S = 75.0;

// What the unit on line `index` sees at `t` (seconds since the start).
// The line-of-sight flags are 3 (tracking) most seconds, with the odd
// second of 2, 1 or 0; each result's state changes every few seconds.
VisionTelemetry vision_telemetry_at(unsigned index, double t);

class VisionUnit : public Device {
public:
    VisionUnit(unsigned index, LogSink log);

    const std::string& kind() const override { return kind_; }
    int bits_per_byte() const override { return 11; }  // 8 data bits, odd parity, 1 stop bit
    void receive(const uint8_t* data, std::size_t size, double t, const AnswerSink& send) override;
    void reset_input() override { framer_.reset(); }

private:
    void log_skipped(std::size_t n);

    unsigned index_;
    std::string kind_ = "vision";
    LogSink log_;
    VisionCommandFramer framer_;
};

}  // namespace devsim
