// What the gyro and the MEMS unit have in common on their lines.
//
// Both are asked with the same two bytes, 55 68, and nothing else is ever
// written to them; the request is cut out of the byte stream by skipping
// everything until a 0x55 followed by 0x68, in any number of pieces.
//
// Both answer with the same leading layout: header 0x97, then for X, Y and
// Z a 24-bit two's complement big-endian count and a 16-bit big-endian
// unsigned integral time (X at 1/4, Y at 6/9, Z at 11/14), then bytes that
// the services do not interpret, and last a checksum byte: the low 8 bits of
// the sum of all the bytes before it. Only the length (27 for the gyro, 44
// for the MEMS unit) and the way a service turns counts into values differ;
// those live in gyro_codec and mems_codec.
#pragma once

#include "device.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace devsim {

constexpr uint8_t RATE_REQUEST_FIRST = 0x55;
constexpr uint8_t RATE_REQUEST_SECOND = 0x68;
constexpr uint8_t RATE_ANSWER_HEADER = 0x97;

// Where an axis' count starts; its integral time follows 3 bytes later.
constexpr std::size_t RATE_AXIS_AT[3] = {1, 6, 11};
// Bytes 0..15 carry the header and the three axes.
constexpr std::size_t RATE_FIELDS_END = 16;

constexpr int32_t COUNT24_MIN = -8388608;
constexpr int32_t COUNT24_MAX = 8388607;

// Cuts 55 68 requests out of the bytes a service writes.
class RateRequestFramer {
public:
    // One byte in; true when it completes a request.
    bool push(uint8_t byte);

    // Bytes dropped since the last call, returned and forgotten. A 0x55
    // still waiting for its 0x68 is not counted until it is known to be
    // no request.
    std::size_t take_skipped();

    // Forgets a waiting 0x55 (it is not counted as skipped either).
    void reset() { have_first_ = false; }

    // Whether a 0x55 is waiting for its second byte.
    bool pending() const { return have_first_; }

private:
    bool have_first_ = false;
    std::size_t skipped_ = 0;
};

// Low 8 bits of the sum of the bytes.
uint8_t rate_checksum(const uint8_t* data, std::size_t size);

// Three big-endian bytes: the low 24 bits of `value`.
void put_int24(uint8_t* at, int32_t value);
// Three big-endian bytes as a sign-extended 24-bit number.
int32_t get_int24(const uint8_t* at);

void put_u16(uint8_t* at, uint16_t value);
uint16_t get_u16(const uint8_t* at);

// round(value), clamped to the 24-bit range; NaN gives 0.
int32_t clamp_count24(double value);

// The count that reports `rate` on an axis with scale factor `k` and bias
// `w0` over `time`, for a service that divides count * `unit` by k * time:
// round((rate + w0 / 3600) * k * time / unit), clamped to 24 bits. A service
// then decodes `rate` back to within half a count.
int32_t rate_counts(double rate, float k, float w0, uint16_t time, double unit);

// The raw axis fields of an answer.
struct RateFields {
    std::array<int32_t, 3> count{};
    std::array<uint16_t, 3> time{};
};

// An answer of `size` bytes (at least RATE_FIELDS_END + 1): header, the
// fields, zeros up to the checksum, the checksum.
Bytes build_rate_answer(std::size_t size, const RateFields& fields);

// The fields of an answer; empty if it is too short to hold them.
std::optional<RateFields> read_rate_fields(const Bytes& answer);

// Rates per axis as the simulator means them, and as a service decodes them.
using RateVector = std::array<double, 3>;
using RateReading = std::array<float, 3>;

// One device kind's answer format.
struct RateCodec {
    const char* kind;
    std::size_t answer_size;
    // The answer reporting `rates`.
    Bytes (*encode)(const RateVector& rates);
    // What the service computes from an answer; empty where it would refuse
    // the answer's contents (a wrong length, or a zero gyro integral time).
    std::optional<RateReading> (*decode)(const Bytes& answer);
};

// "x=<v> y=<v> z=<v>", each as std::ostream prints the float.
std::string rate_reading_text(const RateReading& reading);

}  // namespace devsim
