// Every exchange with a device goes through one narrow interface: the clock,
// waiting for bytes, reading what arrived, writing a frame within its
// deadline, discarding what is queued, and asking whether the line hung up.
// The real port works on the serial descriptors. Tests and fuzz targets
// install an in-memory port with a virtual clock, where a one-second read
// window costs no real time; the protocol code above cannot tell.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

class LinePort {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~LinePort() = default;

    virtual Clock::time_point now() = 0;
    // Waits up to `wait` for the line to have something to read (bytes, or
    // an end). 1: ready; 0: nothing within `wait`; -1: error, errno set.
    virtual int wait_readable(int fd, std::chrono::milliseconds wait) = 0;
    // The same for several lines at once (negative descriptors are left
    // out): sets `ready[i]` for each line that has something. Returns how
    // many have, 0 when none within `wait`, -1 on an error with errno set.
    virtual int wait_any(const int* fds, bool* ready, std::size_t count, std::chrono::milliseconds wait) = 0;
    // What read(2) would return: bytes, 0 at an end, -1 with errno.
    virtual ssize_t read(int fd, uint8_t* buf, std::size_t max) = 0;
    // A whole frame within its deadline; see serial_write_frame.
    virtual ssize_t write_frame(int fd, const uint8_t* data, std::size_t length, int baud) = 0;
    // Discards what is queued: TCIFLUSH, TCOFLUSH or TCIOFLUSH.
    virtual void flush(int fd, int queue) = 0;
    virtual bool hung_up(int fd) = 0;
    // Lets `d` pass (a short back-off).
    virtual void pause(std::chrono::milliseconds d) = 0;
};

// The port every line uses: the real one unless another was installed.
LinePort& line_port();
// Installs `port` (nullptr: the real one again) and returns the one it
// replaces. Meant for tests and fuzz targets, before the lines are used.
LinePort* set_line_port(LinePort* port);

// The real port on its own, for a port that stands in for some lines only.
LinePort& real_line_port();
