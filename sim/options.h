// devsim's command line.
#pragma once

#include "faults.h"

#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

constexpr uint64_t DEFAULT_SEED = 20240601;

struct LineSpec {
    std::string name;
    std::string kind;
    // Wheels: the hardware id, given as "wheel:ID" or assigned in order
    // (0x11 for the first wheel line, 0x22 for the second, ...).
    int hardware_id = -1;
};

struct Options {
    std::string run_dir;
    std::vector<LineSpec> lines;
    bool pace = false;
    int baud = 115200;
    uint64_t seed = DEFAULT_SEED;
    int hangup_ms = 2000;
    double wheel_hz = 10.0;
    std::vector<FaultRequest> faults;
    // --spacecraft: the devices read this model (spacecraft_config.h)
    // instead of their own fixed motions; --truth-log: where its truth goes.
    std::string spacecraft_file;
    std::string truth_log;
};

// Parses and checks the arguments after the program name. Accepts
// "--opt value" and "--opt=value".
bool parse_options(const std::vector<std::string>& args, Options& options, std::string& error);

std::string usage_text();

// Names the run directory already uses for itself.
constexpr const char* READY_FILE = "devsim.ready";
constexpr const char* CONTROL_FIFO = "devsim.control";

}  // namespace devsim
