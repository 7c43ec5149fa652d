#include "line_port.h"

#include "serial_port.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class RealLinePort : public LinePort {
public:
    Clock::time_point now() override { return Clock::now(); }

    int wait_readable(int fd, std::chrono::milliseconds wait) override
    {
        const auto until = Clock::now() + wait;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            const int r = ::poll(&p, 1, int(std::max<long long>(left, 0)));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return -1;
            if (r > 0 && (p.revents & POLLNVAL) != 0) {
                errno = EBADF;  // not an open descriptor
                return -1;
            }
            return r > 0 ? 1 : 0;
        }
    }

    int wait_any(const int* fds, bool* ready, std::size_t count, std::chrono::milliseconds wait) override
    {
        std::vector<pollfd> p(count);
        for (std::size_t i = 0; i < count; ++i) {
            p[i] = pollfd{fds[i], POLLIN, 0};  // poll skips negative descriptors
            ready[i] = false;
        }
        const auto until = Clock::now() + wait;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            const int r = ::poll(p.data(), p.size(), int(std::max<long long>(left, 0)));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return r;
            for (std::size_t i = 0; i < count; ++i) ready[i] = fds[i] >= 0 && p[i].revents != 0;
            return r;
        }
    }

    ssize_t read(int fd, uint8_t* buf, std::size_t max) override { return ::read(fd, buf, max); }

    ssize_t write_frame(int fd, const uint8_t* data, std::size_t length, int baud) override
    {
        if (fd < 0) {
            errno = EBADF;
            return -1;
        }
        // The descriptor may be in blocking mode for its reads; the write never is.
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0) return -1;
        const bool was_blocking = (flags & O_NONBLOCK) == 0;
        if (was_blocking && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;

        const auto deadline = Clock::now() + serial_write_deadline(length, baud);
        std::size_t done = 0;
        int error = 0;
        while (done < length) {
            const ssize_t n = ::write(fd, data + done, length - done);
            if (n > 0) {
                done += std::size_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                error = errno;
                break;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                error = ETIMEDOUT;
                break;
            }
            pollfd writable{fd, POLLOUT, 0};
            const int ready = ::poll(&writable, 1, int(std::min<long long>(left, 1000)));
            if (ready < 0 && errno != EINTR) {
                error = errno;
                break;
            }
            if (ready > 0 && (writable.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                error = EIO;
                break;
            }
        }
        if (error == ETIMEDOUT) tcflush(fd, TCOFLUSH);
        if (was_blocking) fcntl(fd, F_SETFL, flags);
        errno = error;
        if (error == 0) return ssize_t(length);
        return done > 0 ? ssize_t(done) : -1;
    }

    void flush(int fd, int queue) override
    {
        if (fd >= 0) tcflush(fd, queue);
    }

    bool hung_up(int fd) override
    {
        if (fd < 0) return false;
        pollfd line{fd, POLLIN, 0};
        return ::poll(&line, 1, 0) > 0 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }

    void pause(std::chrono::milliseconds d) override { std::this_thread::sleep_for(d); }
};

RealLinePort real_port;
std::atomic<LinePort*> installed{nullptr};

}  // namespace

LinePort& real_line_port() { return real_port; }

LinePort& line_port()
{
    LinePort* p = installed.load(std::memory_order_acquire);
    return p != nullptr ? *p : real_port;
}

LinePort* set_line_port(LinePort* port)
{
    LinePort* before = installed.exchange(port, std::memory_order_acq_rel);
    return before != nullptr ? before : &real_port;
}
