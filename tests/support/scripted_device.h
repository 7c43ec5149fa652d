// A scripted device on the master side of a pseudo-terminal: every request
// of `request_len` bytes the code under test writes is recorded and answered
// with the next scripted step, optionally in small pieces.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

class ScriptedDevice {
public:
    struct Step {
        std::vector<uint8_t> answer;  // empty: stay silent
        std::size_t chunk = 0;        // bytes per write; 0 = all at once
        int gap_ms = 0;               // pause between pieces
    };

    ScriptedDevice(int master_fd, std::size_t request_len) : fd_(master_fd), request_len_(request_len)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedDevice()
    {
        stop_ = true;
        thread_.join();
    }

    void push(Step s)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        steps_.push_back(std::move(s));
    }
    void push_answer(std::vector<uint8_t> answer) { push(Step{std::move(answer), 0, 0}); }
    void push_silence(int times = 1)
    {
        for (int i = 0; i < times; ++i) push(Step{});
    }

    std::vector<std::vector<uint8_t>> requests()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void run()
    {
        std::vector<uint8_t> pending;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
            uint8_t buf[512];
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) continue;
            pending.insert(pending.end(), buf, buf + n);
            while (pending.size() >= request_len_) {
                std::vector<uint8_t> request(pending.begin(), pending.begin() + long(request_len_));
                pending.erase(pending.begin(), pending.begin() + long(request_len_));
                Step step;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    requests_.push_back(request);
                    if (!steps_.empty()) {
                        step = steps_.front();
                        steps_.pop_front();
                    }
                }
                answer(step);
            }
        }
    }

    void answer(const Step& s)
    {
        std::size_t chunk = s.chunk ? s.chunk : s.answer.size();
        for (std::size_t off = 0; off < s.answer.size(); off += chunk) {
            std::size_t len = std::min(chunk, s.answer.size() - off);
            ssize_t w = ::write(fd_, s.answer.data() + off, len);
            (void)w;
            if (s.gap_ms) std::this_thread::sleep_for(std::chrono::milliseconds(s.gap_ms));
        }
    }

    int fd_;
    std::size_t request_len_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::deque<Step> steps_;
    std::vector<std::vector<uint8_t>> requests_;
    std::thread thread_;
};
