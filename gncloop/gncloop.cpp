#include "gncloop.h"

#include "bus_client.h"
#include "command_catalog.h"
#include "service_skeleton.h"
#include "telemetry_records.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <ostream>

namespace gncloop {

namespace {
constexpr double PI = 3.14159265358979323846;
}

// ---------------------------------------------------------------------------
// The control law

Quat multiply(const Quat& a, const Quat& b)
{
    return {a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
            a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
            a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1],
            a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0]};
}

Quat conjugate(const Quat& q) { return {q[0], -q[1], -q[2], -q[3]}; }

Quat normalized(const Quat& q)
{
    const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    return {q[0] / n, q[1] / n, q[2] / n, q[3] / n};
}

Quat attitude_error(const Quat& q, const Quat& target)
{
    Quat e = multiply(conjugate(target), q);
    if (e[0] < 0) e = {-e[0], -e[1], -e[2], -e[3]};
    return e;
}

double error_angle_deg(const Quat& e)
{
    const double v = std::sqrt(e[1] * e[1] + e[2] * e[2] + e[3] * e[3]);
    return 2.0 * std::atan2(v, std::fabs(e[0])) * 180.0 / PI;
}

Vec3 control_torque(const Quat& q, const Vec3& w, const Quat& target, const Gains& gains)
{
    const Quat e = attitude_error(q, target);
    Vec3 u;
    double largest = 0.0;
    for (int i = 0; i < 3; ++i) {
        u[i] = -gains.kp * 2.0 * e[i + 1] - gains.kd * w[i];
        largest = std::max(largest, std::fabs(u[i]));
    }
    if (largest > gains.max_torque)
        for (double& x : u) x *= gains.max_torque / largest;
    return u;
}

Vec3 wheel_torques(const Vec3& body_torque)
{
    Vec3 t;
    for (int i = 0; i < 3; ++i) t[i] = -std::round(body_torque[i] / TORQUE_STEP) / 1000.0 + 0.0;  // thousandths
    return t;
}

std::string torque_argument(double torque)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", (std::round(torque / TORQUE_STEP) + 0.5) / 1000.0);
    return text;
}

// ---------------------------------------------------------------------------
// Command line

namespace {

// A whole finite decimal number, nothing else.
std::optional<double> parse_number(const std::string& text)
{
    if (text.empty() || text.find_first_of("xX \t") != std::string::npos) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(v)) return std::nullopt;
    return v;
}

// "q0,q1,q2,q3", a unit quaternion to 1e-3; renormalised.
bool parse_target(const std::string& text, Quat& target)
{
    std::vector<std::string> words{""};
    for (char c : text) {
        if (c == ',') {
            words.emplace_back();
        } else {
            words.back() += c;
        }
    }
    if (words.size() != 4) return false;
    Quat q;
    for (int i = 0; i < 4; ++i) {
        const auto v = parse_number(words[i]);
        if (!v) return false;
        q[i] = *v;
    }
    const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (std::fabs(n - 1.0) > 1e-3) return false;
    target = normalized(q);
    return true;
}

bool is_star_sensor(const std::string& name)
{
    auto a = telemetry::device_address(name);
    return a && a->kind == telemetry::Kind::Star;
}

}  // namespace

bool parse_options(const std::vector<std::string>& args, Options& o, std::string& error)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        if (name == "-h" || name == "--help") {
            o.help = true;
            continue;
        }
        if (name.rfind("--", 0) != 0) {
            error = "unexpected word '" + name + "' (gncloop --help lists the options)";
            return false;
        }
        if (const auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            error = name + " needs a value";
            return false;
        }
        const auto number = parse_number(value);
        auto bad = [&](const std::string& allowed) {
            error = name + " " + value + ": " + allowed;
            return false;
        };
        if (name == "--star") {
            if (!is_star_sensor(value)) return bad("not a star sensor (nano1..nano8, pico1..pico8)");
            o.star = value;
        } else if (name == "--target") {
            if (!parse_target(value, o.target)) return bad("four numbers q0,q1,q2,q3 of a unit quaternion (to 1e-3)");
        } else if (name == "--rate") {
            if (!number || *number <= 0 || *number > MAX_RATE_HZ) return bad("a rate above 0, at most 20 Hz");
            o.rate_hz = *number;
        } else if (name == "--duration") {
            if (!number || *number < 0) return bad("seconds, 0 or more (0: until stopped)");
            o.duration_s = *number;
        } else if (name == "--kp") {
            if (!number || *number <= 0) return bad("a gain above 0 (N m per rad)");
            o.gains.kp = *number;
        } else if (name == "--kd") {
            if (!number || *number < 0) return bad("a gain of 0 or more (N m per rad/s)");
            o.gains.kd = *number;
        } else if (name == "--max-torque") {
            const double steps = number.value_or(0.0) / TORQUE_STEP;
            if (steps < 1.0 || std::fabs(steps - std::round(steps)) > 1e-6)
                return bad("N m, at least 0.001 and a whole number of 0.001 N m steps (the wheels' resolution)");
            o.gains.max_torque = *number;
        } else if (name == "--log") {
            if (value.empty()) return bad("a file name");
            o.log_path = value;
        } else {
            error = "unknown option '" + name + "' (gncloop --help lists them)";
            return false;
        }
    }
    return true;
}

std::string help_text()
{
    return R"(gncloop: an example attitude loop closed through the bench

  gncloop [--star NAME] [--target q0,q1,q2,q3] [--rate HZ] [--duration S]
          [--kp K] [--kd K] [--max-torque N_M] [--log FILE]

At a fixed rate, gncloop polls a star sensor and the gyro, computes a
quaternion-feedback PD law toward a target attitude and commands wheel1,
wheel2 and wheel3 in torque mode. Each cycle it prints one line: the time,
the attitude error in degrees, the body rate and the wheel torques. It is
an example to replace with your own flight software: it uses only the bus,
as any program may.

Its polls are real device exchanges, as the console's are: each one makes
the service query the device on its serial line, and the answer comes back
on the bus. A cycle whose answers do not both come within 60% of the cycle
commands zero torque. On exit (after --duration, or on SIGINT or SIGTERM)
gncloop commands zero torque to the three wheels.

Sign conventions:
  q = [q0, q1, q2, q3], scalar first, Hamilton product, turns the inertial
    axes onto the body axes. The star sensor's attitude is taken as the
    body's: use a sensor mounted aligned with the body (nano1 in
    config/spacecraft.json). The gyro's x, y, z (deg/s) are body rates.
  Attitude error e = conj(target) * q, with e0 made >= 0 so that the loop
    turns the short way round; error angle 2 atan2(|e1..e3|, e0).
  Body torque u = -kp 2 [e1, e2, e3] - kd w (N m, w in rad/s); when one
    component would exceed --max-torque, the whole vector is scaled down.
  A wheel's torque acts on the body negated: a positive command speeds the
    wheel up about +axis and turns the body about -axis. wheelK is on body
    axis K and is commanded -u[K], rounded to the wheels' 0.001 N m steps.

Options:
  --star NAME        star sensor to read, nano1..nano8, pico1..pico8 (nano1)
  --target Q         target attitude q0,q1,q2,q3, unit to 1e-3 (1,0,0,0)
  --rate HZ          cycles a second, at most 20 (5)
  --duration S       stop after S seconds; 0 runs until stopped (0)
  --kp K             N m per rad of error (1.5)
  --kd K             N m per rad/s of rate (7)
  --max-torque N_M   largest torque asked of one wheel, whole 0.001 N m (0.1)
  --log FILE         one JSON object per cycle: t (s since the start), time
                     (Unix seconds of the polls), q, star_ms, w_deg_s,
                     gyro_ms (answers' delays after the polls), error_deg,
                     body_torque, wheel_torque; "missing" names a device
                     that did not answer
  -h, --help         this text

The defaults take config/spacecraft.json from 20 degrees to under half a
degree in 15 to 20 s.

Exit status: 0 done; 2 bad command line or log file; 3 the bus could not
be joined, or a service was not on it within 10 s.
)";
}

// ---------------------------------------------------------------------------
// The loop

namespace {

using Clock = bus::Clock;
using namespace std::chrono_literals;

constexpr auto BUS_TIMEOUT = 10s;
constexpr auto COMMAND_TAKEN_TIMEOUT = 2s;
const char* const WHEELS[3] = {"wheel1", "wheel2", "wheel3"};

// What one cycle read, computed and commanded.
struct Cycle {
    double t = 0.0;     // s since the loop started
    double time = 0.0;  // Unix time of the polls
    std::optional<Quat> q;
    std::optional<Vec3> w_deg_s;
    double star_ms = 0.0, gyro_ms = 0.0;
    Vec3 body_torque{0.0, 0.0, 0.0};
    Vec3 wheel_torque{0.0, 0.0, 0.0};
};

double ms_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// The star sensor's quaternion; none from a record without one (a sensor
// that did not answer its service gives zeros).
std::optional<Quat> star_quaternion(const telemetry::Record& r)
{
    Quat q;
    for (int i = 0; i < 4; ++i) q[i] = r.value("q" + std::to_string(i)).value_or(0.0);
    const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (n < 0.9 || n > 1.1) return std::nullopt;
    return normalized(q);
}

// Polls the star sensor and the gyro and waits for both answers until
// `deadline`.
void read_sensors(bus::Client& bus, const Options& o, Clock::time_point deadline, Cycle& c)
{
    const auto star = *telemetry::device_address(o.star);
    const auto gyro = *telemetry::device_address("gyro");
    c.time = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const auto polled = bus.poll(star);
    bus.poll(gyro);
    while (!(c.q && c.w_deg_s)) {
        auto r = bus.next(deadline);
        if (!r) return;
        if (!r->is_record || r->at < polled) continue;
        if (r->record.device == o.star && !c.q) {
            c.q = star_quaternion(r->record);
            c.star_ms = ms_between(polled, r->at);
        } else if (r->record.device == "gyro" && !c.w_deg_s) {
            c.w_deg_s = Vec3{r->record.value("x").value_or(0.0), r->record.value("y").value_or(0.0),
                             r->record.value("z").value_or(0.0)};
            c.gyro_ms = ms_between(polled, r->at);
        }
    }
}

void send_wheel_torques(bus::Client& bus, const Vec3& torque)
{
    for (int k = 0; k < 3; ++k) {
        const auto b = commands::build_command(WHEELS[k], "torque", {torque_argument(torque[k])});
        if (b.ok) bus.send(b.built);
    }
}

std::string fixed(double v, int decimals)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, v + 0.0);
    return text;
}

std::string json_array(const double* v, int n, int decimals)
{
    std::string s = "[";
    for (int i = 0; i < n; ++i) s += (i ? "," : "") + fixed(v[i], decimals);
    return s + "]";
}

std::string missing_text(const Cycle& c, const Options& o)
{
    if (!c.q && !c.w_deg_s) return o.star + " and gyro";
    return c.q ? "gyro" : o.star;
}

std::string cycle_line(const Cycle& c, const Options& o)
{
    std::string s = fixed(c.t, 1) + " s";
    if (!c.q || !c.w_deg_s) return s + "  no answer from " + missing_text(c, o) + ": wheels to zero torque";
    const Vec3& w = *c.w_deg_s;
    const double rate = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    s += "  error " + fixed(error_angle_deg(attitude_error(*c.q, o.target)), 3) + " deg  rate " + fixed(rate, 3) +
         " deg/s  wheels";
    for (double t : c.wheel_torque) s += " " + std::string(t >= 0 ? "+" : "") + fixed(t, 3);
    return s + " N m";
}

std::string cycle_json(const Cycle& c, const Options& o)
{
    std::string s = "{\"t\":" + fixed(c.t, 3) + ",\"time\":" + fixed(c.time, 6) + ",\"star\":\"" + o.star + "\"";
    if (c.q) {
        s += ",\"q\":" + json_array(c.q->data(), 4, 9) + ",\"star_ms\":" + fixed(c.star_ms, 2);
        s += ",\"error_deg\":" + fixed(error_angle_deg(attitude_error(*c.q, o.target)), 6);
    }
    if (c.w_deg_s) s += ",\"w_deg_s\":" + json_array(c.w_deg_s->data(), 3, 6) + ",\"gyro_ms\":" + fixed(c.gyro_ms, 2);
    if (!c.q || !c.w_deg_s) s += ",\"missing\":\"" + missing_text(c, o) + "\"";
    s += ",\"body_torque\":" + json_array(c.body_torque.data(), 3, 6);
    return s + ",\"wheel_torque\":" + json_array(c.wheel_torque.data(), 3, 3) + "}";
}

}  // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    Options o;
    std::string error;
    if (!parse_options(args, o, error)) {
        err << "gncloop: " << error << "\n";
        return EXIT_USAGE;
    }
    if (o.help) {
        out << help_text();
        return EXIT_DONE;
    }
    std::ofstream log;
    if (!o.log_path.empty()) {
        log.open(o.log_path, std::ios::out | std::ios::trunc);
        if (!log) {
            err << "gncloop: cannot write the log " << o.log_path << "\n";
            return EXIT_USAGE;
        }
    }

    // The bus client's own messages: errors only.
    bus::Client bus("Gncloop", [](const std::string& text) {
        if (text.find("[ERROR]") != std::string::npos) err_line("gncloop: " + text);
    });
    if (!bus.ok()) {
        err << "gncloop: cannot join the bus\n";
        return EXIT_NO_SERVICE;
    }
    // Polls go out on Telemetry, commands on Command: wait until the
    // services listen on them.
    const std::string star_service = telemetry::device_address(o.star)->service;
    const std::string gyro_service = telemetry::device_address("gyro")->service;
    const std::string wheel_service = telemetry::device_address("wheel1")->service;
    const auto bus_deadline = Clock::now() + BUS_TIMEOUT;
    for (const std::string& service : {star_service, gyro_service, wheel_service}) {
        const std::string& topic = service == wheel_service ? bus::TOPIC_COMMAND : bus::TOPIC_TELEMETRY;
        if (!bus.wait_matched(topic, service, bus_deadline)) {
            err << "gncloop: " << service << " is not on the bus (waited 10 s)\n";
            return EXIT_NO_SERVICE;
        }
    }
    out << "gncloop: " << o.star << " and gyro in, wheel1..wheel3 torque out, " << fixed(o.rate_hz, 1)
        << " Hz, target " << json_array(o.target.data(), 4, 6) << ", kp " << o.gains.kp << ", kd " << o.gains.kd
        << ", max torque " << fixed(o.gains.max_torque, 3) << " N m\n"
        << std::flush;

    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / o.rate_hz));
    const auto start = Clock::now();
    for (long k = 0; running; ++k) {
        const auto cycle_start = start + k * period;
        if (o.duration_s > 0 && std::chrono::duration<double>(cycle_start - start).count() >= o.duration_s) break;
        // Until the cycle starts, drop what arrives (records others asked for).
        while (bus.next(cycle_start)) {
        }
        if (!running) break;
        if (Clock::now() >= cycle_start + period) continue;  // too late for this cycle

        Cycle c;
        c.t = std::chrono::duration<double>(cycle_start - start).count();
        read_sensors(bus, o, cycle_start + period * 6 / 10, c);
        if (!running) break;
        if (c.q && c.w_deg_s) {
            Vec3 w;
            for (int i = 0; i < 3; ++i) w[i] = (*c.w_deg_s)[i] * PI / 180.0;
            c.body_torque = control_torque(*c.q, w, o.target, o.gains);
            c.wheel_torque = wheel_torques(c.body_torque);
        }
        send_wheel_torques(bus, c.wheel_torque);
        out << cycle_line(c, o) << "\n" << std::flush;
        if (log.is_open()) log << cycle_json(c, o) << "\n" << std::flush;
    }

    send_wheel_torques(bus, {0.0, 0.0, 0.0});
    const bool taken = bus.acknowledged(bus::TOPIC_COMMAND, wheel_service, Clock::now() + COMMAND_TAKEN_TIMEOUT);
    out << "gncloop: stopped after " << fixed(std::chrono::duration<double>(Clock::now() - start).count(), 1)
        << " s; wheels commanded to zero torque" << (taken ? "" : " (not confirmed by the wheel service)") << "\n"
        << std::flush;
    return EXIT_DONE;
}

}  // namespace gncloop
