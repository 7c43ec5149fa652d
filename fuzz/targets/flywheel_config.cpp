// The reaction wheel service's configuration parser with any file contents,
// then the wheel set-up it feeds (flywheel_open_configured) with the
// entries it accepted. The devices named are never opened: every accepted
// device path is replaced by one that cannot exist before the set-up.
#include "Skardel.h"
#include "harness.h"

#include <json/json.h>

#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::MemoryFile file(data, size);
    FlywheelConfig configs[FLYWHEEL_MAX];
    const int n = parse_flywheel_config_file(file.path(), configs, FLYWHEEL_MAX);
    FUZZ_CHECK(n >= -1 && n <= FLYWHEEL_MAX, "returned " + std::to_string(n));
    if (n <= 0) return 0;

    Json::Value root;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
    bool parsed = false;
    try {
        parsed = Json::parseFromStream(builder, text, &root, &errors);
    } catch (const Json::Exception&) {
    }
    FUZZ_CHECK(parsed && root.isObject() && root["flywheels"].isArray(), "entries from a file without wheels");
    FUZZ_CHECK(n <= int(root["flywheels"].size()), "more entries than elements");

    // Where an element has no hardware_id, the default is id × 17 + 17,
    // kept to its low byte.
    for (int i = 0; i < n; ++i) {
        const Json::Value* only = nullptr;
        int matches = 0;
        for (const Json::Value& w : root["flywheels"]) {
            if (!w.isObject() || !w["id"].isInt() || !w["device"].isString()) continue;
            if (w["device"].asString() != configs[i].device || w["id"].asInt() != configs[i].id) continue;
            only = &w;
            ++matches;
        }
        if (matches == 1 && !only->isMember("hardware_id")) {
            const uint8_t want = uint8_t(unsigned((*only)["id"].asInt()) * 17u + 17u);
            FUZZ_CHECK(configs[i].hardware_id == want,
                       "default hardware id " + std::to_string(configs[i].hardware_id) + " want " + std::to_string(want));
        }
        configs[i].device = "/nonexistent/fuzz-wheel-" + std::to_string(i);
    }
    for (auto& w : flywheels) w = Flywheel_Device{};
    const uint8_t opened = flywheel_open_configured(configs, n);
    FUZZ_CHECK(opened == 0, "a line opened: " + std::to_string(opened));
    return 0;
}
