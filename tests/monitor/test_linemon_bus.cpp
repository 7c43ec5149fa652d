// linemon as a real child process, fed through the bus by this test's own
// endpoints standing in for the hardware services.
#include "bus_endpoint.h"
#include "monitor_output.h"
#include "support/child_process.h"
#include "support/waiting.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

// A stand-in service that publishes to the monitor and waits, after each
// record, until the monitor has logged it: the statistics then always reach
// the monitor before the raw frame that follows them.
class StandIn {
public:
    StandIn(const std::string& name, std::string log) : name_(name), log_(std::move(log)), ep_(0, 3000, name, [](const std::string&) {})
    {
        ep_.create_pub("Telemetry");
        ep_.create_pub("Raw_Telemetry");
    }
    bool matched()
    {
        return wait_until([&] { return vantrel_matched_readers(ep_, "Telemetry", "Mag_Service") > 0 &&
                                       vantrel_matched_readers(ep_, "Raw_Telemetry", "Mag_Service") > 0; },
                          60s);
    }
    void send(const std::string& topic, Bytes payload)
    {
        std::size_t before = log_records(log_).size();
        ASSERT_TRUE(ep_.publish(topic, name_, "Mag_Service", "telemetry", payload.data(), payload.size(), "", ""));
        ASSERT_TRUE(wait_until([&] { return log_records(log_).size() > before; }, 30s)) << name_ << " " << topic;
    }

private:
    std::string name_, log_;
    Vantrel ep_;
};

}  // namespace

TEST(LinemonBus, TableAndLogFollowTheRecords)
{
    const std::string log = testing::TempDir() + "linemon_bus_" + std::to_string(getpid()) + ".jsonl";
    std::remove(log.c_str());
    ChildProcess monitor(LINEMON_PATH, {"--log", log, "--interval-ms", "200"});
    ASSERT_TRUE(monitor.wait_for_output("[INFO] linemon listening as Mag_Service", 30s)) << monitor.err();

    StandIn gyro("Gyro_Hardware_Service", log), wheels("Flywheel_Hardware_Service", log),
        star("Star_sensor_Hardware_Service", log);
    ASSERT_TRUE(gyro.matched() && wheels.matched() && star.matched()) << monitor.out() << monitor.err();

    Bytes gyro_frame(27);
    for (std::size_t i = 0; i < gyro_frame.size(); ++i) gyro_frame[i] = uint8_t(0xF0 + i);
    star.send("Raw_Telemetry", Bytes(41, 0x7E));  // no statistics from this source: unknown line
    gyro.send("Telemetry", {3, 0, 0, 0, 255});
    gyro.send("Raw_Telemetry", gyro_frame);
    gyro.send("Telemetry", {3, 0, 1, 0, 0});  // checksum +1, reset wraps 255 -> 0
    gyro.send("Raw_Telemetry", gyro_frame);
    wheels.send("Telemetry", {6, 0x2C, 0x01, 0, 0, 0x00, 0x01, 0, 0});
    wheels.send("Raw_Telemetry", Bytes(19, 0xFF));
    star.send("Telemetry", Bytes(41, 0));

    // The log: one object per record, in the order sent.
    auto records = log_records(log);
    ASSERT_EQ(records.size(), 8u);
    const char* kinds[] = {"raw", "statistics", "raw", "statistics", "raw", "statistics", "raw", "unrecognised"};
    const int lines[] = {-1, 3, 3, 3, 3, 6, 6, -1};
    for (std::size_t i = 0; i < records.size(); ++i) {
        ASSERT_TRUE(records[i].isObject()) << records[i];
        EXPECT_EQ(records[i]["kind"].asString(), kinds[i]) << i;
        EXPECT_EQ(records[i].isMember("line") ? records[i]["line"].asInt() : -1, lines[i]) << i;
        EXPECT_EQ(records[i]["utc"].asString().size(), 24u);
    }
    EXPECT_EQ(records[2]["hex"].asString(), "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff000102030405060708090a");
    EXPECT_EQ(records[3]["counts"]["check"].asInt(), 1);
    EXPECT_EQ(records[3]["counts"]["reset"].asInt(), 0);
    EXPECT_EQ(records[5]["name"].asString(), "wheel2");
    EXPECT_EQ(records[5]["counts"]["header"].asInt(), 300);
    EXPECT_EQ(records[5]["counts"]["length"].asInt(), 256);
    EXPECT_EQ(records[7]["source"].asString(), "Star_sensor_Hardware_Service");
    EXPECT_EQ(records[7]["len"].asInt(), 41);
    for (std::size_t i = 1; i < records.size(); ++i)
        EXPECT_GE(records[i]["mono"].asDouble(), records[i - 1]["mono"].asDouble()) << "monotonic seconds, " << i;

    // The table: the report that marks the gyro's rise, then a later one
    // that holds every record (the others came after the gyro's).
    auto complete = [](const PrintedReport& r) {
        return r.rows.size() == 3 && r.rows.count("wheel2") && r.rows.at("wheel2").raw == "1" &&
               !r.unrecognised.empty();
    };
    auto marked_then_complete = [&](const std::vector<PrintedReport>& reports) {
        for (std::size_t i = 0; i < reports.size(); ++i) {
            auto g = reports[i].rows.find("gyro");
            if (g != reports[i].rows.end() && g->second.rose != "-")
                return i + 1 < reports.size() && complete(reports.back());
        }
        return false;
    };
    ASSERT_TRUE(wait_until([&] { return marked_then_complete(printed_reports(monitor.out())); }, 30s))
        << monitor.out();
    auto reports = printed_reports(monitor.out());
    int marked = 0;
    for (const PrintedReport& r : reports) {
        auto g = r.rows.find("gyro");
        if (g == r.rows.end()) continue;
        if (g->second.rose != "-") {
            ++marked;
            EXPECT_EQ(g->second.rose, "check+1,reset+1");
        }
    }
    EXPECT_EQ(marked, 1) << monitor.out();

    const PrintedReport& last = reports.back();
    ASSERT_EQ(last.rows.size(), 3u) << monitor.out();
    const PrintedRow& g = last.rows.at("gyro");
    EXPECT_EQ((std::vector<std::string>{g.id, g.header, g.check, g.length, g.reset, g.raw, g.len, g.rose}),
              (std::vector<std::string>{"3", "0", "1", "0", "0", "2", "27", "-"}));
    const PrintedRow& w = last.rows.at("wheel2");
    EXPECT_EQ((std::vector<std::string>{w.id, w.header, w.check, w.length, w.reset, w.raw, w.len}),
              (std::vector<std::string>{"6", "300", "0", "256", "0", "1", "19"}));
    const PrintedRow& s = last.rows.at("star?");
    EXPECT_EQ((std::vector<std::string>{s.id, s.header, s.raw, s.len}), (std::vector<std::string>{"?", "-", "1", "41"}));
    EXPECT_NE(last.unrecognised.find("unrecognised 1 (+"), std::string::npos) << last.unrecognised;
    EXPECT_NE(last.unrecognised.find("): Star_sensor_Hardware_Service=1"), std::string::npos)
        << last.unrecognised;

    monitor.signal(SIGTERM);
    EXPECT_EQ(monitor.wait_exit(30s), 0) << monitor.err();
    EXPECT_TRUE(wait_until([&] { return monitor.out().find("[INFO] linemon stopped\n") != std::string::npos; }, 10s));
    std::remove(log.c_str());
}
