// The laser-ranging unit's serial protocol: the fixed direct command frames,
// the parameter and time command frames, and the 228-byte telemetry answer.
#pragma once

#include "timed_query.h"

#include <cstddef>
#include <cstdint>

constexpr std::size_t OPTICAL_ANSWER_LEN = 228;
constexpr uint8_t OPTICAL_SERIAL_ID = 10;
constexpr int OPTICAL_ATTEMPTS = 10;
constexpr int OPTICAL_SILENT_WAITS = 20;  // 50 ms each: one attempt's read phase
constexpr int OPTICAL_WAIT_MS = 50;
constexpr int OPTICAL_RESET_ABOVE = 9;     // failure score that resets the line

// Direct command rows: 25 frames CD 90 <group> <action> FF. Row 14 is the
// telemetry request.
constexpr std::size_t OPTICAL_DIRECT_ROWS = 25;
constexpr uint8_t OPTICAL_TELEMETRY_REQUEST_ROW = 14;
extern const uint8_t Optical_CMD[OPTICAL_DIRECT_ROWS][5];

// Parameter command rows 1 to 11 (row 0 is never sent): EB 90 n, four
// parameter bytes, checksum; rewritten in place each time a row is sent.
constexpr std::size_t OPTICAL_PARAM_ROWS = 12;
extern uint8_t Optical_CMD_para[OPTICAL_PARAM_ROWS][8];

inline bool optical_direct_number_ok(uint8_t n) { return n < OPTICAL_DIRECT_ROWS; }
inline bool optical_param_number_ok(uint8_t n) { return n >= 1 && n < OPTICAL_PARAM_ROWS; }

// Fills row `number` (1 to 11) of Optical_CMD_para for `parameter`:
// numbers 1, 3, 4, 6, 8 carry the parameter's lowest byte then 00 00 00;
// 2 and 5 the parameter big-endian; 7, 9, 10, 11 four zero bytes. Byte 7 is
// the sum of bytes 0 to 6.
void optical_fill_param_row(uint8_t number, int32_t parameter);

// EB 90 0D, seconds and milliseconds big-endian, sum of bytes 0 to 8.
void optical_time_frame(uint32_t seconds, uint16_t milliseconds, uint8_t frame[10]);

#pragma pack(push, 1)
struct OPTICAL_GNC_Frame {
    float far_range;
    float near_range;
    int16_t far_mirror_azimuth;
    int16_t near_mirror_pitch;
    uint8_t cmd_recv_count;
    uint8_t tlm_count;
    uint32_t ranging_time_sec;
    uint16_t ranging_time_ms;
};
#pragma pack(pop)
static_assert(sizeof(OPTICAL_GNC_Frame) == 20, "the optical record is 20 packed bytes");

using OPTICAL_Serial_Frame = Line_Serial_Frame;

// Answer checks and conversion (the answer is OPTICAL_ANSWER_LEN bytes).
bool optical_header_ok(const uint8_t* answer);
uint8_t optical_answer_sum(const uint8_t* answer);  // bytes 2 to 226
void optical_convert(const uint8_t* answer, OPTICAL_GNC_Frame* record);

// To the console: the 20-byte record; the service's command counts
// (messages received, commands that passed their checks, frames written
// whole); the header, checksum, length and reset counts; the reset-enable
// state (1).
constexpr std::size_t OPTICAL_GNC_RECORD_LEN = 28;
