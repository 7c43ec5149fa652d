// The commands every hardware service accepts on "Command", by name, with
// typed and range-checked arguments: the star sensors' command codes with
// their parameter byte, the wheels' speed and torque modes, the optical
// unit's direct, parameter and time commands, the vision unit's parameter,
// quaternion and time commands, and what the gyro and MEMS services take.
//
// Devices are named as in telemetry_records.h ("nano1", "wheel2",
// "optical", ...). A command is named by its name or, where the device
// numbers its commands, by its number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace commands {

enum class ArgType { Unsigned, Signed, Real };

struct ArgSpec {
    std::string name;  // "speed", "param", "q0"
    ArgType type = ArgType::Real;
    double min = 0.0, max = 0.0;  // inclusive; Real arguments must be finite
    std::string unit;             // "" when it has none
    bool optional = false;        // may be left out (then `fallback`)
    double fallback = 0.0;
    std::string help;
};

struct CommandSpec {
    std::string name;           // "speed", "direct", "quaternion", ...
    std::vector<std::string> aliases;  // numbers and other accepted names
    std::string help;
    std::vector<ArgSpec> args;
};

// The commands of `device`, in listing order; empty for a device that takes
// none or that the bench does not know.
const std::vector<CommandSpec>& device_commands(const std::string& device);

struct Built {
    std::string service;             // bus name to send to
    std::vector<uint8_t> payload;    // the bytes the service expects
};

struct BuildResult {
    bool ok = false;
    Built built;        // when ok
    std::string error;  // otherwise: which argument, what was given, what is allowed
};

// Checks and encodes one command. Nothing is built unless every argument is
// valid: the right count, each a number of its type, within its range.
BuildResult build_command(const std::string& device, const std::string& command,
                          const std::vector<std::string>& args);

}  // namespace commands
