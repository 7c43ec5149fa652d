#include "rate_framing.h"

#include "sim_text.h"

#include <algorithm>
#include <cmath>

namespace devsim {

bool RateRequestFramer::push(uint8_t byte)
{
    if (have_first_) {
        if (byte == RATE_REQUEST_SECOND) {
            have_first_ = false;
            return true;
        }
        // The waiting 0x55 was no request; this byte may start one itself.
        ++skipped_;
        if (byte == RATE_REQUEST_FIRST) return false;
        have_first_ = false;
        ++skipped_;
        return false;
    }
    if (byte == RATE_REQUEST_FIRST)
        have_first_ = true;
    else
        ++skipped_;
    return false;
}

std::size_t RateRequestFramer::take_skipped()
{
    const std::size_t n = skipped_;
    skipped_ = 0;
    return n;
}

uint8_t rate_checksum(const uint8_t* data, std::size_t size)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i) sum += data[i];
    return uint8_t(sum & 0xFF);
}

void put_int24(uint8_t* at, int32_t value)
{
    const uint32_t u = uint32_t(value);
    at[0] = uint8_t(u >> 16);
    at[1] = uint8_t(u >> 8);
    at[2] = uint8_t(u);
}

int32_t get_int24(const uint8_t* at)
{
    uint32_t u = uint32_t(at[0]) << 16 | uint32_t(at[1]) << 8 | uint32_t(at[2]);
    if (u & 0x800000u) u |= 0xFF000000u;
    return int32_t(u);
}

void put_u16(uint8_t* at, uint16_t value)
{
    at[0] = uint8_t(value >> 8);
    at[1] = uint8_t(value);
}

uint16_t get_u16(const uint8_t* at)
{
    return uint16_t(uint16_t(at[0]) << 8 | at[1]);
}

int32_t clamp_count24(double value)
{
    if (std::isnan(value)) return 0;
    return int32_t(std::clamp(std::round(value), double(COUNT24_MIN), double(COUNT24_MAX)));
}

int32_t rate_counts(double rate, float k, float w0, uint16_t time, double unit)
{
    return clamp_count24((rate + double(w0) / 3600.0) * double(k) * double(time) / unit);
}

Bytes build_rate_answer(std::size_t size, const RateFields& fields)
{
    Bytes b(std::max(size, RATE_FIELDS_END + 1), 0);
    b[0] = RATE_ANSWER_HEADER;
    for (int a = 0; a < 3; ++a) {
        put_int24(&b[RATE_AXIS_AT[a]], fields.count[a]);
        put_u16(&b[RATE_AXIS_AT[a] + 3], fields.time[a]);
    }
    b.back() = rate_checksum(b.data(), b.size() - 1);
    return b;
}

std::optional<RateFields> read_rate_fields(const Bytes& answer)
{
    if (answer.size() < RATE_FIELDS_END) return std::nullopt;
    RateFields f;
    for (int a = 0; a < 3; ++a) {
        f.count[a] = get_int24(&answer[RATE_AXIS_AT[a]]);
        f.time[a] = get_u16(&answer[RATE_AXIS_AT[a] + 3]);
    }
    return f;
}

std::string rate_reading_text(const RateReading& r)
{
    return "x=" + float_text(r[0]) + " y=" + float_text(r[1]) + " z=" + float_text(r[2]);
}

}  // namespace devsim
