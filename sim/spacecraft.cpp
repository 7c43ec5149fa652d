#include "spacecraft.h"

#include <algorithm>
#include <cmath>

namespace devsim {
namespace {

constexpr double RAD_S_PER_RPM = 2.0 * 3.14159265358979323846 / 60.0;

Vec3 cross(const Vec3& a, const Vec3& b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

Vec3 times(const Mat3& m, const Vec3& v)
{
    Vec3 out{};
    for (int r = 0; r < 3; ++r) out[r] = m[r][0] * v[0] + m[r][1] * v[1] + m[r][2] * v[2];
    return out;
}

Mat3 inverse(const Mat3& m)
{
    Mat3 inv{};
    inv[0][0] = m[1][1] * m[2][2] - m[1][2] * m[2][1];
    inv[0][1] = m[0][2] * m[2][1] - m[0][1] * m[2][2];
    inv[0][2] = m[0][1] * m[1][2] - m[0][2] * m[1][1];
    inv[1][0] = m[1][2] * m[2][0] - m[1][0] * m[2][2];
    inv[1][1] = m[0][0] * m[2][2] - m[0][2] * m[2][0];
    inv[1][2] = m[0][2] * m[1][0] - m[0][0] * m[1][2];
    inv[2][0] = m[1][0] * m[2][1] - m[1][1] * m[2][0];
    inv[2][1] = m[0][1] * m[2][0] - m[0][0] * m[2][1];
    inv[2][2] = m[0][0] * m[1][1] - m[0][1] * m[1][0];
    const double det = m[0][0] * inv[0][0] + m[0][1] * inv[1][0] + m[0][2] * inv[2][0];
    for (auto& row : inv)
        for (double& c : row) c /= det;
    return inv;
}

}  // namespace

Quat quat_multiply(const Quat& a, const Quat& b)
{
    return {a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
            a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
            a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1],
            a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0]};
}

Quat quat_conjugate(const Quat& q)
{
    return {q[0], -q[1], -q[2], -q[3]};
}

Quat quat_normalized(const Quat& q)
{
    const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    return {q[0] / n, q[1] / n, q[2] / n, q[3] / n};
}

Vec3 rotate(const Quat& q, const Vec3& v)
{
    const Quat r = quat_multiply(quat_multiply(q, {0.0, v[0], v[1], v[2]}), quat_conjugate(q));
    return {r[1], r[2], r[3]};
}

Vec3 rotate_back(const Quat& q, const Vec3& v)
{
    return rotate(quat_conjugate(q), v);
}

double attitude_difference(const Quat& a, const Quat& b)
{
    const Quat d = quat_multiply(quat_conjugate(a), b);
    const double v = std::sqrt(d[1] * d[1] + d[2] * d[2] + d[3] * d[3]);
    return 2.0 * std::atan2(v, std::fabs(d[0]));
}

Spacecraft::Spacecraft(const SpacecraftConfig& config)
    : config_(config), inverse_inertia_(inverse(config.inertia)), step_(config.step_s),
      q_(quat_normalized(config.attitude)), w_(config.rates)
{
    for (const auto& w : config.wheels) wheels_.push_back(Wheel{w});
    H_ = momentum_inertial();
}

void Spacecraft::advance(double t)
{
    // Step times are counted, not summed, so they never drift.
    while (double(steps_ + 1) * step_ <= t + 1e-9) {
        take_step();
        ++steps_;
    }
}

void Spacecraft::command_wheel_speed(std::size_t k, double target_rpm, double torque_limit)
{
    Wheel& w = wheels_.at(k);
    w.mode = WheelMotor::Mode::speed;
    const double max = w.config.max_speed_rpm;
    w.target = std::clamp(target_rpm, -max, max) * RAD_S_PER_RPM;
    w.limit = torque_limit;
}

void Spacecraft::command_wheel_torque(std::size_t k, double torque)
{
    Wheel& w = wheels_.at(k);
    w.mode = WheelMotor::Mode::torque;
    w.commanded = torque;
}

double Spacecraft::wheel_rpm(std::size_t k) const
{
    const Wheel& w = wheels_.at(k);
    return w.momentum / w.config.inertia / RAD_S_PER_RPM;
}

WheelStatus Spacecraft::wheel_status(std::size_t k) const
{
    return wheel_status_at(wheel_rpm(k), wheels_.at(k).torque);
}

Vec3 Spacecraft::momentum_body() const
{
    Vec3 h = times(config_.inertia, w_);
    for (const auto& w : wheels_)
        for (int i = 0; i < 3; ++i) h[i] += w.config.axis[i] * w.momentum;
    return h;
}

// The torque a wheel's motor applies over the coming step (held for the
// whole step, so a wheel's speed changes linearly across it).
double Spacecraft::wheel_torque(const Wheel& w) const
{
    const double J = w.config.inertia;
    const double speed = w.momentum / J;
    double torque = 0.0;
    switch (w.mode) {
    case WheelMotor::Mode::idle: return 0.0;
    case WheelMotor::Mode::speed:
        torque = J * (w.target - speed) / WHEEL_SPEED_TAU_S;
        if (w.limit > 0.0) torque = std::clamp(torque, -w.limit, w.limit);
        break;
    case WheelMotor::Mode::torque: torque = w.commanded; break;
    }
    torque = std::clamp(torque, -w.config.max_torque, w.config.max_torque);
    // Never beyond the speed limit: at most the torque that just reaches it.
    const double max = w.config.max_speed_rpm * RAD_S_PER_RPM;
    const double next = speed + torque / J * step_;
    if (std::fabs(next) > max && torque * next > 0.0) {
        const double room = std::max(0.0, max - std::fabs(speed));
        torque = std::copysign(room * J / step_, torque);
    }
    return torque;
}

Vec3 Spacecraft::outside_torque(const Quat& q, double t) const
{
    Vec3 torque = config_.disturbance_torque;
    const double n = config_.gravity_gradient_rate;
    if (n > 0.0) {
        // Circular orbit in the inertial X-Y plane, at +X at t = 0:
        // 3 n^2 (r x I r), r the unit vector to the Earth's centre in body axes.
        const Vec3 r = rotate_back(q, {-std::cos(n * t), -std::sin(n * t), 0.0});
        const Vec3 g = cross(r, times(config_.inertia, r));
        for (int i = 0; i < 3; ++i) torque[i] += 3.0 * n * n * g[i];
    }
    return torque;
}

// The body's own momentum is the total less the wheels'.
Vec3 Spacecraft::body_rates(const Quat& q, const Vec3& H, const std::vector<double>& h) const
{
    Vec3 body = rotate_back(q, H);
    for (std::size_t k = 0; k < wheels_.size(); ++k)
        for (int i = 0; i < 3; ++i) body[i] -= wheels_[k].config.axis[i] * h[k];
    return times(inverse_inertia_, body);
}

Spacecraft::State Spacecraft::rate_of_change(const State& s, double t) const
{
    // Runge-Kutta stages leave |q| slightly off 1; rotations use the unit one.
    const Quat unit = quat_normalized(s.q);
    const Vec3 w = body_rates(unit, s.H, s.h);
    State d;
    const Quat dq = quat_multiply(s.q, {0.0, w[0], w[1], w[2]});
    for (int i = 0; i < 4; ++i) d.q[i] = 0.5 * dq[i];
    d.H = rotate(unit, outside_torque(unit, t));
    for (const auto& wheel : wheels_) d.h.push_back(wheel.torque);
    return d;
}

void Spacecraft::take_step()
{
    for (auto& w : wheels_) w.torque = wheel_torque(w);

    State s0{q_, H_, {}};
    for (const auto& w : wheels_) s0.h.push_back(w.momentum);
    auto along = [&](const State& d, double f) {
        State s = s0;
        for (int i = 0; i < 4; ++i) s.q[i] += f * d.q[i];
        for (int i = 0; i < 3; ++i) s.H[i] += f * d.H[i];
        for (std::size_t k = 0; k < s.h.size(); ++k) s.h[k] += f * d.h[k];
        return s;
    };
    const double t = time();
    const double h = step_;
    const State k1 = rate_of_change(s0, t);
    const State k2 = rate_of_change(along(k1, h / 2), t + h / 2);
    const State k3 = rate_of_change(along(k2, h / 2), t + h / 2);
    const State k4 = rate_of_change(along(k3, h), t + h);

    for (int i = 0; i < 4; ++i) q_[i] += h / 6 * (k1.q[i] + 2 * k2.q[i] + 2 * k3.q[i] + k4.q[i]);
    for (int i = 0; i < 3; ++i) H_[i] += h / 6 * (k1.H[i] + 2 * k2.H[i] + 2 * k3.H[i] + k4.H[i]);
    // A wheel's momentum changes linearly over the step: exactly torque * h.
    std::vector<double> wheel_momenta;
    for (auto& w : wheels_) {
        w.momentum += w.torque * h;
        wheel_momenta.push_back(w.momentum);
    }
    q_ = quat_normalized(q_);
    w_ = body_rates(q_, H_, wheel_momenta);
}

}  // namespace devsim
