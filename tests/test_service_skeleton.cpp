// The pieces every hardware service's process shares.
#include "commands_first.h"
#include "service_skeleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <map>
#include <mutex>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Runs `body` with standard output going into a pipe; returns what it wrote.
template <typename F>
std::string capture_fd_stdout(F body)
{
    fflush(stdout);
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    int saved = dup(STDOUT_FILENO);
    dup2(p[1], STDOUT_FILENO);
    body();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(p[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) out.append(buf, std::size_t(n));
    close(p[0]);
    return out;
}

}  // namespace

TEST(ServiceSignals, SigtermAndSigintClearRunning)
{
    for (int signo : {SIGTERM, SIGINT}) {
        install_signal_handlers(false);
        running = true;
        std::string out = capture_fd_stdout([&] { raise(signo); });
        EXPECT_FALSE(running.load()) << signo;
        EXPECT_EQ(out, "") << "a quiet service prints nothing from its handler";
    }
    running = true;
}

TEST(ServiceSignals, AnnouncingServicePrintsTheSignalLine)
{
    install_signal_handlers(true);
    running = true;
    std::string out = capture_fd_stdout([] { raise(SIGTERM); });
    EXPECT_FALSE(running.load());
    EXPECT_EQ(out, "[INFO] Received signal 15, shutting down...\n");
    install_signal_handlers(false);
    running = true;
}

TEST(ServiceSignals, SignalLineFormatting)
{
    char buf[64];
    std::size_t n = format_signal_line(buf, sizeof buf, 2);
    EXPECT_EQ(std::string(buf, n), "[INFO] Received signal 2, shutting down...\n");
    n = format_signal_line(buf, sizeof buf, 0);
    EXPECT_EQ(std::string(buf, n), "[INFO] Received signal 0, shutting down...\n");
    n = format_signal_line(buf, sizeof buf, 1234567);
    EXPECT_EQ(std::string(buf, n), "[INFO] Received signal 1234567, shutting down...\n");
    // Never writes past the buffer it is given.
    char small[10] = {};
    n = format_signal_line(small, 8, 15);
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(small[8], 0);
}

TEST(ServiceLog, PrefixTextAndNewlineInOneLine)
{
    std::string out = capture_fd_stdout([] { write_log_line("[Brenvik] ", "DDS ready"); });
    EXPECT_EQ(out, "[Brenvik] DDS ready\n");
}

TEST(ServiceBus, DestinationFilter)
{
    EXPECT_EQ(destination_filter("Gyro_Hardware_Service"), "dest = 'Gyro_Hardware_Service'");
}

TEST(ServiceBus, PublishWithoutEndpointDoesNothing)
{
    unsigned char data[2] = {1, 2};
    Vantrel* none = nullptr;
    service_publish(none, TOPIC_TELEMETRY, "X", "Y", data, 2);  // must not crash
    service_bus_release(none);
    EXPECT_EQ(none, nullptr);
}

TEST(ServiceBus, SecondInitCreatesNothing)
{
    Vantrel* part = nullptr;
    auto cb = [](std::string, std::string, std::string, std::string, std::string, std::vector<unsigned char>&) {};
    service_bus_init(part, 0, "Test_Skeleton_Service", "Test_Skeleton_Service", nullptr,
                     {TOPIC_TELEMETRY}, {{TOPIC_TELEMETRY, cb}});
    ASSERT_NE(part, nullptr);
    Vantrel* first = part;
    service_bus_init(part, 0, "Test_Skeleton_Service", "Test_Skeleton_Service", nullptr,
                     {TOPIC_TELEMETRY}, {{TOPIC_TELEMETRY, cb}});
    EXPECT_EQ(part, first);
    service_bus_release(part);
    EXPECT_EQ(part, nullptr);
}

// While the program's handler is busy, three equal messages arrive on each
// topic: on its request topic the two waiting ones are one request, on any
// other (commands; the console's records) every one is handled.
TEST(ServiceBus, OnlyTheRequestTopicMergesRepeats)
{
    std::mutex m;
    std::map<std::string, int> handled;
    std::atomic<int> started{0};
    std::atomic<bool> release{false};
    auto counting = [&](const std::string& topic) {
        return [&, topic](std::string, std::string, std::string, std::string, std::string,
                          std::vector<unsigned char>&) {
            ++started;
            while (!release) std::this_thread::sleep_for(1ms);
            std::lock_guard<std::mutex> lock(m);
            ++handled[topic];
        };
    };
    Vantrel* part = nullptr;
    service_bus_init(part, 0, "Test_Skeleton_Merge", "Test_Skeleton_Merge", nullptr, {},
                     {{TOPIC_TELEMETRY, counting(TOPIC_TELEMETRY)}, {TOPIC_COMMAND, counting(TOPIC_COMMAND)}},
                     TOPIC_TELEMETRY);
    Vantrel asker(0, 3000, "Test_Skeleton_Asker", nullptr);
    asker.create_pub(TOPIC_TELEMETRY);
    asker.create_pub(TOPIC_COMMAND);
    auto until = std::chrono::steady_clock::now() + 10s;
    while ((vantrel_matched_readers(asker, TOPIC_TELEMETRY, "Test_Skeleton_Merge") == 0 ||
            vantrel_matched_readers(asker, TOPIC_COMMAND, "Test_Skeleton_Merge") == 0) &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    unsigned char request = 0xFF;
    for (const std::string& topic : {TOPIC_TELEMETRY, TOPIC_COMMAND}) {
        asker.publish(topic, "Test_Skeleton_Asker", "Test_Skeleton_Merge", "command", &request, 1, "", "");
    }
    until = std::chrono::steady_clock::now() + 10s;
    while (started < 2 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(started.load(), 2) << "the first of each is being handled";
    for (const std::string& topic : {TOPIC_TELEMETRY, TOPIC_COMMAND}) {
        for (int i = 0; i < 2; ++i)
            asker.publish(topic, "Test_Skeleton_Asker", "Test_Skeleton_Merge", "command", &request, 1, "", "");
    }
    std::this_thread::sleep_for(1s);  // all delivered: the first running, the rest waiting
    release = true;
    std::this_thread::sleep_for(500ms);
    service_bus_release(part);
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(handled[TOPIC_TELEMETRY], 2) << "one running, one waiting for both repeats";
    EXPECT_EQ(handled[TOPIC_COMMAND], 3);
}

// A command that waits for the line while a query holds it goes before the
// next query, however the threads are scheduled.
TEST(CommandsFirst, AWaitingCommandTakesTheLineBeforeTheNextQuery)
{
    for (int round = 0; round < 20; ++round) {
        std::mutex device, order_mutex;
        CommandsFirst gate;
        std::vector<std::string> order;
        auto note = [&](const char* who) {
            std::lock_guard<std::mutex> lock(order_mutex);
            order.push_back(who);
        };
        std::unique_lock<std::mutex> first_query(device);
        std::atomic<bool> waiting{false};
        std::thread command([&] {
            CommandsFirst::Turn turn(gate);
            waiting = true;
            std::lock_guard<std::mutex> lock(device);
            note("command");
        });
        while (!waiting) std::this_thread::sleep_for(100us);
        std::thread next_query([&] {
            gate.let_commands_go_first();
            std::lock_guard<std::mutex> lock(device);
            note("query");
        });
        std::this_thread::sleep_for(2ms);  // the next query is at the gate
        first_query.unlock();
        command.join();
        next_query.join();
        ASSERT_EQ(order, (std::vector<std::string>{"command", "query"})) << "round " << round;
    }
}
