// The laser-ranging unit: answers its telemetry request, counts and logs
// the commands it takes and answers nothing else.
#pragma once

#include "device.h"
#include "optical_codec.h"
#include "optical_framing.h"

#include <string>

namespace devsim {

// The simulated scene: a far target that closes at OPTICAL_FAR_SPEED from
// OPTICAL_FAR_START down to OPTICAL_FAR_END and then opens again, a near
// target swinging about OPTICAL_NEAR_MEAN, and the two mirrors swinging
// sinusoidally.
constexpr double OPTICAL_FAR_START = 1500.0;        // m
constexpr double OPTICAL_FAR_END = 500.0;           // m
constexpr double OPTICAL_FAR_SPEED = 0.5;           // m/s
constexpr double OPTICAL_NEAR_MEAN = 50.0;          // m
constexpr double OPTICAL_NEAR_SWING = 2.0;          // m
constexpr double OPTICAL_NEAR_PERIOD_S = 60.0;
constexpr double OPTICAL_AZIMUTH_SWING = 3000.0;    // arc-seconds
constexpr double OPTICAL_AZIMUTH_PERIOD_S = 120.0;
constexpr double OPTICAL_PITCH_SWING = 2400.0;      // arc-seconds
constexpr double OPTICAL_PITCH_PERIOD_S = 90.0;

// What the unit on line `index` measures at `t` (seconds since the start),
// with `commands` and `telemetry` as the counts to report. The ranging
// time is `t` itself, to the nearest millisecond.
OpticalTelemetry optical_telemetry_at(unsigned index, double t, uint8_t commands, uint8_t telemetry);

class OpticalUnit : public Device {
public:
    OpticalUnit(unsigned index, LogSink log);

    const std::string& kind() const override { return kind_; }
    int bits_per_byte() const override { return 11; }  // 8 data bits, odd parity, 1 stop bit
    void receive(const uint8_t* data, std::size_t size, double t, const AnswerSink& send) override;
    void reset_input() override { framer_.reset(); }

    // Commands taken and answers produced so far, each modulo 256.
    uint8_t command_count() const { return commands_; }
    uint8_t telemetry_count() const { return telemetry_; }

private:
    void log_skipped(std::size_t n);

    unsigned index_;
    std::string kind_ = "optical";
    LogSink log_;
    OpticalCommandFramer framer_;
    uint8_t commands_ = 0;
    uint8_t telemetry_ = 0;
};

}  // namespace devsim
