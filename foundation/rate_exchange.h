// The request/answer exchange shared by the gyro and the MEMS unit.
//
// Both units answer the two-byte request 55 68 with a fixed-length frame
// that starts with 0x97 and ends with an additive checksum. One exchange
// writes the request, collects the answer within a short deadline, checks
// header and checksum, decodes it and keeps the line's counts; after ten
// failed exchanges in a row the next one first resets the line. What differs
// between the two units (frame length, decoding, how the request is written,
// the texts of their messages) is supplied by the service as a RateUnit.
#pragma once

#include "serial_port.h"

#include <cstddef>
#include <cstdint>

constexpr uint8_t RATE_REQUEST[2] = {0x55, 0x68};
constexpr uint8_t RATE_ANSWER_HEADER = 0x97;
constexpr int RATE_DEADLINE_MS = 50;
constexpr int RATE_RESET_AFTER = 10;  // failures in a row before a reset

// Line statistics record published to the line monitor: line id, then the
// header, checksum, length and reset counts.
#pragma pack(push, 1)
struct Rate_Serial_Frame {
    uint8_t serial_id;
    uint8_t head_err_cnt;
    uint8_t check_err_cnt;
    uint8_t length_err_cnt;
    uint8_t uart_reset_cnt;
};
// Three-axis record published to the console.
struct Rate_Info_Frame {
    float x_axis;
    float y_axis;
    float z_axis;
};
#pragma pack(pop)
static_assert(sizeof(Rate_Serial_Frame) == 5, "line statistics record is 5 bytes");
static_assert(sizeof(Rate_Info_Frame) == 12, "three-axis record is 12 bytes");

class RateUnit {
public:
    virtual ~RateUnit() = default;

    virtual Serial_Device& line() = 0;
    virtual std::size_t answer_length() const = 0;
    // True: the caller's raw buffer shows whatever arrived, as it arrived.
    // False: it only ever receives a complete, verified answer.
    virtual bool raw_shows_partial_answers() const = 0;

    // Re-opens the line with its recorded path and speed; a status code.
    virtual int reset_line() = 0;
    // Writes the request; 0 or a status code (the unit reports failures).
    virtual int send_request() = 0;
    // True when the answer's checksum holds (the unit reports a mismatch).
    virtual bool checksum_ok(const uint8_t* answer) = 0;
    // Decodes a verified answer; 0 or a status code.
    virtual int decode(const uint8_t* answer, Rate_Info_Frame* info) = 0;

    // Messages.
    virtual void report_not_open() = 0;
    virtual void report_called() = 0;
    virtual void report_reset_start() = 0;
    virtual void report_reset_done() = 0;
    virtual void report_reset_failed(int status) = 0;
    virtual void report_send_failed() = 0;
    virtual void report_timeout(long elapsed_ms, std::size_t received) = 0;
    virtual void report_header(uint8_t byte) = 0;
    virtual void report_checksum() = 0;
    virtual void report_decode_failed(int status) = 0;
    virtual void report_success() = 0;
};

// One complete exchange. `raw` (answer_length() bytes) is cleared first;
// `status` (may be null) receives the four counts on every return path.
int rate_exchange(RateUnit& unit, Rate_Info_Frame* info, Rate_Serial_Frame* status, uint8_t* raw);

// The record the console gets: the three values (zeros after a failed
// exchange), the line statistics, and the reset-enable state (1: the service
// resets its line).
constexpr std::size_t RATE_GNC_RECORD_LEN = 18;
void rate_gnc_record(int status, const Rate_Info_Frame& info, const Rate_Serial_Frame& line,
                     uint8_t out[RATE_GNC_RECORD_LEN]);

// Additive checksum over all bytes but the last, compared with the last.
bool rate_checksum_matches(const uint8_t* frame, std::size_t len);
