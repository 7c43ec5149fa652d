// Star sensor wire protocol: command frames, attitude answers, checksum and
// decoding. Pure functions on byte buffers; the line handling lives in
// Brenvik.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

enum star_type_t : uint8_t { STAR_NANO = 0, STAR_PICO = 1 };

// Command codes 0..34; 33 and 34 are the nano and pico attitude queries.
using SENSOR_Cmder = int;
constexpr SENSOR_Cmder STAR_CMD_NANO_QUERY = 33;
constexpr SENSOR_Cmder STAR_CMD_PICO_QUERY = 34;
constexpr SENSOR_Cmder STAR_CMD_ESD = 27;

constexpr std::size_t STAR_NANO_ANSWER_LEN = 64;
constexpr std::size_t STAR_PICO_ANSWER_LEN = 256;
constexpr std::size_t STAR_MAX_FRAME = 77;

#pragma pack(push, 1)
struct Brenvik_Frame {
    uint8_t star_type;
    uint8_t star_num;
    float q0, q1, q2, q3;
    float wx, wy, wz;
    uint8_t detected_stars;
    uint16_t head_err_cnt;
    uint16_t check_err_cnt;
    uint16_t length_err_cnt;
    uint16_t uart_reset_cnt;
    uint16_t fault_cnt;
};
#pragma pack(pop)
static_assert(sizeof(Brenvik_Frame) == 41, "Brenvik_Frame is 41 packed bytes");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "bus records are little-endian like the host");

// "NANO" for type 0, "PICO" for any other type.
const char* star_type_name(int type);

// Result of building a command frame.
enum class StarFrameResult { ok, unsupported, wrong_type };

// Builds the frame for `code` addressed to a sensor of `type` into `out`
// (room for STAR_MAX_FRAME bytes); `param` is used by codes 12..26, `utc` is
// the five time bytes of the time and ESD frames. Sets `len`.
StarFrameResult build_star_command(int type, SENSOR_Cmder code, uint8_t param, const uint8_t utc[5],
                                   uint8_t* out, std::size_t& len);

// Answer length of a query code for a sensor type; 0 when the pair has none.
std::size_t star_answer_length(int type, SENSOR_Cmder code);

// True when the answer starts with the header of its sensor type.
bool star_header_ok(int type, const uint8_t* answer);

// 0 when byte len-1 is the sum of the bytes before it modulo 256; -9 on a
// mismatch (after printing the checksum error); -6 when len < 2 or no data.
int checksum_verify(const uint8_t* data, int len);

// Fill bytes 2..30 of the record (quaternion, rates, detected stars); 0 or
// -6 when a pointer is missing.
int parse_nano_quaternion(const uint8_t* answer, Brenvik_Frame* record);
int parse_pico_quaternion(const uint8_t* answer, Brenvik_Frame* record);

// The rate scale of the nano answer: the float nearest 2.0e-13.
constexpr float STAR_RATE_SCALE = 2.0e-13f;
