// Gyro and MEMS with real processes: the simulator plays both units, the two
// services drive them and the console prints their blocks.
#include "support/child_process.h"
#include "support/console_blocks.h"
#include "support/waiting.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;


TEST(RateEndToEnd, BlocksMatchTheSimulatorAndOneBadChecksumIsCounted)
{
    std::string dir = testing::TempDir() + "rate_e2e_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    ChildProcess sim(DEVSIM_PATH, {"--run-dir", dir, "--line", "gyro=gyro", "--line", "mems=mems", "--pace"});
    ASSERT_TRUE(wait_for_file(dir + "/devsim.ready", 10s)) << sim.out() << sim.err();
    std::ofstream(dir + "/Zentaro.json") << "{\"gyro\": {\"device\": \"" << dir << "/gyro\"}}";
    std::ofstream(dir + "/Quimbrel.json") << "{\"mems_sensor\": {\"device\": \"" << dir << "/mems\"}}";

    ChildProcess gyro(ZENTARO_PATH, {dir + "/Zentaro.json"});
    ChildProcess mems(QUIMBREL_PATH, {}, dir);
    ASSERT_TRUE(gyro.wait_for_output("[OK] GYRO UART init", 10s)) << gyro.out() << gyro.err();
    ASSERT_TRUE(mems.wait_for_output("[OK] MEMS initialized successfully", 10s)) << mems.out() << mems.err();
    ChildProcess console(CORVANE_PATH);

    // Healthy lines: full blocks whose values are what the simulator sent.
    ASSERT_TRUE(wait_until([&] { return console_blocks::axes(console.out(), "Gyroscope").size() >= 2 &&
                                        console_blocks::axes(console.out(), "MEMS").size() >= 2; },
                           30s))
        << console.out();
    for (const auto& [title, line, id] : {std::tuple<std::string, std::string, int>{"Gyroscope", "gyro", 3},
                                          std::tuple<std::string, std::string, int>{"MEMS", "mems", 4}}) {
        for (const console_blocks::Block& b : console_blocks::axes(console.out(), title)) {
            EXPECT_EQ(b.number, id);
            EXPECT_EQ(b.head + b.check + b.length + b.resets, 0) << title;
            EXPECT_EQ(b.reset_enable, 1);
            EXPECT_NE(sim.out().find("[SIM] " + line + " answer " + b.sim_text + "\n"), std::string::npos)
                << title << " showed " << b.sim_text << "\n" << sim.out();
        }
    }

    // One bad checksum on the gyro line.
    int fd = ::open((dir + "/devsim.control").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    const std::string command = "fault gyro checksum once\n";
    ASSERT_EQ(::write(fd, command.data(), command.size()), ssize_t(command.size()));
    ::close(fd);

    auto decoded_after_fault = [&] {
        for (const console_blocks::Block& b : console_blocks::axes(console.out(), "Gyroscope"))
            if (b.check == 1 && b.sim_text != "x=0 y=0 z=0") return true;
        return false;
    };
    ASSERT_TRUE(wait_until(decoded_after_fault, 20s)) << console.out();
    bool saw_failed_cycle = false;
    for (const console_blocks::Block& b : console_blocks::axes(console.out(), "Gyroscope")) {
        EXPECT_LE(b.check, 1) << "exactly one checksum error was injected";
        EXPECT_EQ(b.head + b.length + b.resets, 0);
        if (b.check == 1 && b.sim_text == "x=0 y=0 z=0") saw_failed_cycle = true;
        if (b.check == 1 && b.sim_text != "x=0 y=0 z=0") {
            EXPECT_NE(sim.out().find("[SIM] gyro answer " + b.sim_text + "\n"), std::string::npos) << b.sim_text;
        }
    }
    EXPECT_TRUE(saw_failed_cycle) << "the cycle with the bad answer shows zeros and the count";
    EXPECT_NE(gyro.err().find("[ERROR] 校验和错误: 计算=0x"), std::string::npos) << gyro.err();
    EXPECT_NE(gyro.err().find("[ERROR] Failed to read gyro data: Checksum error\n"), std::string::npos);

    console.stop();
    gyro.signal(SIGTERM);
    mems.signal(SIGINT);
    EXPECT_EQ(gyro.wait_exit(10s), 0);
    EXPECT_EQ(mems.wait_exit(10s), 0);
    EXPECT_NE(gyro.out().find("[INFO] Zentaro cleaning up...\n"), std::string::npos);
    EXPECT_NE(mems.out().find("[INFO] MEMS Hardware Service cleaning up...\n"), std::string::npos);
}
