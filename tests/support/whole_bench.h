// The whole bench as child processes of a test (the simulator with every
// device, the six hardware services), and an observer endpoint that sees
// every request the console sends and every answer addressed to it.
#pragma once

#include "bus_endpoint.h"
#include "support/child_process.h"
#include "support/waiting.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace whole_bench {

using Clock = std::chrono::steady_clock;

// What a request asks for, and what an answer is for, as one key: the star
// sensor and wheel services serve several devices each.
inline std::string request_key(const std::string& dest, const std::vector<unsigned char>& p)
{
    if (dest == "Star_sensor_Hardware_Service" && p.size() >= 2) return "star " + std::to_string(p[1]);
    if (dest == "Flywheel_Hardware_Service" && !p.empty()) return "wheel " + std::to_string(p[0]);
    return dest;
}

inline std::string answer_key(const std::string& src, const std::vector<unsigned char>& p)
{
    if (src == "Star_sensor_Hardware_Service" && p.size() >= 2) return "star " + std::to_string(p[1]);
    if (src == "Flywheel_Hardware_Service" && !p.empty()) return "wheel " + std::to_string(p[0]);
    return src;
}

// The devices every cycle asks for, as request keys (GNSS aside: nothing
// serves it).
inline const std::vector<std::string>& served_keys()
{
    static const std::vector<std::string> keys = {
        "star 1", "star 2", "wheel 1", "wheel 2", "wheel 3", "Gyro_Hardware_Service", "Mems_Hardware_Service",
        "Optical_Hardware_Service", "Vision_Hardware_Service"};
    return keys;
}

class Observer {
public:
    Observer() : endpoint_(0, 3000, "Bench_Observer", [](const std::string&) {})
    {
        endpoint_.create_sub(
            "Telemetry",
            [this](std::string, std::string dest, std::string, std::string, std::string,
                   std::vector<unsigned char>& data) { note(requests_, request_key(dest, data)); },
            "src = 'Gnc_Service'", {});
        endpoint_.create_sub(
            "Telemetry",
            [this](std::string src, std::string, std::string, std::string, std::string,
                   std::vector<unsigned char>& data) { note(answers_, answer_key(src, data)); },
            "dest = 'Gnc_Service'", {});
    }

    // Requests per key sent before `cutoff`.
    std::map<std::string, int> requests_before(Clock::time_point cutoff)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::map<std::string, int> n;
        for (const auto& [key, times] : requests_)
            for (auto t : times) n[key] += t < cutoff;
        return n;
    }
    std::map<std::string, int> requests() { return requests_before(Clock::time_point::max()); }
    // Every answer per key, whenever it came.
    std::map<std::string, int> answers()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::map<std::string, int> n;
        for (const auto& [key, times] : answers_) n[key] = int(times.size());
        return n;
    }

    // Requests and answers per key, counted from one second after the first
    // request the observer saw for that key. The console may send its first
    // requests before its writer has matched the observer, which then sees
    // their answers but not them, and those answers may arrive after the
    // first request it does see.
    //   asked     requests in the window sent before `cutoff`
    //   answered  answers in the window
    //   bound     requests sent from one second before the window on: an
    //             answer in the window belongs to one of these unless it
    //             took more than a second, so `answered` above it means a
    //             request was answered twice.
    struct Tally {
        int asked = 0, answered = 0, bound = 0;
    };
    std::map<std::string, Tally> tally(Clock::time_point cutoff)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::map<std::string, Tally> out;
        for (const auto& [key, times] : requests_) {
            if (times.empty()) continue;
            const auto window = times.front() + std::chrono::seconds(1);
            Tally& t = out[key];
            for (auto at : times) {
                t.asked += at >= window && at < cutoff;
                t.bound += at >= window - std::chrono::seconds(1);
            }
            auto answers = answers_.find(key);
            if (answers == answers_.end()) continue;
            for (auto at : answers->second) t.answered += at >= window;
        }
        return out;
    }

private:
    void note(std::map<std::string, std::vector<Clock::time_point>>& where, const std::string& key)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        where[key].push_back(Clock::now());
    }

    std::mutex mutex_;
    std::map<std::string, std::vector<Clock::time_point>> requests_, answers_;
    Vantrel endpoint_;
};

// The simulator with every device and the six services, configured for it.
class Processes {
public:
    explicit Processes(const std::string& name)
    {
        dir = testing::TempDir() + name + "_" + std::to_string(getpid());
        mkdir(dir.c_str(), 0755);
        sim = std::make_unique<ChildProcess>(
            DEVSIM_PATH, std::vector<std::string>{"--run-dir", dir, "--pace", "--line", "nano1=nano", "--line",
                                                  "nano2=nano", "--line", "gyro=gyro", "--line", "mems=mems",
                                                  "--line", "wheel0=wheel:0x11", "--line", "wheel1=wheel:0x22",
                                                  "--line", "wheel2=wheel:0x33", "--line", "optical=optical",
                                                  "--line", "vision=vision"});
        ready = wait_for_file(dir + "/devsim.ready", std::chrono::seconds(10));
        if (!ready) return;
        write("Brenvik.json", "{\"star_sensors\": [{\"type\": \"nano\", \"star_num\": 1, \"device\": \"" + dir +
                                  "/nano1\"}, {\"type\": \"nano\", \"star_num\": 2, \"device\": \"" + dir +
                                  "/nano2\"}]}");
        write("Skardel.json", "{\"flywheels\": [{\"id\": 0, \"device\": \"" + dir + "/wheel0\"}, {\"id\": 1, " +
                                  "\"device\": \"" + dir + "/wheel1\"}, {\"id\": 2, \"device\": \"" + dir +
                                  "/wheel2\"}]}");
        write("Zentaro.json", "{\"gyro\": {\"device\": \"" + dir + "/gyro\"}}");
        write("Quimbrel.json", "{\"mems_sensor\": {\"device\": \"" + dir + "/mems\"}}");
        write("Tavrin.json", "{\"optical\": {\"device\": \"" + dir + "/optical\", \"baudrate\": 115200}}");
        write("Pellwyn.json", "{\"vision\": {\"device\": \"" + dir + "/vision\", \"baudrate\": 115200}}");
        brenvik = std::make_unique<ChildProcess>(BRENVIK_PATH, std::vector<std::string>{}, dir);
        skardel = std::make_unique<ChildProcess>(SKARDEL_PATH, std::vector<std::string>{dir + "/Skardel.json"});
        zentaro = std::make_unique<ChildProcess>(ZENTARO_PATH, std::vector<std::string>{dir + "/Zentaro.json"});
        quimbrel = std::make_unique<ChildProcess>(QUIMBREL_PATH, std::vector<std::string>{}, dir);
        tavrin = std::make_unique<ChildProcess>(TAVRIN_PATH, std::vector<std::string>{dir + "/Tavrin.json"});
        pellwyn = std::make_unique<ChildProcess>(PELLWYN_PATH, std::vector<std::string>{}, dir);
        ready = brenvik->wait_for_output("[OK] Star sensor 2 initialized successfully\n", std::chrono::seconds(20)) &&
                tavrin->wait_for_output("[OK] FastDDS initialized for Optical service", std::chrono::seconds(20));
    }

    std::vector<std::pair<std::string, ChildProcess*>> services() const
    {
        return {{"Brenvik", brenvik.get()}, {"Skardel", skardel.get()},   {"Zentaro", zentaro.get()},
                {"Quimbrel", quimbrel.get()}, {"Tavrin", tavrin.get()}, {"Pellwyn", pellwyn.get()}};
    }

    std::string dir;
    bool ready = false;
    std::unique_ptr<ChildProcess> sim, brenvik, skardel, zentaro, quimbrel, tavrin, pellwyn;

private:
    void write(const std::string& name, const std::string& text) { std::ofstream(dir + "/" + name) << text; }
};

// Resident memory of a process in kB (VmRSS), or -1.
inline long resident_kb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

}  // namespace whole_bench
