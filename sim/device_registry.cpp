#include "device_registry.h"

#include "gyro_codec.h"
#include "mems_codec.h"
#include "optical_unit.h"
#include "rate_sensor.h"
#include "star_sensor.h"
#include "truth_model.h"
#include "vision_unit.h"
#include "wheel.h"

#include <utility>

namespace devsim {
namespace {

struct KindEntry {
    const char* name;
    DeviceFactory make;
};

// With a spacecraft model, sensors read it; otherwise their own motion.
StarSource star_source(const DeviceSetup& setup)
{
    if (!setup.truth) return nullptr;
    return [truth = setup.truth, name = setup.name, index = setup.index](double t) {
        return truth->star_attitude(name, index, t);
    };
}

RateSource rate_source(const DeviceSetup& setup)
{
    if (!setup.truth) return nullptr;
    return [truth = setup.truth, name = setup.name](double t) { return truth->rates_deg_s(name, t); };
}

const std::vector<KindEntry>& kinds()
{
    // New device kinds are added here.
    static const std::vector<KindEntry> table = {
        {"nano", [](const DeviceSetup& setup, LogSink log) -> std::unique_ptr<Device> {
             return std::make_unique<StarSensor>(StarType::nano, setup.index, std::move(log), star_source(setup));
         }},
        {"pico", [](const DeviceSetup& setup, LogSink log) -> std::unique_ptr<Device> {
             return std::make_unique<StarSensor>(StarType::pico, setup.index, std::move(log), star_source(setup));
         }},
        {"gyro", [](const DeviceSetup& setup, LogSink log) -> std::unique_ptr<Device> {
             return std::make_unique<RateSensor>(gyro_codec(), setup.index, std::move(log), rate_source(setup));
         }},
        {"mems", [](const DeviceSetup& setup, LogSink log) -> std::unique_ptr<Device> {
             return std::make_unique<RateSensor>(mems_codec(), setup.index, std::move(log), rate_source(setup));
         }},
        {"wheel", [](const DeviceSetup& setup, LogSink log) -> std::unique_ptr<Device> {
             std::unique_ptr<WheelMotor> motor;
             if (setup.truth && setup.wheel_number < setup.truth->craft().wheel_count())
                 motor = setup.truth->wheel_motor(setup.wheel_number);
             return std::make_unique<Wheel>(setup.hardware_id, setup.status_hz, std::move(log), std::move(motor));
         }},
        {"optical", [](const DeviceSetup& setup, LogSink log) -> std::unique_ptr<Device> {
             return std::make_unique<OpticalUnit>(setup.index, std::move(log));
         }},
        {"vision", [](const DeviceSetup& setup, LogSink log) -> std::unique_ptr<Device> {
             return std::make_unique<VisionUnit>(setup.index, std::move(log));
         }},
    };
    return table;
}

}  // namespace

std::vector<std::string> known_kinds()
{
    std::vector<std::string> names;
    for (const auto& k : kinds()) names.emplace_back(k.name);
    return names;
}

bool is_known_kind(const std::string& kind)
{
    for (const auto& k : kinds())
        if (kind == k.name) return true;
    return false;
}

std::unique_ptr<Device> make_device(const std::string& kind, const DeviceSetup& setup, LogSink log)
{
    for (const auto& k : kinds())
        if (kind == k.name) return k.make(setup, std::move(log));
    return nullptr;
}

}  // namespace devsim
