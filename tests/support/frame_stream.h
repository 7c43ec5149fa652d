// The master side of a test's pseudo-terminal as a device that sees every
// byte the code under test writes, in order, with the time it arrived, and
// answers requests recognised by a predicate. Used where the test needs to
// know what was on the line between a request and its answer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

class LineRecorder {
public:
    // Called with the bytes received so far (from the last request's end);
    // returns how many of them make a complete request, or 0.
    using RequestMatcher = std::function<std::size_t(const std::vector<uint8_t>&)>;

    LineRecorder(int master_fd, RequestMatcher is_request, std::vector<uint8_t> answer, int answer_delay_ms)
        : fd_(master_fd), is_request_(std::move(is_request)), answer_(std::move(answer)), delay_ms_(answer_delay_ms)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~LineRecorder()
    {
        stop_ = true;
        thread_.join();
    }

    // Bytes that arrived while a request was being answered (between the
    // request's last byte and the answer's last byte).
    std::size_t bytes_inside_exchanges() const { return inside_; }
    std::size_t requests() const { return requests_; }
    std::vector<uint8_t> all_bytes()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return all_;
    }

private:
    void run()
    {
        std::vector<uint8_t> pending;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 5) <= 0 || !(p.revents & POLLIN)) continue;
            uint8_t buf[512];
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) continue;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                all_.insert(all_.end(), buf, buf + n);
            }
            pending.insert(pending.end(), buf, buf + n);
            for (;;) {
                std::size_t used = is_request_(pending);
                if (used == 0) break;
                pending.erase(pending.begin(), pending.begin() + long(used));
                ++requests_;
                answer_request(pending);
            }
        }
    }

    // Waits, answers, and counts whatever arrives meanwhile.
    void answer_request(std::vector<uint8_t>& pending)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms_);
        while (std::chrono::steady_clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 1) > 0 && (p.revents & POLLIN)) {
                uint8_t buf[512];
                ssize_t n = ::read(fd_, buf, sizeof buf);
                if (n > 0) {
                    inside_ += std::size_t(n);
                    std::lock_guard<std::mutex> lock(mutex_);
                    all_.insert(all_.end(), buf, buf + n);
                    pending.insert(pending.end(), buf, buf + n);
                }
            }
        }
        ssize_t w = ::write(fd_, answer_.data(), answer_.size());
        (void)w;
    }

    int fd_;
    RequestMatcher is_request_;
    std::vector<uint8_t> answer_;
    int delay_ms_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> inside_{0};
    std::atomic<std::size_t> requests_{0};
    std::mutex mutex_;
    std::vector<uint8_t> all_;
    std::thread thread_;
};
