// The star sensor service's configuration parser with any file contents.
// What it accepts is checked against the file as jsoncpp reads it: at most
// eight entries, each from an element that is not disabled and names a
// device, in file order.
#include "Brenvik.h"
#include "harness.h"

#include <json/json.h>

#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::MemoryFile file(data, size);
    StarConfig configs[STAR_MAX_SENSORS];
    const int n = parse_config_file(file.path(), configs, STAR_MAX_SENSORS);
    FUZZ_CHECK(n >= -1 && n <= STAR_MAX_SENSORS, "returned " + std::to_string(n));
    if (n <= 0) return 0;

    // Accepted entries exist only for a file that is a JSON object with a
    // "star_sensors" array.
    Json::Value root;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
    bool parsed = false;
    try {
        parsed = Json::parseFromStream(builder, text, &root, &errors);
    } catch (const Json::Exception&) {
    }
    FUZZ_CHECK(parsed && root.isObject() && root["star_sensors"].isArray(), "entries from a file without sensors");
    const Json::Value& sensors = root["star_sensors"];
    FUZZ_CHECK(n <= int(sensors.size()), std::to_string(n) + " entries from " + std::to_string(sensors.size()));

    // Entries keep file order: each accepted device is the device of a
    // later element than the one before. Where a device appears in one
    // element only, that element's defaults and type are checked too.
    auto device_of = [](const Json::Value& e, std::string& out) {
        try {
            if (!e.isObject() || !e.isMember("device")) return false;
            out = e["device"].asString();
            return true;
        } catch (const Json::Exception&) {
            return false;
        }
    };
    Json::ArrayIndex next = 0;
    for (int i = 0; i < n; ++i) {
        const StarConfig& c = configs[i];
        FUZZ_CHECK(c.enabled, "entry " + std::to_string(i) + " not enabled");
        FUZZ_CHECK(!c.device.empty(), "entry " + std::to_string(i) + " without a device");
        FUZZ_CHECK(c.type == STAR_NANO || c.type == STAR_PICO, "entry type " + std::to_string(int(c.type)));
        bool found = false;
        std::string dev;
        for (; next < sensors.size() && !found; ++next) found = device_of(sensors[next], dev) && dev == c.device;
        FUZZ_CHECK(found, "entry " + std::to_string(i) + " device '" + c.device + "' not in file order");
        int same = 0;
        for (Json::ArrayIndex k = 0; k < sensors.size(); ++k) same += device_of(sensors[k], dev) && dev == c.device;
        if (same != 1) continue;
        const Json::Value& e = sensors[next - 1];
        if (!e.isMember("star_num")) FUZZ_CHECK(c.star_num == i + 1, "default number " + std::to_string(c.star_num));
        if (!e.isMember("baudrate")) FUZZ_CHECK(c.baudrate == 115200, "default speed");
        const bool pico = e.isMember("type") && e["type"].isString() && e["type"].asString() == "pico";
        FUZZ_CHECK((c.type == STAR_PICO) == pico, "type of entry " + std::to_string(i));
    }
    return 0;
}
