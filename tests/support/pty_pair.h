// A pseudo-terminal owned by a test: the test holds the master side and
// plays the device; the code under test opens the slave by its path.
#pragma once

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

class PtyPair {
public:
    PtyPair()
    {
        char name[256];
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        path_ = name;
        // Raw on both sides, so the test's bytes arrive as written.
        termios t;
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }
    ~PtyPair()
    {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }
    int slave() const { return slave_; }

    // Keeps the pty alive through the master only.
    void close_slave()
    {
        if (slave_ >= 0) ::close(slave_);
        slave_ = -1;
    }

    // The device side goes away: the line hangs up for whoever holds the slave.
    void close_master()
    {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    void write_device(const std::vector<uint8_t>& bytes) const
    {
        std::size_t off = 0;
        while (off < bytes.size()) {
            ssize_t w = ::write(master_, bytes.data() + off, bytes.size() - off);
            if (w < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                throw std::runtime_error("write to pty master failed");
            }
            off += std::size_t(w);
        }
    }

    // Reads what the code under test wrote, waiting up to timeout_ms for the
    // first byte and briefly for more.
    std::vector<uint8_t> read_device(int timeout_ms = 500) const
    {
        return read_fd(master_, timeout_ms);
    }

    static std::vector<uint8_t> read_fd(int fd, int timeout_ms)
    {
        std::vector<uint8_t> out;
        int wait = timeout_ms;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            int r = ::poll(&p, 1, wait);
            if (r <= 0 || !(p.revents & POLLIN)) break;
            uint8_t buf[512];
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
            wait = 20;
        }
        return out;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Runs `open_and_use` with standard input closed, as a service started
// without one: the first descriptor it opens is 0. Standard input is back
// when it returns; `open_and_use` must close what it opened.
template <typename F>
void with_standard_input_closed(F&& open_and_use)
{
    int saved = ::dup(0);
    if (saved < 0) throw std::runtime_error("dup of standard input failed");
    ::close(0);
    open_and_use();
    ::dup2(saved, 0);
    ::close(saved);
}
