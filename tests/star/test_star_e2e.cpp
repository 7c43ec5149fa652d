// The star sensor chain with real processes: the device simulator plays the
// sensors on pseudo-terminals, Brenvik drives them, and the console (or this
// test's own endpoint) asks for telemetry over the bus.
#include "bus_endpoint.h"
#include "byte_order.h"
#include "support/child_process.h"
#include "support/console_blocks.h"
#include "support/waiting.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

std::string make_run_dir(const std::string& name)
{
    std::string dir = testing::TempDir() + name + "_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    return dir;
}

void write_brenvik_config(const std::string& dir, const std::vector<std::string>& lines)
{
    std::ofstream out(dir + "/Brenvik.json");
    out << "{\"star_sensors\": [";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        out << (i ? "," : "") << "{\"type\": \"nano\", \"star_num\": " << i + 1 << ", \"device\": \"" << dir << "/"
            << lines[i] << "\", \"baudrate\": 115200}";
    }
    out << "]}";
}

void control(const std::string& dir, const std::string& command)
{
    int fd = ::open((dir + "/devsim.control").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << "control FIFO";
    std::string line = command + "\n";
    ASSERT_EQ(::write(fd, line.data(), line.size()), ssize_t(line.size()));
    ::close(fd);
}


}  // namespace

TEST(StarEndToEnd, ConsolePrintsWhatTheSimulatedSensorsSent)
{
    std::string dir = make_run_dir("star_e2e");
    ChildProcess sim(DEVSIM_PATH, {"--run-dir", dir, "--line", "nano1=nano", "--line", "nano2=nano", "--pace"});
    ASSERT_TRUE(wait_for_file(dir + "/devsim.ready", 10s)) << sim.out() << sim.err();
    write_brenvik_config(dir, {"nano1", "nano2"});

    ChildProcess brenvik(BRENVIK_PATH, {}, dir);
    ASSERT_TRUE(brenvik.wait_for_output("[OK] Star sensor 2 initialized successfully\n", 10s)) << brenvik.out()
                                                                                               << brenvik.err();
    ChildProcess console(CORVANE_PATH);
    ASSERT_TRUE(console.wait_for_output("========== Star Sensor Telemetry ==========", 30s, 4)) << console.out();
    // Let the last block finish printing.
    ASSERT_TRUE(console.wait_for_output("=====================================\n", 5s, 4));

    std::vector<console_blocks::Block> blocks = console_blocks::star(console.out());
    ASSERT_GE(blocks.size(), 4u) << console.out();
    std::string sim_log = sim.out();
    std::map<int, int> per_sensor;
    for (const console_blocks::Block& b : blocks) {
        ++per_sensor[b.number];
        std::string expected = "[SIM] nano" + std::to_string(b.number) + " answer " + b.sim_text + "\n";
        EXPECT_NE(sim_log.find(expected), std::string::npos) << "console showed " << b.sim_text
                                                               << " for sensor " << b.number << "; simulator log:\n"
                                                               << sim_log;
    }
    EXPECT_GE(per_sensor[1], 1);
    EXPECT_GE(per_sensor[2], 1);
    // A zero record would mean a failed query.
    for (const console_blocks::Block& b : blocks) EXPECT_EQ(b.sim_text.find("q0=0 q1=0 q2=0 q3=0"), std::string::npos);

    console.stop();
    brenvik.signal(SIGINT);
    EXPECT_EQ(brenvik.wait_exit(10s), 0) << brenvik.err();
    EXPECT_NE(brenvik.out().find("[INFO] Brenvik cleaning up...\n"), std::string::npos);
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait_exit(10s), 0);
}

// One injected bad checksum: the service asks again, and the reply carries
// exactly that one count, with good values.
TEST(StarEndToEnd, OneBadChecksumIsCountedOnceAndTheValuesStayGood)
{
    std::string dir = make_run_dir("star_fault");
    ChildProcess sim(DEVSIM_PATH, {"--run-dir", dir, "--line", "nano1=nano"});
    ASSERT_TRUE(wait_for_file(dir + "/devsim.ready", 10s)) << sim.out() << sim.err();
    write_brenvik_config(dir, {"nano1"});
    ChildProcess brenvik(BRENVIK_PATH, {}, dir);
    ASSERT_TRUE(brenvik.wait_for_output("[OK] Star sensor 1 initialized successfully\n", 10s)) << brenvik.err();

    std::mutex m;
    std::condition_variable cv;
    std::vector<std::vector<unsigned char>> replies;
    Vantrel client(0, 3000, "Test_Star_Client", [](const std::string&) {});
    client.create_pub("Telemetry");
    client.create_sub(
        "Telemetry",
        [&](std::string src, std::string, std::string type, std::string, std::string,
            std::vector<unsigned char>& data) {
            EXPECT_EQ(src, "Star_sensor_Hardware_Service");
            EXPECT_EQ(type, "telemetry");
            std::lock_guard<std::mutex> lock(m);
            replies.push_back(data);
            cv.notify_all();
        },
        "dest = 'Test_Star_Client'", {});

    auto ask = [&](std::size_t n) {
        unsigned char request[2] = {0x00, 0x01};
        client.publish("Telemetry", "Test_Star_Client", "Star_sensor_Hardware_Service", "command", request, 2, "",
                       "");
        std::unique_lock<std::mutex> lock(m);
        EXPECT_TRUE(cv.wait_for(lock, 20s, [&] { return replies.size() >= n; }));
        return replies.size() >= n ? replies[n - 1] : std::vector<unsigned char>();
    };
    auto counts = [](const std::vector<unsigned char>& r) {
        return std::vector<int>({load_le16(&r[31]), load_le16(&r[33]), load_le16(&r[35]), load_le16(&r[37]),
                                 load_le16(&r[39])});
    };
    auto norm = [](const std::vector<unsigned char>& r) {
        double s = 0;
        for (int i = 0; i < 4; ++i) s += double(load_le_float(&r[2 + 4 * i])) * load_le_float(&r[2 + 4 * i]);
        return std::sqrt(s);
    };

    std::vector<unsigned char> first = ask(1);
    ASSERT_EQ(first.size(), 41u);
    EXPECT_EQ(counts(first), std::vector<int>({0, 0, 0, 0, 0}));
    EXPECT_NEAR(norm(first), 1.0, 1e-3);

    control(dir, "fault nano1 checksum once");
    std::this_thread::sleep_for(200ms);  // the simulator reads its control FIFO
    std::vector<unsigned char> second = ask(2);
    ASSERT_EQ(second.size(), 41u);
    EXPECT_EQ(counts(second), std::vector<int>({0, 1, 0, 0, 1})) << "head, check, length, reset, fault";
    EXPECT_NEAR(norm(second), 1.0, 1e-3);
    EXPECT_EQ(second[0], 0);
    EXPECT_EQ(second[1], 1);
    EXPECT_NE(brenvik.err().find("[ERROR] Checksum error: calculated="), std::string::npos) << brenvik.err();

    std::vector<unsigned char> third = ask(3);
    EXPECT_EQ(counts(third), std::vector<int>({0, 1, 0, 0, 1})) << "nothing more is counted";
}
