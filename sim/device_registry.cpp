#include "device_registry.h"

#include "gyro_codec.h"
#include "mems_codec.h"
#include "optical_unit.h"
#include "rate_sensor.h"
#include "star_sensor.h"
#include "vision_unit.h"
#include "wheel.h"

#include <utility>

namespace devsim {
namespace {

struct KindEntry {
    const char* name;
    DeviceFactory make;
};

const std::vector<KindEntry>& kinds()
{
    // New device kinds are added here.
    static const std::vector<KindEntry> table = {
        {"nano", [](const DeviceSetup& setup, LogSink log) -> std::unique_ptr<Device> {
             return std::make_unique<StarSensor>(StarType::nano, setup.index, std::move(log));
         }},
        {"pico", [](const DeviceSetup& setup, LogSink log) -> std::unique_ptr<Device> {
             return std::make_unique<StarSensor>(StarType::pico, setup.index, std::move(log));
         }},
        {"gyro", [](const DeviceSetup& setup, LogSink log) -> std::unique_ptr<Device> {
             return std::make_unique<RateSensor>(gyro_codec(), setup.index, std::move(log));
         }},
        {"mems", [](const DeviceSetup& setup, LogSink log) -> std::unique_ptr<Device> {
             return std::make_unique<RateSensor>(mems_codec(), setup.index, std::move(log));
         }},
        {"wheel", [](const DeviceSetup& setup, LogSink log) -> std::unique_ptr<Device> {
             return std::make_unique<Wheel>(setup.hardware_id, setup.status_hz, std::move(log));
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
