// The spacecraft's true motion: a rigid body carrying reaction wheels,
// propagated with fourth-order Runge-Kutta at a fixed step. No I/O and no
// clock of its own: advance() is handed the time, so the model runs as well
// on a virtual clock as on devsim's.
//
// Frames and conventions (README.md, "Spacecraft model"):
// - q (scalar first) turns the inertial axes onto the body axes, Hamilton
//   product: v_body = R(q)^T v_inertial, dq/dt = q (x) (0, w) / 2.
// - w is the body's rate against inertial space, in body axes, rad/s.
// - The inertia is the whole spacecraft's, wheels included; a wheel's
//   speed is against the body. The torque that changes a wheel's speed,
//   J dOmega/dt along its axis, acts on the body with the opposite sign, so
//   without outside torques the total momentum in inertial axes stays put.
// - The state propagated is the attitude, the total momentum in inertial
//   axes and the wheels' momenta; the body rates follow from them,
//   w = I^-1 (R(q)^T H - sum a_k h_k). Wheel torques are internal and only
//   outside torques change H, so H holds to round-off whatever the step,
//   and the integration error goes into the attitude alone.
#pragma once

#include "spacecraft_config.h"
#include "wheel.h"
#include "wheel_codec.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace devsim {

Quat quat_multiply(const Quat& a, const Quat& b);  // Hamilton: a (x) b
Quat quat_conjugate(const Quat& q);
Quat quat_normalized(const Quat& q);
// R(q) v: a body vector in inertial axes when q is the attitude.
Vec3 rotate(const Quat& q, const Vec3& v);
// R(q)^T v: an inertial vector in body axes.
Vec3 rotate_back(const Quat& q, const Vec3& v);
// The rotation angle between two attitudes, radians (0..pi).
double attitude_difference(const Quat& a, const Quat& b);

class Spacecraft {
public:
    explicit Spacecraft(const SpacecraftConfig& config);

    // Takes whole steps for as long as they end at or before `t` (seconds);
    // an earlier `t` does nothing.
    void advance(double t);
    double time() const { return double(steps_) * step_; }
    double step() const { return step_; }

    const Quat& attitude() const { return q_; }
    const Vec3& rates() const { return w_; }

    std::size_t wheel_count() const { return wheels_.size(); }
    // Commands act from the current model time, as a WheelDynamics takes
    // them: speed mode closes on the target with WHEEL_SPEED_TAU_S, the
    // limit (if positive) and the wheel's max_torque capping the torque;
    // torque mode holds the torque (capped at max_torque) up to the speed
    // limit.
    void command_wheel_speed(std::size_t k, double target_rpm, double torque_limit);
    void command_wheel_torque(std::size_t k, double torque);
    WheelMotor::Mode wheel_mode(std::size_t k) const { return wheels_.at(k).mode; }
    double wheel_rpm(std::size_t k) const;
    // Speed, the torque of the last step and the current they take.
    WheelStatus wheel_status(std::size_t k) const;

    // Body plus wheels, N m s.
    Vec3 momentum_body() const;
    // From the attitude, rates and wheel momenta (not the propagated H).
    Vec3 momentum_inertial() const { return rotate(q_, momentum_body()); }

private:
    struct Wheel {
        WheelConfig config;
        WheelMotor::Mode mode = WheelMotor::Mode::idle;
        double target = 0.0;       // rad/s
        double limit = 0.0;        // N m, none if not positive
        double commanded = 0.0;    // N m
        double torque = 0.0;       // N m, during the last step
        double momentum = 0.0;     // J * speed against the body, N m s
    };
    struct State {
        Quat q;
        Vec3 H;                 // total momentum, inertial axes
        std::vector<double> h;  // wheel momenta
    };

    void take_step();
    double wheel_torque(const Wheel& wheel) const;
    Vec3 body_rates(const Quat& q, const Vec3& H, const std::vector<double>& h) const;
    State rate_of_change(const State& s, double t) const;
    Vec3 outside_torque(const Quat& q, double t) const;

    SpacecraftConfig config_;
    Mat3 inverse_inertia_{};
    double step_;
    uint64_t steps_ = 0;
    Quat q_;
    Vec3 H_;
    Vec3 w_;
    std::vector<Wheel> wheels_;
};

}  // namespace devsim
