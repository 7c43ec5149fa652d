#include "spacecraft_config.h"

#include <json/json.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <memory>
#include <set>
#include <sstream>

namespace devsim {
namespace {

constexpr double PI = 3.14159265358979323846;

// A failed check: carries the message up to the parse function.
struct Bad {
    std::string what;
};

[[noreturn]] void fail(const std::string& where, const std::string& what)
{
    throw Bad{(where.empty() ? std::string("the file") : where) + ": " + what};
}

void only_keys(const Json::Value& v, const std::string& where, const std::set<std::string>& keys)
{
    if (!v.isObject()) fail(where, "must be an object");
    for (const auto& name : v.getMemberNames())
        if (!keys.count(name)) fail(where.empty() ? name : where + "." + name, "unknown field");
}

std::string at(const std::string& where, const std::string& key)
{
    return where.empty() ? key : where + "." + key;
}

double number(const Json::Value& v, const std::string& where)
{
    if (!v.isNumeric() || v.isBool()) fail(where, "must be a number");
    const double d = v.asDouble();
    if (!std::isfinite(d)) fail(where, "must be finite");
    return d;
}

double positive(const Json::Value& v, const std::string& where)
{
    const double d = number(v, where);
    if (!(d > 0.0)) fail(where, "must be greater than 0");
    return d;
}

double not_negative(const Json::Value& v, const std::string& where)
{
    const double d = number(v, where);
    if (d < 0.0) fail(where, "must not be negative");
    return d;
}

template <std::size_t N>
std::array<double, N> numbers(const Json::Value& v, const std::string& where)
{
    if (!v.isArray() || v.size() != N) fail(where, "must be an array of " + std::to_string(N) + " numbers");
    std::array<double, N> out{};
    for (Json::ArrayIndex i = 0; i < N; ++i) out[i] = number(v[i], where + "[" + std::to_string(i) + "]");
    return out;
}

Vec3 unit_vector(const Json::Value& v, const std::string& where)
{
    Vec3 a = numbers<3>(v, where);
    const double n = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
    if (!(n > 1e-9)) fail(where, "must not be the zero vector");
    for (double& c : a) c /= n;
    return a;
}

// [q0, q1, q2, q3] of length 1 (to 1e-3; renormalised), or
// {"axis": [x, y, z], "angle_deg": a}.
Quat rotation(const Json::Value& v, const std::string& where)
{
    if (v.isObject()) {
        only_keys(v, where, {"axis", "angle_deg"});
        if (!v.isMember("axis") || !v.isMember("angle_deg")) fail(where, "needs both \"axis\" and \"angle_deg\"");
        const Vec3 axis = unit_vector(v["axis"], at(where, "axis"));
        const double half = number(v["angle_deg"], at(where, "angle_deg")) * PI / 360.0;
        return {std::cos(half), axis[0] * std::sin(half), axis[1] * std::sin(half), axis[2] * std::sin(half)};
    }
    if (!v.isArray()) fail(where, "must be [q0, q1, q2, q3] or {\"axis\": [x, y, z], \"angle_deg\": a}");
    Quat q = numbers<4>(v, where);
    const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (std::fabs(n - 1.0) > 1e-3) fail(where, "is not a unit quaternion (norm " + std::to_string(n) + ")");
    for (double& c : q) c /= n;
    return q;
}

Mat3 inertia_tensor(const Json::Value& v, const std::string& where)
{
    if (!v.isArray() || v.size() != 3) fail(where, "must be a 3x3 array of numbers (kg m^2)");
    Mat3 m{};
    for (Json::ArrayIndex r = 0; r < 3; ++r) m[r] = numbers<3>(v[r], where + "[" + std::to_string(r) + "]");
    double scale = 0.0;
    for (const auto& row : m)
        for (double c : row) scale = std::max(scale, std::fabs(c));
    for (int r = 0; r < 3; ++r)
        for (int c = r + 1; c < 3; ++c)
            if (std::fabs(m[r][c] - m[c][r]) > 1e-9 * scale) fail(where, "must be symmetric");
    // Positive definite: every leading principal minor positive.
    const double m1 = m[0][0];
    const double m2 = m[0][0] * m[1][1] - m[0][1] * m[1][0];
    const double m3 = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                      m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                      m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (!(m1 > 0.0 && m2 > 0.0 && m3 > 0.0)) fail(where, "must be positive definite");
    return m;
}

WheelConfig wheel(const Json::Value& v, const std::string& where)
{
    only_keys(v, where, {"axis", "inertia", "max_torque", "max_speed_rpm"});
    if (!v.isMember("axis")) fail(where, "needs \"axis\"");
    if (!v.isMember("inertia")) fail(where, "needs \"inertia\"");
    WheelConfig w;
    w.axis = unit_vector(v["axis"], at(where, "axis"));
    w.inertia = positive(v["inertia"], at(where, "inertia"));
    if (v.isMember("max_torque")) w.max_torque = positive(v["max_torque"], at(where, "max_torque"));
    if (v.isMember("max_speed_rpm")) w.max_speed_rpm = positive(v["max_speed_rpm"], at(where, "max_speed_rpm"));
    return w;
}

SensorConfig sensor(const Json::Value& v, const std::string& where)
{
    only_keys(v, where, {"mounting", "noise_arcsec", "noise_deg_s", "bias_deg_s"});
    SensorConfig s;
    if (v.isMember("mounting")) s.mounting = rotation(v["mounting"], at(where, "mounting"));
    if (v.isMember("noise_arcsec")) s.noise_arcsec = not_negative(v["noise_arcsec"], at(where, "noise_arcsec"));
    if (v.isMember("noise_deg_s")) s.noise_deg_s = not_negative(v["noise_deg_s"], at(where, "noise_deg_s"));
    if (v.isMember("bias_deg_s")) s.bias_deg_s = numbers<3>(v["bias_deg_s"], at(where, "bias_deg_s"));
    return s;
}

void read_root(const Json::Value& root, SpacecraftConfig& c)
{
    only_keys(root, "", {"seed", "step_s", "inertia", "attitude", "rates", "wheels", "disturbance", "sensors"});
    if (!root.isMember("inertia")) fail("inertia", "missing (a 3x3 array, kg m^2)");
    c.inertia = inertia_tensor(root["inertia"], "inertia");
    if (root.isMember("seed")) {
        const Json::Value& s = root["seed"];
        if (!s.isIntegral() || s.isBool() || (s.isInt64() && s.asInt64() < 0)) fail("seed", "must be a whole number >= 0");
        c.seed = s.asUInt64();
    }
    if (root.isMember("step_s")) {
        c.step_s = positive(root["step_s"], "step_s");
        if (c.step_s > MAX_MODEL_STEP_S) fail("step_s", "must be at most 0.01");
    }
    if (root.isMember("attitude")) c.attitude = rotation(root["attitude"], "attitude");
    if (root.isMember("rates")) c.rates = numbers<3>(root["rates"], "rates");
    if (root.isMember("wheels")) {
        const Json::Value& w = root["wheels"];
        if (!w.isArray()) fail("wheels", "must be an array");
        for (Json::ArrayIndex i = 0; i < w.size(); ++i) c.wheels.push_back(wheel(w[i], "wheels[" + std::to_string(i) + "]"));
    }
    if (root.isMember("disturbance")) {
        const Json::Value& d = root["disturbance"];
        only_keys(d, "disturbance", {"torque", "gravity_gradient_rate"});
        if (d.isMember("torque")) c.disturbance_torque = numbers<3>(d["torque"], "disturbance.torque");
        if (d.isMember("gravity_gradient_rate"))
            c.gravity_gradient_rate = not_negative(d["gravity_gradient_rate"], "disturbance.gravity_gradient_rate");
    }
    if (root.isMember("sensors")) {
        const Json::Value& s = root["sensors"];
        if (!s.isObject()) fail("sensors", "must be an object of line names");
        for (const auto& name : s.getMemberNames()) c.sensors[name] = sensor(s[name], "sensors." + name);
    }
}

}  // namespace

const SensorConfig& SpacecraftConfig::sensor(const std::string& line) const
{
    static const SensorConfig none;
    const auto it = sensors.find(line);
    return it == sensors.end() ? none : it->second;
}

bool parse_spacecraft_config(const std::string& text, SpacecraftConfig& config, std::string& error)
{
    Json::CharReaderBuilder builder;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    builder["allowSpecialFloats"] = false;
    Json::Value root;
    std::string why;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &why)) {
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        error = "not valid JSON: " + why;
        return false;
    }
    SpacecraftConfig c;
    try {
        read_root(root, c);
    } catch (const Bad& bad) {
        error = bad.what;
        return false;
    }
    config = c;
    return true;
}

bool load_spacecraft_config(const std::string& path, SpacecraftConfig& config, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!parse_spacecraft_config(text.str(), config, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace devsim
