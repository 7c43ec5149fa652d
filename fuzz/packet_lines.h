// Device lines in memory that behave as the socket lines of harness.h
// (SocketLine): what a device sends is queued before the code under test
// runs; each piece comes out of exactly one read, as a UART hands over what
// has arrived (a read asking for less drops the rest of its piece, as on a
// SOCK_SEQPACKET socket); a flush leaves queued bytes alone, as tcflush on
// a socket does; once a device has stopped sending and its pieces are out,
// its line reads end of file; a line never hangs up. Each line is named by
// a descriptor of its own (/dev/null), which the code under test may close
// in a line reset. The clock is virtual and only a wait on a line with
// nothing to give, or a pause, moves it.
//
// Installed as the port of every line at its first use. Only opening and
// closing the descriptors goes through the kernel, and once the buffers
// have grown to a run's needs nothing is allocated: with socket pairs the
// system calls (a send per piece, a poll and a read per read) were half of
// a run.
#pragma once

#include "harness.h"
#include "line_port.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace fuzz {

FUZZ_HARNESS_BEGIN

class PacketLines : public LinePort {
public:
    static constexpr std::size_t MAX_LINES = 4;

    // The program's lines, `count` of them, empty and open, the clock at its
    // start. The caller closes the descriptors the code under test still
    // holds when it is done.
    static PacketLines& fresh(std::size_t count)
    {
        static PacketLines lines;
        lines.open(count);
        return lines;
    }

    PacketLines(const PacketLines&) = delete;
    PacketLines& operator=(const PacketLines&) = delete;
    ~PacketLines() override { set_line_port(nullptr); }

    int fd(std::size_t line) const { return lines_[line].fd; }

    // The device on `line` sends one piece.
    void send(std::size_t line, const uint8_t* p, std::size_t n)
    {
        Line& l = lines_[line];
        l.pieces.push_back({l.bytes.size(), l.bytes.size() + n});
        l.bytes.insert(l.bytes.end(), p, p + n);
    }

    // Sends `data` in pieces from `plan`, none crossing `boundary` (a piece
    // never straddles two answers: the reader asks for at most what its
    // current answer still lacks). Past the budget, pieces become whole
    // remainders. As SocketLine::send.
    void send(std::size_t line, const std::vector<uint8_t>& data, PiecePlan& plan, std::size_t& budget,
              std::size_t boundary)
    {
        std::size_t off = 0;
        while (off < data.size()) {
            std::size_t n = std::min(boundary - (off % boundary), data.size() - off);
            if (budget > 1) {
                n = plan.next(n);
                --budget;
            }
            send(line, data.data() + off, n);
            off += n;
        }
    }

    // The device stops sending: after what is queued, the line reads end of
    // file.
    void end_of_data(std::size_t line) { lines_[line].ended = true; }

    // What the code under test wrote on `line`, one entry per write.
    std::size_t writes(std::size_t line) const { return lines_[line].write_ends.size(); }
    Written written(std::size_t line, std::size_t i) const
    {
        const Line& l = lines_[line];
        const std::size_t begin = i == 0 ? 0 : l.write_ends[i - 1];
        return {l.written.data() + begin, l.write_ends[i] - begin};
    }

    // --- the port ---------------------------------------------------------
    Clock::time_point now() override { return t_; }

    int wait_readable(int fd, std::chrono::milliseconds wait) override
    {
        const Line* l = find(fd);
        if (l == nullptr) {
            errno = EBADF;
            return -1;
        }
        if (l->readable()) return 1;
        t_ += wait;
        return 0;
    }

    int wait_any(const int* fds, bool* ready, std::size_t count, std::chrono::milliseconds wait) override
    {
        int n = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const Line* l = fds[i] >= 0 ? find(fds[i]) : nullptr;
            ready[i] = l != nullptr && l->readable();
            n += ready[i];
        }
        if (n == 0) t_ += wait;
        return n;
    }

    ssize_t read(int fd, uint8_t* buf, std::size_t max) override
    {
        Line* l = find(fd);
        if (l == nullptr) {
            errno = EBADF;
            return -1;
        }
        if (l->head < l->pieces.size()) {
            const Piece& p = l->pieces[l->head++];
            const std::size_t n = std::min(max, p.end - p.begin);
            std::memcpy(buf, l->bytes.data() + p.begin, n);
            return ssize_t(n);
        }
        if (l->ended) return 0;
        errno = EAGAIN;
        return -1;
    }

    ssize_t write_frame(int fd, const uint8_t* data, std::size_t length, int) override
    {
        Line* l = find(fd);
        if (l == nullptr) {
            errno = EBADF;
            return -1;
        }
        l->written.insert(l->written.end(), data, data + length);
        l->write_ends.push_back(l->written.size());
        return ssize_t(length);
    }

    void flush(int, int) override {}
    bool hung_up(int) override { return false; }
    void pause(std::chrono::milliseconds d) override { t_ += d; }

private:
    struct Piece {
        std::size_t begin, end;  // in bytes
    };
    struct Line {
        int fd = -1;
        std::vector<uint8_t> bytes;
        std::vector<Piece> pieces;
        std::size_t head = 0;  // pieces read
        bool ended = false;
        std::vector<uint8_t> written;
        std::vector<std::size_t> write_ends;

        bool readable() const { return head < pieces.size() || ended; }
    };

    // Room for the longest run up front: a run that allocates more than it
    // frees makes libFuzzer run it again to look for a leak.
    PacketLines()
    {
        for (Line& l : lines_) {
            l.bytes.reserve(4096);
            l.pieces.reserve(4096);
            l.written.reserve(1024);
            l.write_ends.reserve(64);
        }
        set_line_port(this);
    }

    void open(std::size_t count)
    {
        t_ = start_;
        for (std::size_t i = 0; i < MAX_LINES; ++i) {
            Line& l = lines_[i];
            l.fd = -1;
            if (i < count) {
                l.fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
                if (l.fd < 0) {
                    std::perror("fuzz harness: /dev/null");
                    std::abort();
                }
            }
            l.bytes.clear();
            l.pieces.clear();
            l.head = 0;
            l.ended = false;
            l.written.clear();
            l.write_ends.clear();
        }
    }

    Line* find(int fd)
    {
        if (fd < 0) return nullptr;
        for (Line& l : lines_)
            if (l.fd == fd) return &l;
        return nullptr;
    }

    const Clock::time_point start_{std::chrono::hours(1)};
    Clock::time_point t_{start_};
    std::array<Line, MAX_LINES> lines_;
};

FUZZ_HARNESS_END

}  // namespace fuzz
