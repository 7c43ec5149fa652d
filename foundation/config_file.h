// Reading a service's JSON configuration file.
#pragma once

#include <json/json.h>

#include <string>

// Opens and parses `path` into `root`. On failure prints
// "[ERROR] Cannot open config file: <path>" or
// "[ERROR] Failed to parse JSON: <reader's message>" to standard error and
// returns -1; 0 on success.
int load_json_config(const std::string& path, Json::Value& root);
