// Reaction wheel wire protocol: the 11-byte command frame, the 19-byte status
// frame, value encodings, hardware ids, and the assembly of status frames
// from a byte stream.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

constexpr std::size_t FLYWHEEL_CMD_LEN = 11;
constexpr std::size_t FLYWHEEL_FRAME_LEN = 19;
constexpr uint8_t FLYWHEEL_FRAME_HEADER = 0xFF;
constexpr uint8_t FLYWHEEL_CMD_SPEED = 0x58;
constexpr uint8_t FLYWHEEL_CMD_TORQUE = 0x59;

#pragma pack(push, 1)
struct Flywheel_Info_Frame {
    uint8_t wheel_id;
    float speed;
    float current;
    float torque;
};
struct Flywheel_Serial_Frame {
    uint8_t serial_id;
    uint16_t head_err_cnt;
    uint16_t check_err_cnt;
    uint16_t length_err_cnt;
    uint16_t uart_reset_cnt;
};
#pragma pack(pop)
static_assert(sizeof(Flywheel_Info_Frame) == 13, "wheel record is 13 bytes");
static_assert(sizeof(Flywheel_Serial_Frame) == 9, "wheel line statistics are 9 bytes");

// value × scale, floored into 32-bit two's complement, big-endian.
void cal_cmder_para(double value, double scale, uint8_t* out);
uint32_t bytes_to_uint32(const uint8_t* bytes);
// Signed big-endian 32-bit value divided by `divisor`.
float cal_message_para(const uint8_t* bytes, int divisor);
// 0x11, 0x22 ... 0x88 give 1 ... 8; anything else gives `fallback`.
uint8_t hardware_id_to_logical_id(uint8_t hardware_id, uint8_t fallback);
const char* flywheel_strerror(int status);

void build_flywheel_command(uint8_t cmd, float value1, float value2, uint8_t hardware_id,
                            uint8_t out[FLYWHEEL_CMD_LEN]);

// Status frame checksum: bytes 1 to 16 summed, compared with byte 18.
bool flywheel_checksum_ok(const uint8_t* frame);
// 0 when byte len-1 is the sum of bytes 1 to len-3; -9 after printing the
// checksum error; -6 when len < 2 or no data.
int checksum_verify(const uint8_t* data, int len);

// Assembles status frames from whatever the line delivers. Bytes are kept
// across reads, so a frame split over reads is taken whole and several
// frames in one read are all taken. After bytes that cannot start a good
// frame, it resynchronises on the next 0xFF whose frame checksum holds
// (0xFF also occurs inside frames).
//
// Each event is counted once:
//  - header: a run of bytes at the front that cannot start a frame, skipped
//    up to the next plausible header;
//  - checksum: a complete 19-byte candidate at the front, starting 0xFF,
//    whose checksum fails (its bytes are then resynchronised over; an 0xFF
//    among them that later fails too, or bytes of it read later, are not
//    counted again, but a good frame that starts among them is taken);
//  - incomplete: a partial frame at the front that did not complete within
//    `give_up` (default 100 ms, far longer than any frame takes on the wire).
//    Every byte that has waited that long goes with it, so the 0xFF bytes
//    inside an abandoned frame are not each given up and counted again;
//    newer bytes stay, as they may be the start of the next frame.
class FlywheelFrameAssembler {
public:
    using Clock = std::chrono::steady_clock;
    // skipped_more: bytes already counted: those continuing, within the
    // give-up time from its start, a run reported as `header` that had
    // emptied the buffer (the rest of one burst, read later: one run is one
    // header error), and the rest of a frame reported as `checksum`.
    enum class Event { none, frame, header, skipped_more, checksum, incomplete };

    FlywheelFrameAssembler() = default;
    explicit FlywheelFrameAssembler(std::chrono::milliseconds give_up) : give_up_(give_up) {}

    void feed(const uint8_t* data, std::size_t size, Clock::time_point now);
    // The next event; for `frame` the frame is copied to `frame`, for the
    // error events `detail` is the number of bytes concerned.
    Event next(uint8_t frame[FLYWHEEL_FRAME_LEN], std::size_t& detail, Clock::time_point now);
    void clear();
    std::size_t buffered() const { return buf_.size(); }
    // Candidates given up for not completing in time, counted as `incomplete`
    // or (inside a spoiled frame) not: a frame may have been among them.
    std::size_t given_up() const { return given_up_; }

private:
    void drop_front(std::size_t n, Clock::time_point now);
    // Drops bytes from position 1 up to the next plausible frame start.
    std::size_t resync(Clock::time_point now);

    // Bytes buffered that have waited at least `give_up_` at `now`.
    std::size_t stale_bytes(Clock::time_point now) const;

    std::vector<uint8_t> buf_;
    // When the buffered bytes arrived: (bytes still buffered, arrival) per
    // read, oldest first.
    std::deque<std::pair<std::size_t, Clock::time_point>> arrivals_;
    Clock::time_point head_since_{};
    bool skip_run_open_ = false;  // the last header event skipped to the end of the buffer
    Clock::time_point run_start_{};  // when the open run of skipped bytes was first reported
    // Bytes at the front that belong to a frame already counted as spoiled.
    std::size_t spoiled_left_ = 0;
    std::size_t given_up_ = 0;
    std::chrono::milliseconds give_up_{100};
};
