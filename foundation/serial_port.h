// Serial line set-up shared by the hardware services.
//
// Each service opens its lines with the same steps; what differs (open
// flags, parity, how raw the line is made, the error messages) is a
// SerialLineProfile. A line reset is a second set-up with the recorded path
// and baud number: the old descriptor is always closed first.
#pragma once

#include "device_status.h"
#include "line_return.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <termios.h>

struct SerialLineProfile {
    const char* name;            // for diagnostics only
    bool nonblocking;            // reads and writes do not block (every line is opened without blocking)
    bool odd_parity;             // 8O1 when true, 8N1 when false (PARODD left as read)
    bool full_raw;               // full raw profile: all input processing off, c_lflag = c_oflag = 0
    bool zero_termios_first;     // clear the local termios before tcgetattr
    // Failure messages, printed to standard error followed by ": " and the
    // system's text for errno.
    const char* open_failed;
    const char* getattr_failed;
    const char* setattr_failed;
};

extern const SerialLineProfile STAR_LINE;
extern const SerialLineProfile FLYWHEEL_LINE;
extern const SerialLineProfile OPTICAL_LINE;
extern const SerialLineProfile VISION_LINE;
extern const SerialLineProfile MEMS_LINE;
extern const SerialLineProfile GYRO_LINE;

// The per-line record shared by the gyro, optical, vision and MEMS services.
struct Serial_Device {
    int32_t fd = -1;
    std::string dev;             // path of the last successful set-up
    int32_t baud = 115200;       // requested baud number of the last successful set-up
    uint8_t head_err_cnt = 0;
    uint8_t check_err_cnt = 0;
    uint8_t length_err_cnt = 0;
    uint8_t uart_reset_cnt = 0;
    uint8_t consecutive_fail_cnt = 0;
    uint8_t uart_ready = 0;
    LineReturn line_return;      // opening the line again once it is back
};

// Speed constant for a baud number; numbers outside the supported table give
// B115200.
speed_t serial_speed_for_baud(int baud);

// Applies a profile's control, input, local, output flags, VMIN/VTIME and the
// speed to a termios structure read from the line.
void serial_apply_profile(termios& t, const SerialLineProfile& profile, speed_t speed);

// Closes `fd` if open, then opens `path`, configures it per profile at the
// given baud number and discards pending input and output. Returns DEV_OK
// with `fd` set, or DEV_ERR_NOT_OPEN with `fd` = -1 after printing the
// profile's message.
int serial_line_open(const SerialLineProfile& profile, const char* path, int baud, int32_t& fd);

// While one lives on a thread, failed set-ups on that thread print nothing:
// the once-a-second tries of a line that is away are not logged one by one.
class SerialSetupQuiet {
public:
    SerialSetupQuiet();
    ~SerialSetupQuiet();
    SerialSetupQuiet(const SerialSetupQuiet&) = delete;
    SerialSetupQuiet& operator=(const SerialSetupQuiet&) = delete;

private:
    bool was_;
};

// True when the line has hung up (the device is gone): what a read that
// gives nothing or a write that fails looks like from the line's side.
bool serial_line_hung_up(int fd);

// Closes `fd` if open and sets it to -1.
void serial_line_close(int32_t& fd);

// A device's line is gone (hung up, vanished): closed now, the outage noted
// once, to be opened again when it is back (see LineReturn).
template <class Device>
void serial_line_gone(Device& d, LineReturn::Clock::time_point now, const std::string& what, const std::string& why)
{
    serial_line_close(d.fd);
    d.uart_ready = 0;
    d.line_return.lost(now, what, why);
}

// Reads and discards what the line delivers until it has been quiet for
// `quiet_ms`, at most `max_ms` in all: the rest of an answer that was
// rejected before it had fully arrived, which a flush alone would leave to
// spoil the next attempt. Returns the number of bytes discarded.
std::size_t serial_drain_until_quiet(int fd, int quiet_ms, int max_ms);

// Writes a whole frame, or fails within a deadline: twice the time the line's
// speed needs for the frame (11 bits a byte) plus SERIAL_WRITE_MARGIN_MS. A
// device that stops reading (flow control held off, a stalled adapter) costs
// one failed send, never a service blocked in write. Returns what write
// would: the bytes written, all `length` of them on success; on failure
// fewer (-1 when none went) with errno set, ETIMEDOUT when the deadline
// passed, and then what is still queued on the line is discarded, so that
// the rest of a cut frame never reaches the device later.
ssize_t serial_write_frame(int fd, const void* data, std::size_t length, int baud);
std::chrono::milliseconds serial_write_deadline(std::size_t length, int baud);
constexpr int SERIAL_WRITE_MARGIN_MS = 100;

// Before a retry that follows a rejected answer: the quiet gap and the
// bound used by the services.
constexpr int SERIAL_DRAIN_QUIET_MS = 10;
constexpr int SERIAL_DRAIN_MAX_MS = 200;

// At start-up, before the first set-up: the configured line is the one a
// later exchange opens when it is away, whether or not it opens now.
void serial_device_expect(Serial_Device& device, const std::string& path, int baud, bool reopen);
// The first set-up failed: an outage from the start, reported once.
void serial_device_missing(Serial_Device& device, const char* name);

// Set-up of a Serial_Device record: on success records dev and baud and sets
// uart_ready; on failure only fd changes (to -1). Counters are never touched.
int serial_device_setup(const SerialLineProfile& profile, Serial_Device& device,
                        const std::string& path, int baud);
