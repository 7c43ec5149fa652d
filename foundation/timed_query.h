// One request, one fixed-length answer within a deadline: the exchange shared
// by the gyro, the MEMS unit and the vision unit.
//
// An exchange writes the request, collects the answer within the deadline,
// checks header and checksum, hands the answer to the unit and keeps the
// line's counts: a failed exchange adds one to the failure run and a good one
// clears it; after ten failures in a row the next exchange first resets the
// line. What differs between units (the request, the answer's length,
// header and decoding, the texts of the messages) is the unit's.
#pragma once

#include "serial_port.h"

#include <cstddef>
#include <cstdint>

constexpr int TIMED_QUERY_DEADLINE_MS = 50;
constexpr int TIMED_QUERY_RESET_AFTER = 10;  // failures in a row before a reset

// Line statistics record published to the line monitor: line id, then the
// header, checksum, length and reset counts.
#pragma pack(push, 1)
struct Line_Serial_Frame {
    uint8_t serial_id;
    uint8_t head_err_cnt;
    uint8_t check_err_cnt;
    uint8_t length_err_cnt;
    uint8_t uart_reset_cnt;
};
#pragma pack(pop)
static_assert(sizeof(Line_Serial_Frame) == 5, "line statistics record is 5 bytes");

// Copies the four counts of `device` into bytes 1 to 4 of `status` (if any).
void copy_line_counts(const Serial_Device& device, Line_Serial_Frame* status);

class TimedQueryUnit {
public:
    virtual ~TimedQueryUnit() = default;

    virtual Serial_Device& line() = 0;
    virtual std::size_t answer_length() const = 0;
    // True: the caller's raw buffer shows whatever arrived, as it arrived.
    // False: it only ever receives a complete, verified answer.
    virtual bool raw_shows_partial_answers() const = 0;

    // Re-opens the line with its recorded path and speed; a status code.
    virtual int reset_line() = 0;
    // What the line is called in the messages of an outage ("gyro").
    virtual const char* line_name() const { return "serial"; }
    // What is discarded before the request: TCIOFLUSH (stale input and
    // unsent output) or TCIFLUSH (stale input only, for a line that also
    // carries commands, whose frames must not be cut off in the output
    // queue).
    virtual int flush_before_request() const;
    // Writes the request; 0 or a status code.
    virtual int send_request() = 0;
    virtual bool header_ok(const uint8_t* answer) = 0;
    // True when the answer's checksum holds.
    virtual bool checksum_ok(const uint8_t* answer) = 0;
    // Takes a verified answer; 0 or a status code.
    virtual int accept(const uint8_t* answer) = 0;

    // Messages.
    virtual void report_not_open() = 0;
    virtual void report_called() = 0;
    virtual void report_reset_start() = 0;
    virtual void report_reset_done() = 0;
    virtual void report_reset_failed(int status) = 0;
    virtual void report_send_failed() = 0;
    virtual void report_timeout(long elapsed_ms, std::size_t received) = 0;
    virtual void report_piece(std::size_t /*just_read*/, std::size_t /*total*/) {}
    virtual void report_complete(const uint8_t* /*answer*/) {}
    virtual void report_select_error(int err);
    virtual void report_read_error(int err);
    virtual void report_header(const uint8_t* answer) = 0;
    virtual void report_checksum() = 0;
    virtual void report_accept_failed(int status) = 0;
    virtual void report_success() = 0;
};

// A line that is gone (hung up, vanished) is closed at once and, unless its
// device's configuration turned that off, opened again by a later exchange,
// at most once a second (line().line_return); the exchange that finds it
// back counts one reset and goes on as usual. With re-opening off, a hung-up
// line is kept and reset after ten failures like any other, and a line that
// is closed stays closed.
//
// One complete exchange. `raw` (answer_length() bytes) is cleared first;
// `status` (may be null) receives the four counts on every return path.
int timed_query(TimedQueryUnit& unit, Line_Serial_Frame* status, uint8_t* raw);
