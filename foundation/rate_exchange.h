// The request/answer exchange of the gyro and the MEMS unit.
//
// Both units answer the two-byte request 55 68 with a fixed-length frame
// that starts with 0x97 and ends with an additive checksum, within the
// timed query's deadline (timed_query.h). What differs between the two units
// (frame length, decoding, how the request is written, the texts of their
// messages) is supplied by the service as a RateUnit.
#pragma once

#include "serial_port.h"
#include "timed_query.h"

#include <cstddef>
#include <cstdint>

constexpr uint8_t RATE_REQUEST[2] = {0x55, 0x68};
constexpr uint8_t RATE_ANSWER_HEADER = 0x97;
constexpr int RATE_DEADLINE_MS = TIMED_QUERY_DEADLINE_MS;
constexpr int RATE_RESET_AFTER = TIMED_QUERY_RESET_AFTER;

using Rate_Serial_Frame = Line_Serial_Frame;

// Three-axis record published to the console.
#pragma pack(push, 1)
struct Rate_Info_Frame {
    float x_axis;
    float y_axis;
    float z_axis;
};
#pragma pack(pop)
static_assert(sizeof(Rate_Info_Frame) == 12, "three-axis record is 12 bytes");

class RateUnit : public TimedQueryUnit {
public:
    // Decodes a verified answer; 0 or a status code.
    virtual int decode(const uint8_t* answer, Rate_Info_Frame* info) = 0;
    virtual void report_header(uint8_t byte) = 0;
    virtual void report_decode_failed(int status) = 0;

    bool header_ok(const uint8_t* answer) final { return answer[0] == RATE_ANSWER_HEADER; }
    void report_header(const uint8_t* answer) final { report_header(answer[0]); }
    int accept(const uint8_t* answer) final { return decode(answer, info_); }
    void report_accept_failed(int status) final { report_decode_failed(status); }

private:
    friend int rate_exchange(RateUnit&, Rate_Info_Frame*, Rate_Serial_Frame*, uint8_t*);
    Rate_Info_Frame* info_ = nullptr;
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
