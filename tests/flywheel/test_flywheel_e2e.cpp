// Three simulated wheels, Skardel and the console as real processes: after
// the console's bootstrap commands the wheels spin up, and the console's
// blocks follow what the wheels send.
#include "support/child_process.h"
#include "support/console_blocks.h"
#include "support/waiting.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;


TEST(FlywheelEndToEnd, WheelsSpinUpTowardsTheBootstrapSpeeds)
{
    std::string dir = testing::TempDir() + "wheel_e2e_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    ChildProcess sim(DEVSIM_PATH, {"--run-dir", dir, "--line", "w0=wheel:0x11", "--line", "w1=wheel:0x22", "--line",
                                   "w2=wheel:0x33", "--pace"});
    ASSERT_TRUE(wait_for_file(dir + "/devsim.ready", 10s)) << sim.out() << sim.err();
    {
        std::ofstream cfg(dir + "/Skardel.json");
        cfg << "{\"flywheels\": [";
        for (int i = 0; i < 3; ++i)
            cfg << (i ? "," : "") << "{\"id\": " << i << ", \"device\": \"" << dir << "/w" << i << "\"}";
        cfg << "]}";
    }
    ChildProcess skardel(SKARDEL_PATH, {dir + "/Skardel.json"});
    ASSERT_TRUE(skardel.wait_for_output("[OK] Flywheel 2 initialized successfully\n", 10s)) << skardel.err();
    ChildProcess console(CORVANE_PATH);

    // All three wheels well on their way.
    auto spun_up = [&] {
        std::map<int, float> top;
        for (const auto& b : console_blocks::wheel(console.out())) top[b.number] = std::max(top[b.number], b.speed);
        return top[1] > 100.0f && top[2] > 200.0f && top[3] > 300.0f;
    };
    ASSERT_TRUE(wait_until(spun_up, 40s)) << console.out();
    EXPECT_NE(skardel.out().find("[OK] Command sent to Flywheel 3\n"), std::string::npos) << skardel.out();

    const std::map<int, float> target = {{1, 200.0f}, {2, 400.0f}, {3, 600.0f}};
    std::map<int, float> last;
    std::string sim_log = sim.out();
    for (const auto& b : console_blocks::wheel(console.out())) {
        ASSERT_TRUE(target.count(b.number)) << "wheel " << b.number;
        EXPECT_LE(b.speed, target.at(b.number) * 1.02f) << "wheel " << b.number;
        EXPECT_GE(b.speed, last[b.number] - 1.0f) << "wheel " << b.number << " spins up, it does not slow down";
        last[b.number] = b.speed;
        // What the console shows is a frame the wheel sent.
        EXPECT_NE(sim_log.find("[SIM] w" + std::to_string(b.number - 1) + " status " + b.sim_text + "\n"), std::string::npos)
            << "wheel " << b.number << ": " << b.sim_text;
    }
    // Bytes of a frame cut by the line's flush at set-up may be skipped once;
    // nothing the wheels sent may fail its checksum.
    EXPECT_EQ(skardel.err().find("Checksum error"), std::string::npos) << skardel.err();

    console.stop();
    skardel.signal(SIGINT);
    EXPECT_EQ(skardel.wait_exit(10s), 0);
    EXPECT_NE(skardel.out().find("[INFO] Received signal 2, shutting down...\n"), std::string::npos);
    EXPECT_NE(skardel.out().find("[INFO] Skardel cleaning up...\n"), std::string::npos);
}
