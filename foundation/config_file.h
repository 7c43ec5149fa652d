// Reading a service's JSON configuration file.
#pragma once

#include <json/json.h>

#include <string>

// Opens and parses `path` into `root`. On failure prints
// "[ERROR] Cannot open config file: <path>" or
// "[ERROR] Failed to parse JSON: <reader's message>" to standard error and
// returns -1; 0 on success.
int load_json_config(const std::string& path, Json::Value& root);

// The "reopen" key of a device's section: whether a line that is gone (a
// device unplugged, a line hung up) is opened again once a second until it is
// back. True when absent; anything but true or false refuses the file
// ("[ERROR] 'reopen' must be true or false", returns -1).
int config_reopen(const Json::Value& section, bool& reopen);
