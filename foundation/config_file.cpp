#include "config_file.h"

#include "service_skeleton.h"

#include <fstream>

int load_json_config(const std::string& path, Json::Value& root)
{
    std::ifstream in(path);
    if (!in) {
        err_line("[ERROR] Cannot open config file: " + path);
        return -1;
    }
    Json::CharReaderBuilder builder;
    std::string errors;
    try {
        if (!Json::parseFromStream(builder, in, &root, &errors)) {
            err_line("[ERROR] Failed to parse JSON: " + errors);
            return -1;
        }
    } catch (const Json::Exception& e) {
        // The reader throws instead of reporting for some inputs (nesting
        // deeper than its stack limit): a bad file, not a reason to crash.
        err_line(std::string("[ERROR] Failed to parse JSON: ") + e.what());
        return -1;
    }
    return 0;
}

int config_reopen(const Json::Value& section, bool& reopen)
{
    reopen = true;
    if (!section.isObject() || !section.isMember("reopen")) return 0;
    if (!section["reopen"].isBool()) {
        err_line("[ERROR] 'reopen' must be true or false");
        return -1;
    }
    reopen = section["reopen"].asBool();
    return 0;
}
