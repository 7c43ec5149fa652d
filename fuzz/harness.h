// What the fuzz targets share: reading values from the fuzz input front to
// back, bus messages made from the input, a stand-in serial line (a socket
// pair whose far end the target plays), answers delivered in pieces, and
// configuration files held in memory.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Around the stand-ins for the devices: no coverage instrumentation, so that
// libFuzzer follows the code under test, not the harness (and the harness
// runs faster). AddressSanitizer still checks them.
#define FUZZ_HARNESS_BEGIN _Pragma("clang attribute push(__attribute__((no_sanitize(\"coverage\"))), apply_to = function)")
#define FUZZ_HARNESS_END _Pragma("clang attribute pop")

namespace fuzz {

// Standard error as it was at start-up: libFuzzer's -close_fd_mask=2 sends
// fd 2 to /dev/null later on, but a broken expectation must still be heard.
inline const int report_fd = ::dup(STDERR_FILENO);

[[noreturn]] inline void check_failed(const char* what, const char* file, int line, const std::string& detail)
{
    char head[512];
    int n = std::snprintf(head, sizeof head, "==FUZZ CHECK== %s:%d: %s: ", file, line, what);
    std::string text(head, std::size_t(std::max(n, 0)));
    text += detail;
    text += '\n';
    int fd = report_fd >= 0 ? report_fd : STDERR_FILENO;
    ssize_t w = ::write(fd, text.data(), text.size());
    (void)w;
    std::abort();
}

// Where libFuzzer has sent standard output or error to /dev/null
// (-close_fd_mask), the streams go to a sink in memory instead: the
// services flush every message they print, and a write system call per line
// nobody can read cost more than the exchange that printed it. The messages
// are still formatted; replaying an input without -close_fd_mask shows them
// as before. Call at the start of every run (it acts once): libFuzzer
// redirects the descriptors after the program's start-up.
inline void drop_discarded_output()
{
    static const bool done = [] {
        struct stat null_dev, st;
        if (::stat("/dev/null", &null_dev) != 0) return false;
        auto discarded = [&](int fd) {
            return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == null_dev.st_rdev;
        };
        cookie_io_functions_t sink{};
        sink.write = [](void*, const char*, std::size_t n) { return ssize_t(n); };
        if (discarded(STDOUT_FILENO)) {
            if (FILE* f = ::fopencookie(nullptr, "w", sink)) stdout = f;
        }
        if (discarded(STDERR_FILENO)) {
            if (FILE* f = ::fopencookie(nullptr, "w", sink)) stderr = f;
        }
        return true;
    }();
    (void)done;
}

}  // namespace fuzz

// An expectation on the code under test; when it does not hold the input is
// kept by libFuzzer as a crash.
#define FUZZ_CHECK(cond, detail)                                                   \
    do {                                                                           \
        if (!(cond)) ::fuzz::check_failed(#cond, __FILE__, __LINE__, (detail));    \
    } while (0)

namespace fuzz {

inline std::string hex(const uint8_t* p, std::size_t n)
{
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        if (i) s += ' ';
        s += b;
    }
    return s;
}
inline std::string hex(const std::vector<uint8_t>& v) { return hex(v.data(), v.size()); }

// Bytes the code under test wrote in one write.
struct Written {
    const uint8_t* data;
    std::size_t size;
    bool operator==(const std::vector<uint8_t>& v) const
    {
        return size == v.size() && std::equal(v.begin(), v.end(), data);
    }
    std::string text() const { return hex(data, size); }
};

// Reads the input front to back; past the end every value reads as zero and
// every byte string as empty, so any input is a valid one.
class ByteReader {
public:
    ByteReader(const uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    bool empty() const { return p_ >= end_; }
    std::size_t left() const { return std::size_t(end_ - p_); }
    uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
    uint16_t u16()
    {
        uint16_t lo = u8();
        return uint16_t(lo | (u8() << 8));
    }
    std::vector<uint8_t> bytes(std::size_t n)
    {
        n = std::min(n, left());
        std::vector<uint8_t> v(p_, p_ + n);
        p_ += n;
        return v;
    }
    std::string text(std::size_t n)
    {
        std::vector<uint8_t> v = bytes(n);
        return std::string(v.begin(), v.end());
    }
    std::vector<uint8_t> rest() { return bytes(left()); }
    // Appends the next `n` bytes to `out`, zeros for those past the end.
    void append_padded(std::vector<uint8_t>& out, std::size_t n)
    {
        const std::size_t have = std::min(n, left());
        out.insert(out.end(), p_, p_ + have);
        out.resize(out.size() + (n - have), 0);
        p_ += have;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// One bus message as a handler receives it. Layout in the input:
//   kind byte: bit 0 handler (0 command topic, 1 telemetry topic);
//              bits 1-2 type label: "command", "Command", "telemetry", or
//              a string from the input (length byte, bytes);
//              bits 3-4 source: "Gnc_Service", "Mag_Service", "", or a
//              string from the input (length byte, bytes);
//   payload length byte, payload bytes.
struct BusMessage {
    bool telemetry = false;
    std::string type;
    std::string src;
    std::vector<unsigned char> payload;
};

inline BusMessage read_message(ByteReader& in)
{
    BusMessage m;
    const uint8_t kind = in.u8();
    m.telemetry = kind & 1;
    switch ((kind >> 1) & 3) {
    case 0: m.type = "command"; break;
    case 1: m.type = "Command"; break;
    case 2: m.type = "telemetry"; break;
    default: m.type = in.text(in.u8()); break;
    }
    switch ((kind >> 3) & 3) {
    case 0: m.src = "Gnc_Service"; break;
    case 1: m.src = "Mag_Service"; break;
    case 2: m.src = ""; break;
    default: m.src = in.text(in.u8()); break;
    }
    std::vector<uint8_t> p = in.bytes(in.u8());
    m.payload.assign(p.begin(), p.end());
    return m;
}

constexpr int MAX_MESSAGES = 64;

// The sizes the far end writes its bytes in: a count byte (0..32) and that
// many size bytes, used in turn (a size 0 counts as 1). No sizes: each
// answer goes in one piece.
class PiecePlan {
public:
    explicit PiecePlan(ByteReader& in) : sizes_(in.bytes(in.u8() % 33)) {}
    std::size_t next(std::size_t at_most)
    {
        if (sizes_.empty()) return at_most;
        std::size_t s = sizes_[i_++ % sizes_.size()];
        return std::min<std::size_t>(s ? s : 1, at_most);
    }

private:
    std::vector<uint8_t> sizes_;
    std::size_t i_ = 0;
};

// Pieces that may be waiting in one line at a time: far below what a socket
// queues by default, so the far end never blocks.
constexpr std::size_t PIECE_BUDGET = 200;

// A serial line stand-in: a SOCK_SEQPACKET socket pair. The code under test
// gets one end as its line descriptor; the target plays the device on the
// other. Each piece the device writes comes out of exactly one read() on the
// line, as a UART hands over what has arrived so far. tcflush() on a socket
// does nothing, so bytes written before an exchange stay queued.
class SocketLine {
public:
    SocketLine()
    {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
            std::perror("socketpair");
            std::abort();
        }
        line_ = sv[0];
        device_ = sv[1];
        ::fcntl(device_, F_SETFL, O_NONBLOCK);
    }
    ~SocketLine()
    {
        if (line_ >= 0) ::close(line_);
        ::close(device_);
    }
    SocketLine(const SocketLine&) = delete;
    SocketLine& operator=(const SocketLine&) = delete;

    int line_fd() const { return line_; }

    // The code under test closed its end (a line reset): forget it, so it
    // is not closed a second time.
    void released_by_target() { line_ = -1; }
    // Call with the descriptor the code under test holds now.
    void sync(int32_t target_fd)
    {
        if (line_ >= 0 && target_fd != line_) line_ = -1;
    }

    // Writes `data` in pieces from `plan`, none crossing `boundary` (a piece
    // never straddles two answers: the reader asks for at most what its
    // current answer still lacks). Past the budget, pieces become whole
    // remainders.
    void send(const std::vector<uint8_t>& data, PiecePlan& plan, std::size_t& budget, std::size_t boundary)
    {
        std::size_t off = 0;
        while (off < data.size()) {
            std::size_t to_boundary = boundary - (off % boundary);
            std::size_t n = std::min(to_boundary, data.size() - off);
            if (budget > 1) {
                n = plan.next(n);
                --budget;
            }
            put(data.data() + off, n);
            off += n;
        }
    }

    // The device stops sending: after what is queued, the line reads end of
    // file.
    void end_of_data() { ::shutdown(device_, SHUT_WR); }

    // Everything the code under test wrote, one entry per write().
    std::vector<std::vector<uint8_t>> take_written()
    {
        std::vector<std::vector<uint8_t>> out;
        for (;;) {
            uint8_t buf[4096];
            ssize_t n = ::recv(device_, buf, sizeof buf, MSG_DONTWAIT);
            // A line closed by the code under test with answer bytes still
            // unread reports ECONNRESET once; what it wrote before is
            // still there to read.
            if (n < 0 && errno == ECONNRESET) continue;
            if (n <= 0) break;
            out.emplace_back(buf, buf + n);
        }
        return out;
    }

private:
    void put(const uint8_t* p, std::size_t n)
    {
        ssize_t w = ::send(device_, p, n, MSG_NOSIGNAL);
        if (w != ssize_t(n)) {
            std::fprintf(stderr, "fuzz harness: device write failed: %s\n", std::strerror(errno));
            std::abort();
        }
    }

    int line_ = -1;
    int device_ = -1;
};

// A configuration file with the given contents, readable by path for as long
// as the object lives (an anonymous memory file: nothing touches the disk).
class MemoryFile {
public:
    explicit MemoryFile(const uint8_t* data, std::size_t size)
    {
        fd_ = ::memfd_create("fuzz-config", MFD_CLOEXEC);
        if (fd_ < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        std::size_t off = 0;
        while (off < size) {
            ssize_t w = ::write(fd_, data + off, size - off);
            if (w <= 0) std::abort();
            off += std::size_t(w);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

inline uint8_t sum8_of(const uint8_t* p, std::size_t n)
{
    unsigned s = 0;
    for (std::size_t i = 0; i < n; ++i) s += p[i];
    return uint8_t(s);
}

inline uint32_t be32_of(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint32_t le32_of(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline float float_of_bits(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
inline uint32_t bits_of_float(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

// Two floats with the same bit pattern (NaNs included).
inline bool same_float(float a, float b) { return bits_of_float(a) == bits_of_float(b); }

// `got` within a few float roundings of the exact value `want`, `scale`
// being the largest magnitude in the computation.
inline bool close_to(float got, double want, double scale)
{
    if (std::isnan(got) || std::isnan(want)) return std::isnan(got) && std::isnan(want);
    double tol = 1e-6 * std::max(std::fabs(scale), std::fabs(want)) + 1e-30;
    return std::fabs(double(got) - want) <= tol;
}

}  // namespace fuzz
