#include "wheel.h"

#include "sim_text.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace devsim {
namespace {

constexpr double RPM_PER_RAD_S = 60.0 / (2.0 * 3.14159265358979323846);
// Integration step: short against the speed-mode time constant.
constexpr double MAX_STEP_S = 0.001;

std::string hex_id(uint8_t id)
{
    return "0x" + hex_bytes(&id, 1);
}

}  // namespace

void WheelDynamics::advance(double t)
{
    while (t_ < t) {
        const double dt = std::min(MAX_STEP_S, t - t_);
        step(dt);
        t_ += dt;
    }
}

void WheelDynamics::step(double dt)
{
    switch (mode_) {
    case Mode::idle: torque_ = 0.0; break;
    case Mode::speed: {
        // The rate a first-order approach asks for, in rpm/s, as a motor
        // torque; a positive limit caps it.
        double torque = WHEEL_INERTIA * (target_ - speed_) / WHEEL_SPEED_TAU_S / RPM_PER_RAD_S;
        if (limit_ > 0.0) torque = std::clamp(torque, -limit_, limit_);
        torque_ = torque;
        speed_ += torque / WHEEL_INERTIA * RPM_PER_RAD_S * dt;
        break;
    }
    case Mode::torque: {
        torque_ = commanded_torque_;
        speed_ += torque_ / WHEEL_INERTIA * RPM_PER_RAD_S * dt;
        if (std::fabs(speed_) >= WHEEL_MAX_SPEED_RPM) {
            // At the speed limit the motor has nothing more to give that way.
            speed_ = std::copysign(WHEEL_MAX_SPEED_RPM, speed_);
            if (torque_ * speed_ > 0.0) torque_ = 0.0;
        }
        break;
    }
    }
}

void WheelDynamics::command_speed(double target_rpm, double torque_limit)
{
    mode_ = Mode::speed;
    target_ = std::clamp(target_rpm, -WHEEL_MAX_SPEED_RPM, WHEEL_MAX_SPEED_RPM);
    limit_ = torque_limit;
}

void WheelDynamics::command_torque(double torque)
{
    mode_ = Mode::torque;
    commanded_torque_ = torque;
}

WheelStatus wheel_status_at(double speed_rpm, double torque)
{
    WheelStatus s;
    s.speed = speed_rpm;
    s.torque = torque;
    double friction = 0.0;
    if (speed_rpm != 0.0)
        friction = std::copysign(WHEEL_FRICTION_AMP + WHEEL_FRICTION_AMP_PER_RPM * std::fabs(speed_rpm), speed_rpm);
    s.current = torque / WHEEL_TORQUE_PER_AMP + friction;
    return s;
}

WheelStatus WheelDynamics::status() const
{
    return wheel_status_at(speed_, torque_);
}

Wheel::Wheel(uint8_t hardware_id, double status_hz, LogSink log, std::unique_ptr<WheelMotor> motor)
    : hardware_id_(hardware_id), period_(1.0 / (status_hz > 0.0 ? status_hz : WHEEL_DEFAULT_HZ)), log_(std::move(log)),
      motor_(motor ? std::move(motor) : std::make_unique<WheelDynamics>())
{
}

void Wheel::receive(const uint8_t* data, std::size_t size, double t, const AnswerSink&)
{
    motor_->advance(t);
    const auto result = framer_.push(data, size);
    if (result.skipped) log_("skipped " + std::to_string(result.skipped) + " byte(s) before a command");
    for (const auto& frame : result.frames) {
        const std::string hex = hex_bytes(frame.bytes.data(), frame.bytes.size());
        if (!frame.checksum_ok) {
            const uint8_t expected = wheel_command_checksum(frame.bytes.data());
            log_("bad frame dropped (checksum " + hex_bytes(&frame.bytes.back(), 1) + ", expected " +
                 hex_bytes(&expected, 1) + "): " + hex);
            continue;
        }
        if (frame.bytes[9] != hardware_id_) {
            log_("command for hardware id " + hex_id(frame.bytes[9]) + " ignored (this wheel is " +
                 hex_id(hardware_id_) + "): " + hex);
            continue;
        }
        const float v1 = decode_wheel_value(&frame.bytes[1]);
        const float v2 = decode_wheel_value(&frame.bytes[5]);
        if (frame.bytes[0] == WHEEL_CMD_SPEED) {
            motor_->command_speed(v1, v2);
            log_("command speed target=" + float_text(v1) + " limit=" + float_text(v2));
        } else {
            motor_->command_torque(v1);
            log_("command torque value=" + float_text(v1));
        }
    }
}

void Wheel::tick(double t, const AnswerSink& send)
{
    if (t < next_status_) return;
    motor_->advance(t);
    Answer status;
    status.bytes = encode_wheel_status(motor_->status(), hardware_id_);
    status.summary = "status " + wheel_status_text(status.bytes);
    ++frames_sent_;
    // A fixed schedule; after a stall the wheel skips the frames it missed
    // rather than sending a burst.
    next_status_ = double(frames_sent_) * period_;
    if (next_status_ <= t) {
        frames_sent_ = long(std::floor(t / period_)) + 1;
        next_status_ = double(frames_sent_) * period_;
    }
    send(std::move(status));
}

}  // namespace devsim
