// gncloop: an example of flight software on the bench. It closes an
// attitude loop through the bus: polls a star sensor and the gyro, computes
// a quaternion-feedback PD law toward a target attitude and commands the
// three reaction wheels in torque mode, at a fixed rate.
//
// Everything but main is here: the control law (plain functions, no bus),
// the command line and the loop itself.
#pragma once

#include <array>
#include <iosfwd>
#include <string>
#include <vector>

namespace gncloop {

// Scalar first: q0, q1, q2, q3.
using Quat = std::array<double, 4>;
using Vec3 = std::array<double, 3>;

// ---------------------------------------------------------------------------
// The control law

// Hamilton product a * b.
Quat multiply(const Quat& a, const Quat& b);
Quat conjugate(const Quat& q);
Quat normalized(const Quat& q);

// The rotation that takes the target attitude to the measured one, body
// frame, both inertial -> body: conj(target) * q, with its scalar part made
// non-negative so that it is the short way round.
Quat attitude_error(const Quat& q, const Quat& target);
// The angle of that rotation, degrees (0..180).
double error_angle_deg(const Quat& error);

// The defaults suit config/spacecraft.json (inertia 8..12 kg m^2, wheels of
// 0.1 N m): a natural frequency of sqrt(kp / I) = 0.35..0.43 rad/s and a
// damping ratio of kd / (2 sqrt(kp I)) = 0.8..1.0 on every axis, far below
// what a 5 Hz loop can hold.
struct Gains {
    double kp = 1.5;          // N m per rad of attitude error
    double kd = 7.0;          // N m per rad/s of body rate
    double max_torque = 0.1;  // N m, the largest torque asked of one wheel
};

// The body torque that drives attitude q (inertial -> body) with body rate
// w (rad/s) toward the target and to rest:
//     u = -kp * 2 * e_vec - kd * w
// where e_vec is the vector part of attitude_error(q, target) (2 * e_vec is
// the error angle times its axis for small errors). When a component would
// exceed max_torque, the whole vector is scaled down, keeping its direction.
Vec3 control_torque(const Quat& q, const Vec3& w, const Quat& target, const Gains& gains);

// The wheels take torque in steps of this much (N m).
constexpr double TORQUE_STEP = 0.001;

// A wheel's torque acts on the body with the opposite sign: wheel k (on body
// axis k) is commanded -u[k], rounded to the nearest TORQUE_STEP.
Vec3 wheel_torques(const Vec3& body_torque);

// The text of the torque argument of a wheel's "torque" command
// (command_catalog.h) that makes the wheel apply `torque`, a whole number of
// TORQUE_STEPs. The wheel service floors the single-precision value times
// 1000, so the text is half a step above: "0.0125" for 0.012 N m.
std::string torque_argument(double torque);

// ---------------------------------------------------------------------------
// Command line

constexpr double DEFAULT_RATE_HZ = 5.0;
constexpr double MAX_RATE_HZ = 20.0;

struct Options {
    std::string star = "nano1";
    Quat target{1.0, 0.0, 0.0, 0.0};
    Gains gains;
    double rate_hz = DEFAULT_RATE_HZ;
    double duration_s = 0.0;  // 0: until SIGINT or SIGTERM
    std::string log_path;     // JSON Lines, one object per cycle; none when empty
    bool help = false;
};

// Parses the words after the program name; on failure returns false with
// `error` naming the word and what is allowed.
bool parse_options(const std::vector<std::string>& args, Options& options, std::string& error);

std::string help_text();

// ---------------------------------------------------------------------------
// The loop

enum ExitCode : int {
    EXIT_DONE = 0,        // ran for --duration, or was told to stop
    EXIT_USAGE = 2,       // bad command line or log file
    EXIT_NO_SERVICE = 3,  // could not join the bus, or a service is not on it
};

// Runs the command line `args`; returns the process's exit status. The
// loop ends when `running` (service_skeleton.h) is cleared, or after
// --duration; either way the wheels are commanded to zero torque.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace gncloop
