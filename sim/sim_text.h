// Text helpers shared by the simulator's log lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace devsim {

// "74 A0 00 00 14": uppercase, two digits per byte, single spaces.
std::string hex_bytes(const uint8_t* data, std::size_t size);

// A float as std::ostream prints it with default settings ("0.5", "-2e-13").
std::string float_text(float value);

}  // namespace devsim
