// The spacecraft as devsim's devices see it: the model (spacecraft.h), what
// each sensor line reads from it (through its mounting, with its noise and
// bias), the wheel lines' motors, and the truth log.
#pragma once

#include "rate_framing.h"
#include "spacecraft.h"
#include "star_codec.h"
#include "wheel.h"

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>

namespace devsim {

// Truth log records per second.
constexpr double TRUTH_LOG_HZ = 10.0;

class TruthModel {
public:
    explicit TruthModel(const SpacecraftConfig& config);

    // Writes a JSON line of the truth (truth_record) at t = 0, 0.1, 0.2, ...
    // as the model passes those times.
    bool open_log(const std::string& path, std::string& error);

    // Brings the model to `t`, writing the log records due on the way.
    void advance(double t);

    // When the next log record is due; empty without a log.
    std::optional<double> next_log_time() const;

    Spacecraft& craft() { return craft_; }
    const Spacecraft& craft() const { return craft_; }

    // What a star sensor on line `line` reports at `t`: the attitude of its
    // axes (q (x) mounting, with its noise), the body rates in its axes
    // (rad/s, at NANO_TRUTH_RATE_SCALE counts), and the star count of
    // star_attitude_at(`index`, t).
    StarAttitude star_attitude(const std::string& line, unsigned index, double t);

    // What a gyro or MEMS unit on line `line` measures at `t`: the body
    // rates in its axes, deg/s, plus its bias and noise.
    RateVector rates_deg_s(const std::string& line, double t);

    // The motor of the model's wheel `k`, for a wheel line.
    std::unique_ptr<WheelMotor> wheel_motor(std::size_t k);

private:
    double gaussian(const std::string& line);
    void write_record();

    SpacecraftConfig config_;
    Spacecraft craft_;
    std::map<std::string, std::mt19937_64> noise_;  // one sequence per line
    std::ofstream log_;
    bool logging_ = false;
    uint64_t records_ = 0;
};

// {"t": s, "q": [q0, q1, q2, q3], "w": [wx, wy, wz], "wheel_rpm": [...],
//  "h": [hx, hy, hz], "h_norm": n}, without a line end.
std::string truth_record(const Spacecraft& craft);

}  // namespace devsim
