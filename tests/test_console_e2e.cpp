// Corvane as a real child process, with this test's own endpoints standing
// in for the hardware services on the bus.
#include "bus_endpoint.h"
#include "byte_order.h"
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/wait.h>
#include <chrono>
#include <condition_variable>
#include <mutex>

using namespace std::chrono_literals;

namespace {

struct Message {
    std::string topic, src, dest, type;
    std::vector<unsigned char> payload;
};

// A stand-in hardware service: records what it receives and can answer
// telemetry requests through a reply function.
class FakeService {
public:
    using Reply = std::function<void(Vantrel&, const Message&)>;

    explicit FakeService(const std::string& name, Reply reply = nullptr)
        : name_(name), reply_(std::move(reply)), endpoint_(0, 3000, name, [](const std::string&) {})
    {
        std::string filter = "dest = '" + name + "'";
        endpoint_.create_pub("Telemetry");
        endpoint_.create_pub("Command");
        endpoint_.create_sub("Command", handler("Command"), filter, {});
        endpoint_.create_sub("Telemetry", handler("Telemetry"), filter, {});
    }

    std::vector<Message> received(const std::string& topic)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Message> out;
        for (const auto& m : messages_)
            if (m.topic == topic) out.push_back(m);
        return out;
    }

    bool wait_for(const std::string& topic, std::size_t n, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] {
            std::size_t k = 0;
            for (const auto& m : messages_) k += m.topic == topic;
            return k >= n;
        });
    }

    Vantrel& endpoint() { return endpoint_; }

private:
    Vantrel::Callback handler(const std::string& topic)
    {
        return [this, topic](std::string src, std::string dest, std::string type, std::string, std::string,
                             std::vector<unsigned char>& data) {
            Message m{topic, src, dest, type, data};
            {
                std::lock_guard<std::mutex> lock(mutex_);
                messages_.push_back(m);
                cv_.notify_all();
            }
            if (topic == "Telemetry" && reply_) reply_(endpoint_, m);
        };
    }

    std::string name_;
    Reply reply_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Message> messages_;
    Vantrel endpoint_;
};

std::vector<unsigned char> star_record(uint8_t num)
{
    std::vector<unsigned char> r(41, 0);
    r[0] = 0;
    r[1] = num;
    const float values[7] = {0.5f, -0.5f, 0.25f, 0.625f, -2e-13f, 4e-13f, 0.0f};
    for (int i = 0; i < 7; ++i) store_le_float(&r[2 + 4 * i], values[i]);
    r[30] = 17;
    r[31] = 9;  // counts beyond what the console shows
    return r;
}

}  // namespace

TEST(ConsoleEndToEnd, BootstrapPollingAndDisplayThroughTheBus)
{
    FakeService flywheel("Flywheel_Hardware_Service");
    FakeService star("Star_sensor_Hardware_Service", [](Vantrel& ep, const Message& m) {
        if (m.payload.size() < 2) return;
        auto record = star_record(m.payload[1]);
        ep.publish("Telemetry", "Star_sensor_Hardware_Service", m.src, "telemetry", record.data(),
                   record.size(), "", "");
    });
    FakeService gyro("Gyro_Hardware_Service", [](Vantrel& ep, const Message& m) {
        unsigned char info[12] = {};
        ep.publish("Telemetry", "Gyro_Hardware_Service", m.src, "telemetry", info, sizeof info, "", "");
    });

    // The services are up before the console, as on a bench where the console
    // is restarted: its one-off bootstrap commands must still arrive.
    ChildProcess console(CORVANE_PATH);

    ASSERT_TRUE(flywheel.wait_for("Command", 3, 20s)) << console.out();
    auto commands = flywheel.received("Command");
    ASSERT_EQ(commands.size(), 3u);
    const std::vector<std::vector<unsigned char>> expected_commands = {
        {0x01, 0x00, 0x00, 0x00, 0x48, 0x43, 0x00, 0x00, 0xC0, 0x3F},
        {0x02, 0x00, 0x00, 0x00, 0xC8, 0x43, 0x00, 0x00, 0xC0, 0x3F},
        {0x03, 0x00, 0x00, 0x00, 0x16, 0x44, 0x00, 0x00, 0xC0, 0x3F},
    };
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(commands[i].src, "Gnc_Service");
        EXPECT_EQ(commands[i].dest, "Flywheel_Hardware_Service");
        EXPECT_EQ(commands[i].type, "command");
        EXPECT_EQ(commands[i].payload, expected_commands[i]);
    }

    // Two polling cycles: every request carries the label "command".
    ASSERT_TRUE(star.wait_for("Telemetry", 4, 20s)) << console.out();
    auto requests = star.received("Telemetry");
    EXPECT_EQ(requests[0].payload, std::vector<unsigned char>({0x00, 0x01}));
    EXPECT_EQ(requests[1].payload, std::vector<unsigned char>({0x00, 0x02}));
    EXPECT_EQ(requests[2].payload, std::vector<unsigned char>({0x00, 0x01}));
    for (const auto& r : requests) {
        EXPECT_EQ(r.type, "command");
        EXPECT_EQ(r.src, "Gnc_Service");
    }
    ASSERT_TRUE(flywheel.wait_for("Telemetry", 3, 10s));
    auto wheel_requests = flywheel.received("Telemetry");
    EXPECT_EQ(wheel_requests[0].payload, std::vector<unsigned char>({0x01, 0xFF}));
    EXPECT_EQ(wheel_requests[1].payload, std::vector<unsigned char>({0x02, 0xFF}));
    EXPECT_EQ(wheel_requests[2].payload, std::vector<unsigned char>({0x03, 0xFF}));
    ASSERT_TRUE(gyro.wait_for("Telemetry", 1, 10s));
    EXPECT_EQ(gyro.received("Telemetry")[0].payload, std::vector<unsigned char>({0xFF}));

    const std::string star_block =
        "\n========== Star Sensor Telemetry ==========\n"
        "类型(0为纳型,1为皮型): 0\n"
        "标号: 2\n"
        "q0: 0.5\n"
        "q1: -0.5\n"
        "q2: 0.25\n"
        "q3: 0.625\n"
        "wx: -2e-13\n"
        "wy: 4e-13\n"
        "wz: 0\n"
        "Star Number (detected): 17\n"
        "=====================================\n"
        "\n";
    ASSERT_TRUE(console.wait_for_output(star_block, 10s)) << console.out();
    ASSERT_TRUE(console.wait_for_output("[ERROR] Gyro data size mismatch. Expected: 18, Received: 12\n", 10s))
        << console.out();

    // A command addressed to the console is echoed.
    unsigned char cmd[] = {0x0A, 0xFF};
    star.endpoint().publish("Command", "Star_sensor_Hardware_Service", "Gnc_Service", "command", cmd, 2, "", "");
    ASSERT_TRUE(console.wait_for_output("Command received from Star_sensor_Hardware_Service to Gnc_Service\n"
                                        "Type: command\n"
                                        "Data (2 bytes): A, FF\n",
                                        10s))
        << console.out();

    // SIGTERM ends the polling and the console leaves the bus cleanly.
    console.signal(SIGTERM);
    int status = console.wait_exit(10s);
    ASSERT_NE(status, -1) << "the console did not stop on SIGTERM";
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(console.out().find("[INFO] Received signal 15, shutting down...\n"), std::string::npos)
        << console.out();
    EXPECT_EQ(console.err(), "");
}

TEST(ConsoleEndToEnd, RequestsToAServiceThatStartsLaterAreAnswered)
{
    ChildProcess console(CORVANE_PATH);
    ASSERT_TRUE(console.wait_for_output("[INFO] Polling", 20s)) << console.out();
    // No one answered so far; a service joining now starts getting requests.
    std::atomic<int> replies{0};
    FakeService star("Star_sensor_Hardware_Service", [&](Vantrel& ep, const Message& m) {
        auto record = star_record(m.payload.size() > 1 ? m.payload[1] : 0);
        ep.publish("Telemetry", "Star_sensor_Hardware_Service", m.src, "telemetry", record.data(), record.size(),
                   "", "");
        ++replies;
    });
    ASSERT_TRUE(star.wait_for("Telemetry", 2, 20s));
    ASSERT_TRUE(console.wait_for_output("========== Star Sensor Telemetry ==========", 10s, 2)) << console.out();
}
