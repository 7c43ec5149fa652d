// The whole bench as real processes: the simulator with every device, the six
// hardware services and the console. An observer on the bus sees every
// request the console sends and every answer addressed to it, so a request
// left unanswered shows, whatever the console prints.
#include "bus_endpoint.h"
#include "support/child_process.h"
#include "support/console_blocks.h"
#include "support/waiting.h"
#include "support/whole_bench.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
namespace cb = console_blocks;

using namespace whole_bench;

TEST(WholeBench, EveryRequestIsAnsweredAndEveryBlockShowsTheSimulatorsValues)
{
    Processes bench("whole_bench");
    ASSERT_TRUE(bench.ready) << bench.sim->out() << bench.sim->err();
    ChildProcess& sim = *bench.sim;
    std::string dir = bench.dir;

    Observer observer;
    ChildProcess console(CORVANE_PATH);

    const std::vector<std::string>& served = served_keys();
    const int cycles = 6;
    ASSERT_TRUE(wait_until([&] {
        auto r = observer.requests();
        for (const auto& key : served)
            if (r[key] < cycles + 2) return false;  // the first second is not counted
        return true;
    }, 60s)) << console.out();
    // Give the last cycle's answers their time, then compare: every request
    // sent before the cut-off has its answer, and nothing answers twice.
    auto cutoff = Clock::now();
    std::this_thread::sleep_for(1500ms);
    auto tally = observer.tally(cutoff);
    for (const auto& key : served) {
        const auto& t = tally[key];
        EXPECT_GE(t.asked, cycles) << key;
        EXPECT_GE(t.answered, t.asked) << key << ": requests left unanswered";
        EXPECT_LE(t.answered, t.bound) << key << ": more answers than requests";
    }
    EXPECT_GE(observer.requests()["Gnss_Hardware_Service"], cycles) << "the console asks for GNSS too";
    EXPECT_EQ(observer.answers()["Gnss_Hardware_Service"], 0) << "nothing serves GNSS";

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
    for (auto& [name, p] : bench.services()) {
        p->signal(SIGTERM);
        EXPECT_EQ(p->wait_exit(15s), 0) << name << ": " << p->out() << p->err();
    }
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait_exit(10s), 0);
    EXPECT_FALSE(wait_for_file(dir + "/optical", 0ms)) << "the simulator removed its lines";
}
