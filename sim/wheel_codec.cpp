#include "wheel_codec.h"

#include "sim_text.h"

#include <cmath>
#include <limits>

namespace devsim {
namespace {

bool is_command_start(uint8_t b)
{
    return b == WHEEL_CMD_SPEED || b == WHEEL_CMD_TORQUE;
}

void put_be32(uint32_t v, uint8_t* out)
{
    out[0] = uint8_t(v >> 24);
    out[1] = uint8_t(v >> 16);
    out[2] = uint8_t(v >> 8);
    out[3] = uint8_t(v);
}

int32_t thousandths(double value)
{
    const double scaled = std::round(value * 1000.0);
    if (!(scaled == scaled)) return 0;  // NaN
    if (scaled >= double(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    if (scaled <= double(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    return int32_t(scaled);
}

}  // namespace

std::array<uint8_t, 4> encode_wheel_command_value(float value)
{
    // The service's own arithmetic: widen, scale, shift negatives up by 2^32
    // and truncate. That floors value * 1000 in two's complement.
    double scaled = double(value) * 1000.0;
    if (value < 0) scaled += 4294967296.0;
    const uint32_t raw = scaled <= 0.0 ? 0u : uint32_t(uint64_t(scaled));
    std::array<uint8_t, 4> out{};
    put_be32(raw, out.data());
    return out;
}

float decode_wheel_value(const uint8_t* b)
{
    const uint32_t raw = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
    return float(double(int32_t(raw)) / 1000.0);
}

uint8_t wheel_command_checksum(const uint8_t* frame)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < WHEEL_COMMAND_FRAME - 1; ++i) sum += frame[i];
    return uint8_t(sum);
}

uint8_t wheel_status_checksum(const uint8_t* frame)
{
    unsigned sum = 0;
    for (std::size_t i = 1; i <= 16; ++i) sum += frame[i];
    return uint8_t(sum);
}

Bytes encode_wheel_command(uint8_t mode, float value1, float value2, uint8_t hardware_id)
{
    Bytes f(WHEEL_COMMAND_FRAME, 0);
    f[0] = mode;
    const auto v1 = encode_wheel_command_value(value1);
    const auto v2 = encode_wheel_command_value(value2);
    std::copy(v1.begin(), v1.end(), f.begin() + 1);
    std::copy(v2.begin(), v2.end(), f.begin() + 5);
    f[9] = hardware_id;
    f[10] = wheel_command_checksum(f.data());
    return f;
}

Bytes encode_wheel_status(const WheelStatus& status, uint8_t hardware_id)
{
    Bytes f(WHEEL_STATUS_FRAME, 0);
    f[0] = WHEEL_STATUS_HEADER;
    put_be32(uint32_t(thousandths(status.speed)), &f[1]);
    put_be32(uint32_t(thousandths(status.current)), &f[5]);
    // Bytes 9..12 stay zero: the service does not interpret them.
    put_be32(uint32_t(thousandths(status.torque)), &f[13]);
    f[17] = hardware_id;
    f[18] = wheel_status_checksum(f.data());
    return f;
}

std::optional<WheelStatus> decode_wheel_status(const Bytes& frame)
{
    if (frame.size() != WHEEL_STATUS_FRAME || frame[0] != WHEEL_STATUS_HEADER ||
        frame[18] != wheel_status_checksum(frame.data()))
        return std::nullopt;
    WheelStatus s;
    s.speed = decode_wheel_value(&frame[1]);
    s.current = decode_wheel_value(&frame[5]);
    s.torque = decode_wheel_value(&frame[13]);
    return s;
}

std::string wheel_status_text(const Bytes& frame)
{
    if (frame.size() != WHEEL_STATUS_FRAME) return "not a status frame";
    return "speed=" + float_text(decode_wheel_value(&frame[1])) +
           " current=" + float_text(decode_wheel_value(&frame[5])) +
           " torque=" + float_text(decode_wheel_value(&frame[13]));
}

WheelCommandFramer::Result WheelCommandFramer::push(const uint8_t* data, std::size_t size)
{
    Result r;
    // Bytes still to look at: the new ones, plus those of a rejected frame
    // after its start byte.
    Bytes todo(data, data + size);
    std::size_t i = 0;
    while (i < todo.size()) {
        const uint8_t b = todo[i++];
        if (partial_.empty()) {
            if (!is_command_start(b)) {
                ++r.skipped;
                continue;
            }
        }
        partial_.push_back(b);
        if (partial_.size() < WHEEL_COMMAND_FRAME) continue;

        WheelCommandFrame frame;
        frame.bytes = std::move(partial_);
        partial_.clear();
        frame.checksum_ok = frame.bytes[10] == wheel_command_checksum(frame.bytes.data());
        if (!frame.checksum_ok) {
            // Look again from the byte after the rejected start byte.
            todo.insert(todo.begin() + long(i), frame.bytes.begin() + 1, frame.bytes.end());
        }
        r.frames.push_back(std::move(frame));
    }
    return r;
}

}  // namespace devsim
