// Bounded waits for end-to-end tests: they only guard against hangs and
// never judge speed.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>

inline bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

inline bool wait_for_file(const std::string& path, std::chrono::milliseconds timeout)
{
    return wait_until([&] { return access(path.c_str(), F_OK) == 0; }, timeout);
}
