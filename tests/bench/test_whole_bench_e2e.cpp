// The whole bench as real processes: the simulator with every device, the six
// hardware services and the console. An observer on the bus sees every
// request the console sends and every answer addressed to it, so a request
// left unanswered shows, whatever the console prints.
#include "bus_endpoint.h"
#include "support/child_process.h"
#include "support/console_blocks.h"
#include "support/waiting.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
namespace cb = console_blocks;

namespace {

using Clock = std::chrono::steady_clock;

// What a request asks for, and what an answer is for, as one key: the
// star sensor and wheel services serve several devices each.
std::string request_key(const std::string& dest, const std::vector<unsigned char>& p)
{
    if (dest == "Star_sensor_Hardware_Service" && p.size() >= 2) return "star " + std::to_string(p[1]);
    if (dest == "Flywheel_Hardware_Service" && !p.empty()) return "wheel " + std::to_string(p[0]);
    return dest;
}

std::string answer_key(const std::string& src, const std::vector<unsigned char>& p)
{
    if (src == "Star_sensor_Hardware_Service" && p.size() >= 2) return "star " + std::to_string(p[1]);
    if (src == "Flywheel_Hardware_Service" && !p.empty()) return "wheel " + std::to_string(p[0]);
    return src;
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

    // Requests per key sent before `cutoff`, and all answers per key.
    std::map<std::string, int> requests_before(Clock::time_point cutoff)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::map<std::string, int> n;
        for (const auto& [key, times] : requests_)
            for (auto t : times) n[key] += t < cutoff;
        return n;
    }
    std::map<std::string, int> requests()
    {
        return requests_before(Clock::time_point::max());
    }
    std::map<std::string, int> answers()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::map<std::string, int> n;
        for (const auto& [key, times] : answers_) n[key] = int(times.size());
        return n;
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

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

}  // namespace

TEST(WholeBench, EveryRequestIsAnsweredAndEveryBlockShowsTheSimulatorsValues)
{
    std::string dir = testing::TempDir() + "whole_bench_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    ChildProcess sim(DEVSIM_PATH, {"--run-dir", dir, "--pace", "--line", "nano1=nano", "--line", "nano2=nano",
                                   "--line", "gyro=gyro", "--line", "mems=mems", "--line", "wheel0=wheel:0x11",
                                   "--line", "wheel1=wheel:0x22", "--line", "wheel2=wheel:0x33", "--line",
                                   "optical=optical", "--line", "vision=vision"});
    ASSERT_TRUE(wait_for_file(dir + "/devsim.ready", 10s)) << sim.out() << sim.err();
    write_file(dir + "/Brenvik.json", "{\"star_sensors\": [{\"type\": \"nano\", \"star_num\": 1, \"device\": \"" + dir +
                                          "/nano1\"}, {\"type\": \"nano\", \"star_num\": 2, \"device\": \"" + dir +
                                          "/nano2\"}]}");
    write_file(dir + "/Skardel.json", "{\"flywheels\": [{\"id\": 0, \"device\": \"" + dir + "/wheel0\"}, {\"id\": 1, " +
                                          "\"device\": \"" + dir + "/wheel1\"}, {\"id\": 2, \"device\": \"" + dir +
                                          "/wheel2\"}]}");
    write_file(dir + "/Zentaro.json", "{\"gyro\": {\"device\": \"" + dir + "/gyro\"}}");
    write_file(dir + "/Quimbrel.json", "{\"mems_sensor\": {\"device\": \"" + dir + "/mems\"}}");
    write_file(dir + "/Tavrin.json", "{\"optical\": {\"device\": \"" + dir + "/optical\", \"baudrate\": 115200}}");
    write_file(dir + "/Pellwyn.json", "{\"vision\": {\"device\": \"" + dir + "/vision\", \"baudrate\": 115200}}");

    ChildProcess brenvik(BRENVIK_PATH, {}, dir);
    ChildProcess skardel(SKARDEL_PATH, {dir + "/Skardel.json"});
    ChildProcess zentaro(ZENTARO_PATH, {dir + "/Zentaro.json"});
    ChildProcess quimbrel(QUIMBREL_PATH, {}, dir);
    ChildProcess tavrin(TAVRIN_PATH, {dir + "/Tavrin.json"});
    ChildProcess pellwyn(PELLWYN_PATH, {}, dir);
    ASSERT_TRUE(brenvik.wait_for_output("[OK] Star sensor 2 initialized successfully\n", 20s)) << brenvik.out();
    ASSERT_TRUE(tavrin.wait_for_output("[OK] FastDDS initialized for Optical service", 20s)) << tavrin.out();

    Observer observer;
    ChildProcess console(CORVANE_PATH);

    const std::vector<std::string> served = {"star 1",  "star 2",  "wheel 1", "wheel 2", "wheel 3",
                                             "Gyro_Hardware_Service", "Mems_Hardware_Service",
                                             "Optical_Hardware_Service", "Vision_Hardware_Service"};
    const int cycles = 6;
    ASSERT_TRUE(wait_until([&] {
        auto r = observer.requests();
        for (const auto& key : served)
            if (r[key] < cycles) return false;
        return true;
    }, 60s)) << console.out();
    // Give the last cycle's answers their time, then compare: every request
    // sent before the cut-off has its answer, and nothing answers twice. (The
    // console may send its first cycle before its writer has matched the
    // observer, which then misses those requests but sees their answers.)
    auto cutoff = Clock::now();
    std::this_thread::sleep_for(1500ms);
    auto asked = observer.requests_before(cutoff);
    auto answered = observer.answers();
    auto asked_all = observer.requests();
    for (const auto& key : served) {
        EXPECT_GE(asked[key], cycles) << key;
        EXPECT_GE(answered[key], asked[key]) << key << ": requests left unanswered";
        EXPECT_LE(answered[key], asked_all[key] + 1) << key << ": more answers than requests";
    }
    EXPECT_GE(asked["Gnss_Hardware_Service"], cycles) << "the console asks for GNSS too";
    EXPECT_EQ(answered["Gnss_Hardware_Service"], 0) << "nothing serves GNSS";

    // The console printed every kind, each block with values the simulator
    // sent and clean line counts.
    const std::string out = console.out();
    const std::string sim_log = sim.out();
    auto stars = cb::star(out);
    std::map<int, int> per_star;
    for (const auto& b : stars) {
        ++per_star[b.number];
        EXPECT_NE(sim_log.find("[SIM] nano" + std::to_string(b.number) + " answer " + b.sim_text + "\n"),
                  std::string::npos) << "star " << b.number << ": " << b.sim_text;
    }
    EXPECT_GE(per_star[1], cycles - 1);
    EXPECT_GE(per_star[2], cycles - 1);
    std::map<int, int> per_wheel;
    for (const auto& b : cb::wheel(out)) {
        ++per_wheel[b.number];
        EXPECT_NE(sim_log.find("[SIM] wheel" + std::to_string(b.number - 1) + " status " + b.sim_text + "\n"),
                  std::string::npos) << "wheel " << b.number << ": " << b.sim_text;
    }
    for (int w = 1; w <= 3; ++w) EXPECT_GE(per_wheel[w], cycles - 1) << "wheel " << w;
    struct Kind {
        const char* name;
        std::vector<cb::Block> blocks;
        std::string line;
        int id;
    };
    const Kind kinds[] = {
        {"gyro", cb::axes(out, "Gyroscope"), "gyro", 3},
        {"MEMS", cb::axes(out, "MEMS"), "mems", 4},
        {"optical", cb::optical(out), "optical", 10},
        {"vision", cb::vision(out), "vision", 9},
    };
    for (const Kind& k : kinds) {
        EXPECT_GE(int(k.blocks.size()), cycles - 1) << k.name;
        for (const auto& b : k.blocks) {
            EXPECT_EQ(b.number, k.id) << k.name;
            EXPECT_EQ(b.head + b.check + b.length + b.resets, 0) << k.name;
            EXPECT_EQ(b.reset_enable, 1) << k.name;
            EXPECT_NE(sim_log.find("[SIM] " + k.line + " answer " + b.sim_text + "\n"), std::string::npos)
                << k.name << ": " << b.sim_text;
        }
    }
    EXPECT_EQ(out.find("size mismatch"), std::string::npos) << out;

    // Every program stops cleanly on a signal.
    console.signal(SIGINT);
    EXPECT_EQ(console.wait_exit(10s), 0);
    for (ChildProcess* p : {&brenvik, &skardel, &zentaro, &quimbrel, &tavrin, &pellwyn}) {
        p->signal(SIGTERM);
        EXPECT_EQ(p->wait_exit(15s), 0) << p->out() << p->err();
    }
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait_exit(10s), 0);
    EXPECT_FALSE(wait_for_file(dir + "/optical", 0ms)) << "the simulator removed its lines";
}
