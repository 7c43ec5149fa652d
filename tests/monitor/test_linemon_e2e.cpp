// The monitor with real processes: the simulator plays the gyro, Zentaro
// drives it, the console polls it every second and linemon watches the
// statistics and raw answers Zentaro sends to "Mag_Service".
#include "monitor_output.h"
#include "support/child_process.h"
#include "support/waiting.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

TEST(LinemonEndToEnd, OneBadGyroChecksumRisesTheCountOnce)
{
    std::string dir = testing::TempDir() + "linemon_e2e_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    const std::string log = dir + "/linemon.jsonl";
    ChildProcess sim(DEVSIM_PATH, {"--run-dir", dir, "--line", "gyro=gyro", "--pace"});
    ASSERT_TRUE(wait_for_file(dir + "/devsim.ready", 10s)) << sim.out() << sim.err();
    std::ofstream(dir + "/Zentaro.json") << "{\"gyro\": {\"device\": \"" << dir << "/gyro\"}}";

    ChildProcess gyro(ZENTARO_PATH, {dir + "/Zentaro.json"});
    ASSERT_TRUE(gyro.wait_for_output("[OK] GYRO UART init", 10s)) << gyro.out() << gyro.err();
    ChildProcess monitor(LINEMON_PATH, {"--log", log, "--interval-ms", "500"});
    ASSERT_TRUE(monitor.wait_for_output("[INFO] linemon listening", 30s)) << monitor.err();
    ChildProcess console(CORVANE_PATH);

    auto gyro_rows = [&] {
        std::vector<PrintedRow> rows;
        for (const PrintedReport& r : printed_reports(monitor.out())) {
            auto it = r.rows.find("gyro");
            if (it != r.rows.end()) rows.push_back(it->second);
        }
        return rows;
    };
    auto healthy = [](const PrintedRow& g) {
        return g.id == "3" && g.header == "0" && g.check == "0" && g.length == "0" && g.reset == "0";
    };
    ASSERT_TRUE(wait_until([&] { auto rows = gyro_rows(); return !rows.empty() && healthy(rows.back()); }, 60s))
        << monitor.out() << monitor.err() << gyro.err();
    const std::size_t healthy_reports = gyro_rows().size();

    // One bad checksum on the gyro line.
    int fd = ::open((dir + "/devsim.control").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    const std::string command = "fault gyro checksum once\n";
    ASSERT_EQ(::write(fd, command.data(), command.size()), ssize_t(command.size()));
    ::close(fd);

    // The count rises, is marked, and stays at 1 in the reports after it
    // while later polls keep arriving (the raw count goes on rising).
    auto settled = [&] {
        auto rows = gyro_rows();
        for (std::size_t i = healthy_reports; i < rows.size(); ++i) {
            if (rows[i].check != "1") continue;
            for (std::size_t k = i + 1; k < rows.size(); ++k)
                if (std::stoul(rows[k].raw) > std::stoul(rows[i].raw) + 2) return true;
            return false;
        }
        return false;
    };
    ASSERT_TRUE(wait_until(settled, 60s)) << monitor.out() << gyro.err();
    int marked = 0;
    std::string previous_check = "0";
    for (const PrintedRow& g : gyro_rows()) {
        EXPECT_EQ(g.id, "3");
        EXPECT_EQ(g.header + g.length + g.reset, "000") << "only the checksum count may move";
        EXPECT_TRUE(g.check == "0" || g.check == "1") << g.check;
        EXPECT_TRUE(g.check >= previous_check) << "the count never falls back";
        if (g.rose != "-") {
            ++marked;
            EXPECT_EQ(g.rose, "check+1");
            EXPECT_EQ(g.check, "1");
            EXPECT_EQ(previous_check, "0");
        }
        previous_check = g.check;
    }
    EXPECT_EQ(marked, 1) << monitor.out();
    EXPECT_EQ(previous_check, "1");

    // The log shows the same: statistics 0 ... 0 then 1 ... 1, every raw
    // answer on line 3.
    auto records = log_records(log);
    int transitions = 0, statistics = 0, raw = 0;
    int last_check = 0;
    for (const Json::Value& r : records) {
        ASSERT_TRUE(r.isObject()) << r;
        EXPECT_EQ(r["source"].asString(), "Gyro_Hardware_Service");
        EXPECT_EQ(r["line"].asInt(), 3) << r;
        if (r["kind"].asString() == "raw") {
            ++raw;
            EXPECT_EQ(r["topic"].asString(), "Raw_Telemetry");
            EXPECT_EQ(r["len"].asInt(), 27);
            EXPECT_EQ(r["hex"].asString().size(), 54u);
            continue;
        }
        ASSERT_EQ(r["kind"].asString(), "statistics") << r;
        ++statistics;
        const Json::Value& c = r["counts"];
        EXPECT_EQ(c["header"].asInt() + c["length"].asInt() + c["reset"].asInt(), 0) << r;
        transitions += c["check"].asInt() != last_check;
        last_check = c["check"].asInt();
    }
    EXPECT_EQ(transitions, 1);
    EXPECT_EQ(last_check, 1);
    EXPECT_GE(raw, statistics - 1) << "a raw answer follows every statistics record";

    console.stop();
    monitor.signal(SIGINT);
    gyro.signal(SIGTERM);
    EXPECT_EQ(monitor.wait_exit(30s), 0);
    EXPECT_EQ(gyro.wait_exit(10s), 0);
    sim.stop();
    std::remove(log.c_str());
    std::remove((dir + "/Zentaro.json").c_str());
    rmdir(dir.c_str());
}
