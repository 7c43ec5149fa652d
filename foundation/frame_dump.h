// The "[DEBUG]" dump of a received frame: a heading, then at most the first
// 32 bytes as upper-case hexadecimal, sixteen to a "[DEBUG] " line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// `ellipsis`: "..." after the bytes shown.
inline std::string frame_dump(const std::string& heading, const uint8_t* data, std::size_t count, bool ellipsis)
{
    std::string out = heading;
    for (std::size_t i = 0; i < count && i < 32; ++i) {
        if (i % 16 == 0) out += "\n[DEBUG] ";
        char b[4];
        std::snprintf(b, sizeof b, "%02X ", data[i]);
        out += b;
    }
    if (ellipsis) out += "...";
    return out;
}
