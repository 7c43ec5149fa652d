// The gyro service's configuration parser with any file contents. Only the
// "gyro" object is read; a value of the wrong JSON type refuses the file.
#include "Zentaro.h"
#include "harness.h"

#include <json/json.h>

#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::MemoryFile file(data, size);
    GyroConfig config;
    const int rc = parse_gyro_config_file(file.path().c_str(), &config);
    FUZZ_CHECK(rc == 0 || rc == -1, "returned " + std::to_string(rc));
    if (rc != 0) return 0;

    Json::Value root;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
    bool parsed = false;
    try {
        parsed = Json::parseFromStream(builder, text, &root, &errors);
    } catch (const Json::Exception&) {
    }
    FUZZ_CHECK(parsed && root.isObject() && root["gyro"].isObject(), "accepted a file without a gyro object");
    const Json::Value& g = root["gyro"];
    FUZZ_CHECK(config.enabled == (!g.isMember("enabled") || g["enabled"].asBool()), "enabled");
    if (!config.enabled) return 0;
    FUZZ_CHECK(config.device == (g.isMember("device") ? g["device"].asString() : "/dev/tnt0"), "device " + config.device);
    FUZZ_CHECK(config.baudrate == (g.isMember("baudrate") ? g["baudrate"].asInt() : 115200), "speed");
    return 0;
}
