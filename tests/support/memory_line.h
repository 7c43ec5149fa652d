// A device line in memory, on a virtual clock. While one lives it is the line
// port of every line: the code under test writes requests and reads answers
// through it as through a serial line, and the test plays the device. Each
// frame written is a request; the device answers it with the next scripted
// step (bytes after a delay, in pieces some time apart, nothing, a hang-up).
// Waiting costs no real time: a wait moves the clock to the next byte's
// arrival or to the end of the wait, so a one-second read window passes in
// microseconds. One thread at a time.
//
// Descriptors still name the lines for everything outside the port (opening,
// line settings, closing): tests give the code a real one, a pseudo-terminal
// for a line that is re-opened by path.
#pragma once

#include "line_port.h"
#include "serial_port.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <termios.h>
#include <vector>

class MemoryLine : public LinePort {
public:
    using us = std::chrono::microseconds;

    struct Step {
        std::vector<uint8_t> answer;      // empty: the device stays silent
        std::vector<std::size_t> pieces;  // sizes the answer arrives in, used in turn; none: one piece
        us delay{500};                    // request to first byte
        us gap{0};                        // between pieces
        bool hang_up = false;             // the line hangs up instead
    };

    MemoryLine() : previous_(set_line_port(this)) {}
    ~MemoryLine() override { set_line_port(previous_ == &real_line_port() ? nullptr : previous_); }
    MemoryLine(const MemoryLine&) = delete;
    MemoryLine& operator=(const MemoryLine&) = delete;

    void push(Step s) { script_.push_back(std::move(s)); }
    void push_answer(std::vector<uint8_t> answer)
    {
        Step s;
        s.answer = std::move(answer);
        push(std::move(s));
    }
    void push_silence(int times = 1)
    {
        for (int i = 0; i < times; ++i) push(Step{});
    }
    void push_hang_up()
    {
        Step s;
        s.hang_up = true;
        push(s);
    }
    // Bytes that arrive without being asked for, `after` from now.
    void arrive(const std::vector<uint8_t>& bytes, us after = us(0)) { in_.push_back({t_ + after, bytes}); }

    // The device stops reading: every write waits out its deadline and fails.
    void stop_reading(bool stopped = true) { stalled_ = stopped; }
    // The device is plugged in again: the line reads and writes again.
    void plug_in() { hung_ = false; }
    bool is_hung_up() const { return hung_; }

    const std::vector<std::vector<uint8_t>>& requests() const { return requests_; }
    std::size_t steps_left() const { return script_.size(); }
    // Virtual time since the line was made.
    us elapsed() const { return std::chrono::duration_cast<us>(t_ - start_); }
    void advance(us d) { t_ += d; }

    // --- the port ---------------------------------------------------------
    Clock::time_point now() override { return t_; }

    int wait_readable(int fd, std::chrono::milliseconds wait) override
    {
        if (fd < 0) {
            errno = EBADF;
            return -1;
        }
        if (hung_) return 1;
        const Clock::time_point until = t_ + wait;
        if (!in_.empty() && in_.front().at <= until) {
            if (in_.front().at > t_) t_ = in_.front().at;
            return 1;
        }
        t_ = until;
        return 0;
    }

    // All descriptors name the one line in memory.
    int wait_any(const int* fds, bool* ready, std::size_t count, std::chrono::milliseconds wait) override
    {
        int open = -1;
        for (std::size_t i = 0; i < count; ++i) {
            ready[i] = false;
            if (fds[i] >= 0) open = fds[i];
        }
        if (open < 0) {
            t_ += wait;
            return 0;
        }
        if (wait_readable(open, wait) <= 0) return 0;
        int n = 0;
        for (std::size_t i = 0; i < count; ++i) n += ready[i] = fds[i] >= 0;
        return n;
    }

    ssize_t read(int fd, uint8_t* buf, std::size_t max) override
    {
        if (fd < 0) {
            errno = EBADF;
            return -1;
        }
        std::size_t n = 0;
        while (n < max && !in_.empty() && in_.front().at <= t_) {
            auto& piece = in_.front().bytes;
            const std::size_t take = std::min(max - n, piece.size());
            std::memcpy(buf + n, piece.data(), take);
            piece.erase(piece.begin(), piece.begin() + long(take));
            n += take;
            if (piece.empty()) in_.pop_front();
        }
        if (n > 0 || hung_) return ssize_t(n);  // a hung-up line reads as ended
        errno = EAGAIN;
        return -1;
    }

    ssize_t write_frame(int fd, const uint8_t* data, std::size_t length, int baud) override
    {
        if (fd < 0) {
            errno = EBADF;
            return -1;
        }
        if (hung_) {
            errno = EIO;
            return -1;
        }
        if (stalled_) {
            t_ += serial_write_deadline(length, baud);
            errno = ETIMEDOUT;
            return -1;
        }
        requests_.emplace_back(data, data + length);
        if (!script_.empty()) {
            Step s = std::move(script_.front());
            script_.pop_front();
            answer(s);
        }
        return ssize_t(length);
    }

    void flush(int fd, int queue) override
    {
        (void)fd;
        if (queue == TCIFLUSH || queue == TCIOFLUSH) {
            while (!in_.empty() && in_.front().at <= t_) in_.pop_front();  // what has arrived
        }
    }

    bool hung_up(int) override { return hung_; }
    void pause(std::chrono::milliseconds d) override { t_ += d; }

private:
    void answer(const Step& s)
    {
        if (s.hang_up) {
            hung_ = true;
            in_.clear();
            return;
        }
        Clock::time_point at = t_ + s.delay;
        std::size_t off = 0, i = 0;
        while (off < s.answer.size()) {
            std::size_t n = s.pieces.empty() ? s.answer.size() : std::max<std::size_t>(1, s.pieces[i++ % s.pieces.size()]);
            n = std::min(n, s.answer.size() - off);
            in_.push_back({at, std::vector<uint8_t>(s.answer.begin() + long(off), s.answer.begin() + long(off + n))});
            off += n;
            at += s.gap;
        }
    }

    struct Piece {
        Clock::time_point at;
        std::vector<uint8_t> bytes;
    };
    const Clock::time_point start_{std::chrono::hours(1)};
    Clock::time_point t_{start_};
    std::deque<Piece> in_;  // in order of arrival
    std::deque<Step> script_;
    bool hung_ = false;
    bool stalled_ = false;
    std::vector<std::vector<uint8_t>> requests_;
    LinePort* previous_;
};

