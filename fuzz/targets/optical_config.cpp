// The optical ranging service's configuration parser with any file
// contents. A file is taken only when its "optical" object holds a string
// "device" and an integer "baudrate", and then exactly those are taken.
#include "Tavrin.h"
#include "harness.h"

#include <json/json.h>

#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::MemoryFile file(data, size);
    OpticalConfig config;
    config.device = "unchanged";
    config.baudrate = -77;
    const int rc = parse_optical_config_file(file.path().c_str(), &config);
    FUZZ_CHECK(rc == 0 || rc == -1, "returned " + std::to_string(rc));

    Json::Value root;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
    bool parsed = false;
    try {
        parsed = Json::parseFromStream(builder, text, &root, &errors);
    } catch (const Json::Exception&) {
    }
    const bool usable = parsed && root.isObject() && root["optical"].isObject() &&
                        root["optical"]["device"].isString() && root["optical"]["baudrate"].isInt();
    FUZZ_CHECK((rc == 0) == usable, "returned " + std::to_string(rc) + " for a file that is " +
                                        (usable ? "usable" : "not usable"));
    if (rc == 0) {
        FUZZ_CHECK(config.device == root["optical"]["device"].asString(), "device " + config.device);
        FUZZ_CHECK(config.baudrate == root["optical"]["baudrate"].asInt(), "speed " + std::to_string(config.baudrate));
    } else {
        FUZZ_CHECK(config.device == "unchanged" && config.baudrate == -77, "configuration changed on failure");
    }
    return 0;
}
