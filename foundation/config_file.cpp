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
    if (!Json::parseFromStream(builder, in, &root, &errors)) {
        err_line("[ERROR] Failed to parse JSON: " + errors);
        return -1;
    }
    return 0;
}
