// A reaction wheel: streams a status frame at a fixed rate without being
// asked, and follows the speed and torque commands addressed to its
// hardware id.
#pragma once

#include "device.h"
#include "wheel_codec.h"

#include <optional>
#include <string>

namespace devsim {

constexpr double WHEEL_DEFAULT_HZ = 10.0;
// Speed mode: the speed closes on its target with this time constant.
constexpr double WHEEL_SPEED_TAU_S = 2.0;
// Rotor inertia, kg m^2: torque = inertia * angular acceleration.
constexpr double WHEEL_INERTIA = 0.01;
// Motor torque constant, N m per A.
constexpr double WHEEL_TORQUE_PER_AMP = 0.05;
// Current drawn against bearing friction while turning: a constant part and
// a part growing with speed (per rpm).
constexpr double WHEEL_FRICTION_AMP = 0.01;
constexpr double WHEEL_FRICTION_AMP_PER_RPM = 5e-5;
// Torque mode cannot drive the wheel beyond this.
constexpr double WHEEL_MAX_SPEED_RPM = 6000.0;

// The wheel's motion, without any line: commands in, state out.
class WheelDynamics {
public:
    enum class Mode { idle, speed, torque };

    // Brings the state forward to `t` (seconds); earlier times are ignored.
    void advance(double t);

    // Commands act from the time the state was last advanced to.
    void command_speed(double target_rpm, double torque_limit);
    void command_torque(double torque);

    Mode mode() const { return mode_; }
    WheelStatus status() const;

private:
    void step(double dt);

    Mode mode_ = Mode::idle;
    double t_ = 0.0;
    double speed_ = 0.0;   // rpm
    double torque_ = 0.0;  // N m, what the motor delivers
    double target_ = 0.0;
    double limit_ = 0.0;
    double commanded_torque_ = 0.0;
};

class Wheel : public Device {
public:
    Wheel(uint8_t hardware_id, double status_hz, LogSink log);

    const std::string& kind() const override { return kind_; }
    int bits_per_byte() const override { return 11; }  // 8 data bits, odd parity, 1 stop bit
    void receive(const uint8_t* data, std::size_t size, double t, const AnswerSink& send) override;
    void reset_input() override { framer_.reset(); }
    std::optional<double> next_tick() const override { return next_status_; }
    void tick(double t, const AnswerSink& send) override;

    uint8_t hardware_id() const { return hardware_id_; }
    const WheelDynamics& dynamics() const { return dynamics_; }

private:
    std::string kind_ = "wheel";
    uint8_t hardware_id_;
    double period_;
    LogSink log_;
    WheelCommandFramer framer_;
    WheelDynamics dynamics_;
    double next_status_ = 0.0;
    long frames_sent_ = 0;
};

}  // namespace devsim
