// A reaction wheel: streams a status frame at a fixed rate without being
// asked, and follows the speed and torque commands addressed to its
// hardware id.
#pragma once

#include "device.h"
#include "wheel_codec.h"

#include <memory>
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

// What a wheel line drives: commands in, state out.
class WheelMotor {
public:
    enum class Mode { idle, speed, torque };

    virtual ~WheelMotor() = default;

    // Brings the state forward to `t` (seconds); earlier times are ignored.
    virtual void advance(double t) = 0;

    // Commands act from the time the state was last advanced to.
    virtual void command_speed(double target_rpm, double torque_limit) = 0;
    virtual void command_torque(double torque) = 0;

    virtual Mode mode() const = 0;
    virtual WheelStatus status() const = 0;
};

// What a wheel at `speed_rpm` delivering `torque` reports: the current is
// the torque's plus what bearing friction takes in the turning direction.
WheelStatus wheel_status_at(double speed_rpm, double torque);

// The wheel's motion on its own, without any line.
class WheelDynamics : public WheelMotor {
public:
    void advance(double t) override;
    void command_speed(double target_rpm, double torque_limit) override;
    void command_torque(double torque) override;
    Mode mode() const override { return mode_; }
    WheelStatus status() const override;

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
    // Without a motor the wheel moves on its own (WheelDynamics).
    Wheel(uint8_t hardware_id, double status_hz, LogSink log, std::unique_ptr<WheelMotor> motor = nullptr);

    const std::string& kind() const override { return kind_; }
    int bits_per_byte() const override { return 11; }  // 8 data bits, odd parity, 1 stop bit
    void receive(const uint8_t* data, std::size_t size, double t, const AnswerSink& send) override;
    void reset_input() override { framer_.reset(); }
    std::optional<double> next_tick() const override { return next_status_; }
    void tick(double t, const AnswerSink& send) override;

    uint8_t hardware_id() const { return hardware_id_; }
    const WheelMotor& dynamics() const { return *motor_; }

private:
    std::string kind_ = "wheel";
    uint8_t hardware_id_;
    double period_;
    LogSink log_;
    WheelCommandFramer framer_;
    std::unique_ptr<WheelMotor> motor_;
    double next_status_ = 0.0;
    long frames_sent_ = 0;
};

}  // namespace devsim
