// The device kinds the simulator can play, by command-line name.
#pragma once

#include "device.h"

#include <memory>
#include <string>
#include <vector>

namespace devsim {

// Kind names in the order they are listed in the usage text.
std::vector<std::string> known_kinds();

bool is_known_kind(const std::string& kind);

// Null when the kind is unknown.
std::unique_ptr<Device> make_device(const std::string& kind, const DeviceSetup& setup, LogSink log);

}  // namespace devsim
