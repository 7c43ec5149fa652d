#include "truth_model.h"

#include "star_sensor.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace devsim {
namespace {

constexpr double PI = 3.14159265358979323846;
constexpr double RAD_PER_ARCSEC = PI / (180.0 * 3600.0);
constexpr double DEG_PER_RAD = 180.0 / PI;

// FNV-1a: the same line name gives the same noise on every run and build.
uint64_t name_hash(const std::string& s)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

class ModelWheel : public WheelMotor {
public:
    ModelWheel(TruthModel& truth, std::size_t k) : truth_(truth), k_(k) {}
    void advance(double t) override { truth_.advance(t); }
    void command_speed(double target_rpm, double torque_limit) override
    {
        truth_.craft().command_wheel_speed(k_, target_rpm, torque_limit);
    }
    void command_torque(double torque) override { truth_.craft().command_wheel_torque(k_, torque); }
    Mode mode() const override { return truth_.craft().wheel_mode(k_); }
    WheelStatus status() const override { return truth_.craft().wheel_status(k_); }

private:
    TruthModel& truth_;
    std::size_t k_;
};

void append(std::string& out, double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    out += buf;
}

template <class Values>
void append_array(std::string& out, const Values& values)
{
    out += '[';
    bool first = true;
    for (double v : values) {
        if (!first) out += ", ";
        first = false;
        append(out, v);
    }
    out += ']';
}

}  // namespace

std::string truth_record(const Spacecraft& craft)
{
    std::vector<double> rpm;
    for (std::size_t k = 0; k < craft.wheel_count(); ++k) rpm.push_back(craft.wheel_rpm(k));
    const Vec3 h = craft.momentum_inertial();
    std::string out = "{\"t\": ";
    append(out, craft.time());
    out += ", \"q\": ";
    append_array(out, craft.attitude());
    out += ", \"w\": ";
    append_array(out, craft.rates());
    out += ", \"wheel_rpm\": ";
    append_array(out, rpm);
    out += ", \"h\": ";
    append_array(out, h);
    out += ", \"h_norm\": ";
    append(out, std::sqrt(h[0] * h[0] + h[1] * h[1] + h[2] * h[2]));
    out += '}';
    return out;
}

TruthModel::TruthModel(const SpacecraftConfig& config) : config_(config), craft_(config) {}

bool TruthModel::open_log(const std::string& path, std::string& error)
{
    log_.open(path, std::ios::out | std::ios::trunc);
    if (!log_) {
        error = "cannot write the truth log " + path;
        return false;
    }
    logging_ = true;
    return true;
}

std::optional<double> TruthModel::next_log_time() const
{
    if (!logging_) return std::nullopt;
    return double(records_) / TRUTH_LOG_HZ;
}

void TruthModel::advance(double t)
{
    while (logging_ && double(records_) / TRUTH_LOG_HZ <= t) {
        craft_.advance(double(records_) / TRUTH_LOG_HZ);
        write_record();
        ++records_;
    }
    craft_.advance(t);
}

void TruthModel::write_record()
{
    log_ << truth_record(craft_) << '\n';
    log_.flush();
}

double TruthModel::gaussian(const std::string& line)
{
    auto it = noise_.find(line);
    if (it == noise_.end()) it = noise_.emplace(line, std::mt19937_64(config_.seed ^ name_hash(line))).first;
    return std::normal_distribution<double>(0.0, 1.0)(it->second);
}

StarAttitude TruthModel::star_attitude(const std::string& line, unsigned index, double t)
{
    advance(t);
    const SensorConfig& sensor = config_.sensor(line);
    Quat q = quat_multiply(craft_.attitude(), sensor.mounting);
    if (sensor.noise_arcsec > 0.0) {
        // A small rotation about the sensor's own axes.
        const double sigma = sensor.noise_arcsec * RAD_PER_ARCSEC;
        Quat error{1.0, 0.0, 0.0, 0.0};
        for (int i = 1; i < 4; ++i) error[i] = 0.5 * sigma * gaussian(line);
        q = quat_normalized(quat_multiply(q, error));
    }
    StarAttitude a;
    for (int i = 0; i < 4; ++i) a.q[i] = q[i];
    const Vec3 w = rotate_back(sensor.mounting, craft_.rates());
    for (int i = 0; i < 3; ++i) a.axis[i] = w[i];
    a.rate_scale = NANO_TRUTH_RATE_SCALE;
    a.stars = star_attitude_at(index, t).stars;
    return a;
}

RateVector TruthModel::rates_deg_s(const std::string& line, double t)
{
    advance(t);
    const SensorConfig& sensor = config_.sensor(line);
    const Vec3 w = rotate_back(sensor.mounting, craft_.rates());
    RateVector r;
    for (int i = 0; i < 3; ++i) {
        r[i] = w[i] * DEG_PER_RAD + sensor.bias_deg_s[i];
        if (sensor.noise_deg_s > 0.0) r[i] += sensor.noise_deg_s * gaussian(line);
    }
    return r;
}

std::unique_ptr<WheelMotor> TruthModel::wheel_motor(std::size_t k)
{
    return std::make_unique<ModelWheel>(*this, k);
}

}  // namespace devsim
