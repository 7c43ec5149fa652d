// The optical and vision services with real processes: the simulator plays
// both units, the services drive them and the console prints their blocks.
#include "support/child_process.h"
#include "support/console_blocks.h"
#include "support/waiting.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace cb = console_blocks;

TEST(OpticalVisionEndToEnd, BlocksShowTheSimulatorsValuesAndTheBootstrapCommandIsCounted)
{
    std::string dir = testing::TempDir() + "optical_vision_e2e_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    ChildProcess sim(DEVSIM_PATH, {"--run-dir", dir, "--line", "optical=optical", "--line", "vision=vision", "--pace"});
    ASSERT_TRUE(wait_for_file(dir + "/devsim.ready", 10s)) << sim.out() << sim.err();
    std::ofstream(dir + "/Tavrin.json") << "{\"optical\": {\"device\": \"" << dir << "/optical\", \"baudrate\": 115200}}";
    std::ofstream(dir + "/Pellwyn.json") << "{\"vision\": {\"device\": \"" << dir << "/vision\", \"baudrate\": 115200}}";

    ChildProcess optical(TAVRIN_PATH, {dir + "/Tavrin.json"});
    ChildProcess vision(PELLWYN_PATH, {}, dir);
    ASSERT_TRUE(optical.wait_for_output("[OK] FastDDS initialized for Optical service", 10s))
        << optical.out() << optical.err();
    ASSERT_TRUE(vision.wait_for_output("[OK] Vision serial initialized successfully", 10s))
        << vision.out() << vision.err();
    ChildProcess console(CORVANE_PATH);

    ASSERT_TRUE(wait_until([&] { return cb::optical(console.out()).size() >= 3 &&
                                        cb::vision(console.out()).size() >= 3; },
                           40s))
        << console.out() << optical.err() << vision.err();

    // Every block is an answer the simulator sent, with clean line counts.
    for (const cb::Block& b : cb::optical(console.out())) {
        EXPECT_NE(sim.out().find("[SIM] optical answer " + b.sim_text + "\n"), std::string::npos)
            << "console showed " << b.sim_text << "\n" << sim.out();
        EXPECT_EQ(b.head + b.check + b.length + b.resets, 0);
        EXPECT_EQ(b.reset_enable, 1);
    }
    for (const cb::Block& b : cb::vision(console.out())) {
        EXPECT_NE(sim.out().find("[SIM] vision answer " + b.sim_text + "\n"), std::string::npos)
            << "console showed " << b.sim_text << "\n" << sim.out();
        EXPECT_EQ(b.number, 9);
        EXPECT_EQ(b.head + b.check + b.length + b.resets, 0);
        EXPECT_EQ(b.reset_enable, 1);
    }

    // The console's bootstrap command (direct row 1) was received, passed its
    // checks, was written to the line and counted by the unit.
    ASSERT_TRUE(wait_until([&] {
        auto blocks = cb::optical(console.out());
        return !blocks.empty() && blocks.back().written == 1;
    }, 20s)) << console.out();
    const cb::Block last = cb::optical(console.out()).back();
    EXPECT_EQ(last.received, 1);
    EXPECT_EQ(last.accepted, 1);
    EXPECT_EQ(last.unit_cmds, 1);
    EXPECT_NE(sim.out().find("[SIM] optical command direct 01 00\n"), std::string::npos) << sim.out();
    EXPECT_NE(optical.out().find("[INFO] Sent optical direct command: num=1\n"), std::string::npos);
    // The vision bootstrap payload (one byte) is refused by the service.
    EXPECT_NE(vision.err().find("[ERROR] Invalid data length for parameter command\n"), std::string::npos)
        << vision.err();

    console.signal(SIGTERM);
    EXPECT_EQ(console.wait_exit(10s), 0);
    optical.signal(SIGTERM);
    vision.signal(SIGINT);
    EXPECT_EQ(optical.wait_exit(10s), 0);
    EXPECT_EQ(vision.wait_exit(10s), 0);
    EXPECT_NE(optical.out().find("[INFO] Tavrin cleaning up...\n[INFO] Tavrin cleanup completed\n"), std::string::npos);
    EXPECT_NE(vision.out().find("[INFO] Pellwyn cleaning up...\n"), std::string::npos);
}
