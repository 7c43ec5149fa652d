// The device line of the query targets (star, gyro, MEMS, vision): in
// memory, on a virtual clock, by the rules of MemoryLine
// (tests/support/memory_line.h) for what these targets use. Each request
// written is answered with the next scripted answer, its first piece 500 us
// after the request and the others some time apart; a wait moves the clock
// to the next arrival or to its end, so a one-second read window costs no
// real time; a flush drops what has arrived; the line never hangs up.
//
// Unlike MemoryLine it allocates nothing once it has grown to a run's
// needs: the bytes, pieces and requests live in flat buffers kept from run
// to run. Under AddressSanitizer an allocation for every piece cost more
// than the exchange that read it.
#pragma once

#include "harness.h"
#include "line_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <termios.h>
#include <vector>

namespace fuzz {

FUZZ_HARNESS_BEGIN

class ScriptLine : public LinePort {
public:
    using us = std::chrono::microseconds;

    // The program's line, emptied, its clock back at the start, installed
    // as the port of every line from its first use on.
    static ScriptLine& fresh()
    {
        static ScriptLine line;
        line.clear();
        return line;
    }

    ScriptLine(const ScriptLine&) = delete;
    ScriptLine& operator=(const ScriptLine&) = delete;
    ~ScriptLine() override { set_line_port(nullptr); }

    // The next request is answered with `answer`, cut into the sizes `plan`
    // gives in turn, the pieces up to `max_gap_ms` apart (the plan chooses)
    // and the whole answer within `whole_within_us`.
    void push_answer(const uint8_t* answer, std::size_t length, PiecePlan& plan, int max_gap_ms,
                     long whole_within_us)
    {
        Answer a;
        a.first = pieces_.size();
        const std::size_t base = bytes_.size();
        bytes_.insert(bytes_.end(), answer, answer + length);
        for (std::size_t off = 0; off < length;) {
            const std::size_t n = plan.next(length - off);
            pieces_.push_back({us(0), base + off, base + off + n});
            off += n;
        }
        a.count = pieces_.size() - a.first;
        const long gap_us = long(plan.next(255) % std::size_t(max_gap_ms + 1)) * 1000;
        const us gap(std::min(gap_us, whole_within_us / std::max<long>(1, long(a.count))));
        us at = kAnswerDelay;
        for (std::size_t i = a.first; i < pieces_.size(); ++i, at += gap) pieces_[i].after = at;
        script_.push_back(a);
    }

    std::size_t requests() const { return request_ends_.size(); }
    Written request(std::size_t i) const
    {
        const std::size_t begin = i == 0 ? 0 : request_ends_[i - 1];
        return {written_.data() + begin, request_ends_[i] - begin};
    }

    // --- the port ---------------------------------------------------------
    Clock::time_point now() override { return t_; }

    int wait_readable(int fd, std::chrono::milliseconds wait) override
    {
        if (fd < 0) {
            errno = EBADF;
            return -1;
        }
        const Clock::time_point until = t_ + wait;
        if (head_ < in_.size() && in_[head_].at <= until) {
            t_ = std::max(t_, in_[head_].at);
            return 1;
        }
        t_ = until;
        return 0;
    }

    // All descriptors name the one line.
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
        while (n < max && arrived()) {
            Queued& p = in_[head_];
            const std::size_t take = std::min(max - n, p.end - p.begin);
            std::memcpy(buf + n, bytes_.data() + p.begin, take);
            p.begin += take;
            n += take;
            if (p.begin == p.end) ++head_;
        }
        if (n > 0) return ssize_t(n);
        errno = EAGAIN;
        return -1;
    }

    ssize_t write_frame(int fd, const uint8_t* data, std::size_t length, int) override
    {
        if (fd < 0) {
            errno = EBADF;
            return -1;
        }
        written_.insert(written_.end(), data, data + length);
        request_ends_.push_back(written_.size());
        if (next_answer_ < script_.size()) {
            const Answer& a = script_[next_answer_++];
            for (std::size_t i = a.first; i < a.first + a.count; ++i) {
                const Scripted& p = pieces_[i];
                in_.push_back({t_ + p.after, p.begin, p.end});
            }
        }
        return ssize_t(length);
    }

    void flush(int, int queue) override
    {
        if (queue == TCIFLUSH || queue == TCIOFLUSH) {
            while (arrived()) ++head_;
        }
    }

    bool hung_up(int) override { return false; }
    void pause(std::chrono::milliseconds d) override { t_ += d; }

private:
    static constexpr us kAnswerDelay{500};  // request to first byte, as MemoryLine

    // Pieces are spans of bytes_: scripted, `after` the request; queued,
    // arriving `at` on the clock.
    struct Scripted {
        us after;
        std::size_t begin, end;
    };
    struct Queued {
        Clock::time_point at;
        std::size_t begin, end;
    };
    struct Answer {
        std::size_t first = 0, count = 0;  // in pieces_
    };

    // Room for the longest run up front: a run that allocates more than it
    // frees makes libFuzzer run it again to look for a leak.
    ScriptLine()
    {
        bytes_.reserve(kRoom);
        pieces_.reserve(kRoom);
        script_.reserve(64);
        in_.reserve(kRoom);
        written_.reserve(1024);
        request_ends_.reserve(64);
        set_line_port(this);
    }
    static constexpr std::size_t kRoom = 4096;

    bool arrived() const { return head_ < in_.size() && in_[head_].at <= t_; }

    void clear()
    {
        t_ = start_;
        bytes_.clear();
        pieces_.clear();
        script_.clear();
        next_answer_ = 0;
        in_.clear();
        head_ = 0;
        written_.clear();
        request_ends_.clear();
    }

    const Clock::time_point start_{std::chrono::hours(1)};
    Clock::time_point t_{start_};
    std::vector<uint8_t> bytes_;
    std::vector<Scripted> pieces_;
    std::vector<Answer> script_;
    std::size_t next_answer_ = 0;
    std::vector<Queued> in_;  // in order of arrival; the first head_ are read or dropped
    std::size_t head_ = 0;
    std::vector<uint8_t> written_;
    std::vector<std::size_t> request_ends_;
};

FUZZ_HARNESS_END

}  // namespace fuzz
