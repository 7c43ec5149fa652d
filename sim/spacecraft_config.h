// The spacecraft devsim's devices read when it runs with --spacecraft: one
// JSON file (fields and units in README.md, "Spacecraft model"), read into
// plain values here and checked before anything starts.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace devsim {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<Vec3, 3>;
// Scalar first: q0, q1, q2, q3.
using Quat = std::array<double, 4>;

// The longest propagation step the model takes.
constexpr double MAX_MODEL_STEP_S = 0.01;

struct WheelConfig {
    Vec3 axis{1.0, 0.0, 0.0};   // spin axis in the body frame, unit length
    double inertia = 0.01;       // kg m^2 about the spin axis
    double max_torque = 0.1;     // N m, either way, in both modes
    double max_speed_rpm = 6000.0;
};

// A sensor line's mounting and errors; a line the file does not name gets
// these defaults (aligned with the body, no noise, no bias).
struct SensorConfig {
    Quat mounting{1.0, 0.0, 0.0, 0.0};  // body -> sensor
    double noise_arcsec = 0.0;           // star sensors: 1-sigma per axis
    double noise_deg_s = 0.0;            // gyro, MEMS: 1-sigma per axis and answer
    Vec3 bias_deg_s{0.0, 0.0, 0.0};      // gyro, MEMS: added to every answer
};

struct SpacecraftConfig {
    Mat3 inertia{{{10.0, 0.0, 0.0}, {0.0, 12.0, 0.0}, {0.0, 0.0, 8.0}}};  // kg m^2, wheels included
    double step_s = MAX_MODEL_STEP_S;
    uint64_t seed = 1;
    Quat attitude{1.0, 0.0, 0.0, 0.0};  // inertial -> body
    Vec3 rates{0.0, 0.0, 0.0};          // rad/s, body frame
    std::vector<WheelConfig> wheels;
    Vec3 disturbance_torque{0.0, 0.0, 0.0};  // N m, body frame
    double gravity_gradient_rate = 0.0;      // orbit mean motion, rad/s; 0: no gravity gradient
    std::map<std::string, SensorConfig> sensors;  // by line name

    const SensorConfig& sensor(const std::string& line) const;
};

// Reads and checks the JSON text. On failure `error` says what is wrong
// and where ("wheels[1].axis: ...").
bool parse_spacecraft_config(const std::string& text, SpacecraftConfig& config, std::string& error);

// The same for a file; the error then starts with the path.
bool load_spacecraft_config(const std::string& path, SpacecraftConfig& config, std::string& error);

}  // namespace devsim
