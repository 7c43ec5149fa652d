// A gyro or MEMS unit: answers every 55 68 request with the rates of the
// moment and ignores everything else (logging how many bytes it skipped).
#pragma once

#include "device.h"
#include "rate_framing.h"

#include <functional>
#include <string>

namespace devsim {

// Amplitude and period of the simulated rate swing on each axis.
constexpr double RATE_SWING_AMPLITUDE = 0.5;
constexpr double RATE_SWING_PERIOD_S = 90.0;

// The rates a unit on line `index` reports at time `t` (seconds): on each
// axis a small constant offset plus a slow sinusoid of RATE_SWING_AMPLITUDE,
// the axes a third of a turn apart and each line at its own phase.
RateVector rate_motion_at(unsigned index, double t);

// The rates a unit reports at time `t`, when not rate_motion_at().
using RateSource = std::function<RateVector(double t)>;

class RateSensor : public Device {
public:
    RateSensor(const RateCodec& codec, unsigned index, LogSink log, RateSource source = nullptr);

    const std::string& kind() const override { return kind_; }
    int bits_per_byte() const override { return 11; }  // 8 data bits, odd parity, 1 stop bit
    void receive(const uint8_t* data, std::size_t size, double t, const AnswerSink& send) override;
    void reset_input() override { framer_.reset(); }

private:
    void log_skipped();

    const RateCodec& codec_;
    unsigned index_;
    std::string kind_;
    LogSink log_;
    RateRequestFramer framer_;
    RateSource source_;
};

}  // namespace devsim
