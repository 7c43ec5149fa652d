// The MEMS service's configuration with any file contents: the parser, and
// the configuration the service runs with, which falls back to /dev/tnt5
// at 115200 bit/s whenever the file cannot be used.
#include "Quimbrel.h"
#include "harness.h"

#include <json/json.h>

#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::MemoryFile file(data, size);
    MemsConfig parsed_config;
    const int rc = parse_mems_config_file(file.path().c_str(), &parsed_config);
    FUZZ_CHECK(rc == 0 || rc == -1, "returned " + std::to_string(rc));
    const MemsConfig effective = mems_effective_config(file.path().c_str());
    if (rc != 0) {
        FUZZ_CHECK(effective.device == MEMS_FALLBACK_DEVICE && effective.baudrate == 115200,
                   "fallback " + effective.device);
        return 0;
    }
    FUZZ_CHECK(effective.device == parsed_config.device && effective.baudrate == parsed_config.baudrate,
               "the service runs with another configuration than the file's");

    Json::Value root;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
    bool parsed = false;
    try {
        parsed = Json::parseFromStream(builder, text, &root, &errors);
    } catch (const Json::Exception&) {
    }
    FUZZ_CHECK(parsed && root.isObject() && root["mems_sensor"].isObject(), "accepted a file without mems_sensor");
    const Json::Value& m = root["mems_sensor"];
    FUZZ_CHECK(parsed_config.device == (m.isMember("device") ? m["device"].asString() : "/dev/ttyS2"),
               "device " + parsed_config.device);
    FUZZ_CHECK(parsed_config.baudrate == (m.isMember("baudrate") ? m["baudrate"].asInt() : 115200), "speed");
    return 0;
}
