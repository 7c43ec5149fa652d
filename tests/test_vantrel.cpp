// The bus endpoint with real Fast DDS participants in one process.
//
// CTest runs each test in a process of its own. Fast DDS numbers a process's
// participants from 0 up without reuse, and the local bus discovers ids 0 to
// 31 only; the whole file in one process makes more participants than that,
// so run it through ctest or one test at a time (--gtest_filter).
#include "bus_endpoint.h"
#include "bus_endpoint_detail.h"

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/domain/DomainParticipantListener.hpp>
#include <fastdds/dds/log/Log.hpp>
#include <fastrtps/utils/IPLocator.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

struct Received {
    std::string src, dest, type, extra1, extra2;
    std::vector<unsigned char> payload;
};

// Collects what a subscription delivers.
class Inbox {
public:
    Vantrel::Callback callback()
    {
        return [this](std::string src, std::string dest, std::string type, std::string e1,
                      std::string e2, std::vector<unsigned char>& data) {
            std::lock_guard<std::mutex> lock(mutex_);
            items_.push_back({src, dest, type, e1, e2, data});
            cv_.notify_all();
        };
    }
    bool wait_for(std::size_t n, std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return items_.size() >= n; });
    }
    std::vector<Received> items()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }
    std::size_t size()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Received> items_;
};

std::string filter_for(const std::string& name) { return "dest = '" + name + "'"; }

void quiet(const std::string&) {}

// Waits until `from` has a matched reader in participant `to` on `topic`.
bool wait_matched(Vantrel& from, const std::string& topic, const std::string& to,
                  std::chrono::milliseconds timeout = 10s)
{
    auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        if (vantrel_matched_readers(from, topic, to) > 0) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

}  // namespace

TEST(Vantrel, DeliversOnlyToTheAddressedService)
{
    Inbox beta_in, gamma_in, alpha_in;
    Vantrel alpha(0, 3000, "Test_Alpha", quiet);
    Vantrel beta(0, 3000, "Test_Beta", quiet);
    Vantrel gamma(0, 3000, "Test_Gamma", quiet);
    alpha.create_pub("Telemetry");
    alpha.create_sub("Telemetry", alpha_in.callback(), filter_for("Test_Alpha"), {});
    beta.create_sub("Telemetry", beta_in.callback(), filter_for("Test_Beta"), {});
    gamma.create_sub("Telemetry", gamma_in.callback(), filter_for("Test_Gamma"), {});
    ASSERT_TRUE(wait_matched(alpha, "Telemetry", "Test_Beta"));
    ASSERT_TRUE(wait_matched(alpha, "Telemetry", "Test_Gamma"));

    unsigned char one[] = {0x01};
    unsigned char two[] = {0x02, 0x03};
    ASSERT_TRUE(alpha.publish("Telemetry", "Test_Alpha", "Test_Beta", "telemetry", one, 1, "", ""));
    ASSERT_TRUE(alpha.publish("Telemetry", "Test_Alpha", "Test_Gamma", "telemetry", two, 2, "", ""));
    ASSERT_TRUE(beta_in.wait_for(1));
    ASSERT_TRUE(gamma_in.wait_for(1));
    std::this_thread::sleep_for(300ms);  // time for a stray delivery to show

    ASSERT_EQ(beta_in.size(), 1u);
    ASSERT_EQ(gamma_in.size(), 1u);
    EXPECT_EQ(beta_in.items()[0].payload, std::vector<unsigned char>({0x01}));
    EXPECT_EQ(gamma_in.items()[0].payload, std::vector<unsigned char>({0x02, 0x03}));
    EXPECT_EQ(alpha_in.size(), 0u) << "own messages addressed elsewhere must not come back";
}

TEST(Vantrel, TopicsAreSeparate)
{
    Inbox commands, telemetry;
    Vantrel a(0, 3000, "Test_Topics_A", quiet);
    Vantrel b(0, 3000, "Test_Topics_B", quiet);
    a.create_pub("Command");
    a.create_pub("Telemetry");
    b.create_sub("Command", commands.callback(), filter_for("Test_Topics_B"), {});
    b.create_sub("Telemetry", telemetry.callback(), filter_for("Test_Topics_B"), {});
    unsigned char c[] = {0xC0};
    unsigned char t[] = {0x70};
    ASSERT_TRUE(a.publish("Command", "Test_Topics_A", "Test_Topics_B", "command", c, 1, "", ""));
    ASSERT_TRUE(a.publish("Telemetry", "Test_Topics_A", "Test_Topics_B", "telemetry", t, 1, "", ""));
    ASSERT_TRUE(commands.wait_for(1));
    ASSERT_TRUE(telemetry.wait_for(1));
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(commands.size(), 1u);
    ASSERT_EQ(telemetry.size(), 1u);
    EXPECT_EQ(commands.items()[0].payload[0], 0xC0);
    EXPECT_EQ(commands.items()[0].type, "command");
    EXPECT_EQ(telemetry.items()[0].payload[0], 0x70);
}

TEST(Vantrel, FieldsAndPayloadArriveExactly)
{
    Inbox in;
    Vantrel a(0, 3000, "Test_Fields_A", quiet);
    Vantrel b(0, 3000, "Test_Fields_B", quiet);
    a.create_pub("Raw_Telemetry");
    b.create_sub("Raw_Telemetry", in.callback(), filter_for("Test_Fields_B"), {});

    std::vector<unsigned char> big(1024);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7);
    unsigned char zeros[3] = {0, 0, 0};

    ASSERT_TRUE(a.publish("Raw_Telemetry", "Test_Fields_A", "Test_Fields_B", "telemetry", nullptr, 0, "", ""));
    ASSERT_TRUE(a.publish("Raw_Telemetry", "Test_Fields_A", "Test_Fields_B", "avg_command", big.data(),
                          big.size(), "x", "y"));
    ASSERT_TRUE(a.publish("Raw_Telemetry", "Test_Fields_A", "Test_Fields_B", "telemetry", zeros, 3, "", ""));
    ASSERT_TRUE(in.wait_for(3));
    auto items = in.items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_TRUE(items[0].payload.empty());
    EXPECT_EQ(items[1].src, "Test_Fields_A");
    EXPECT_EQ(items[1].dest, "Test_Fields_B");
    EXPECT_EQ(items[1].type, "avg_command");
    EXPECT_EQ(items[1].extra1, "x");
    EXPECT_EQ(items[1].extra2, "y");
    EXPECT_EQ(items[1].payload, big);
    EXPECT_EQ(items[2].payload, std::vector<unsigned char>(3, 0));
}

TEST(Vantrel, PublishIsDoneWithTheCallersBufferOnReturn)
{
    Inbox in;
    Vantrel a(0, 3000, "Test_Copy_A", quiet);
    Vantrel b(0, 3000, "Test_Copy_B", quiet);
    a.create_pub("Telemetry");
    b.create_sub("Telemetry", in.callback(), filter_for("Test_Copy_B"), {});
    ASSERT_TRUE(wait_matched(a, "Telemetry", "Test_Copy_B"));
    for (int i = 0; i < 20; ++i) {
        unsigned char buf[8];
        std::memset(buf, i, sizeof buf);
        ASSERT_TRUE(a.publish("Telemetry", "Test_Copy_A", "Test_Copy_B", "telemetry", buf, sizeof buf, "", ""));
        std::memset(buf, 0xEE, sizeof buf);  // the stack buffer is reused at once
    }
    ASSERT_TRUE(in.wait_for(20));
    auto items = in.items();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(items[i].payload, std::vector<unsigned char>(8, i)) << i;
}

TEST(Vantrel, EverySubscriberGetsItsOwnCopy)
{
    // Two endpoints under the same name both receive the message; the first
    // one scribbles over its vector, the second must still see the original.
    std::atomic<int> calls{0};
    std::mutex m;
    std::vector<std::vector<unsigned char>> seen;
    auto scribbler = [&](std::string, std::string, std::string, std::string, std::string,
                         std::vector<unsigned char>& data) {
        {
            std::lock_guard<std::mutex> lock(m);
            seen.push_back(data);
        }
        std::fill(data.begin(), data.end(), 0x00);
        data.push_back(0x99);
        ++calls;
    };
    Vantrel a(0, 3000, "Test_Own_A", quiet);
    Vantrel b1(0, 3000, "Test_Own_B", quiet);
    Vantrel b2(0, 3000, "Test_Own_B", quiet);
    a.create_pub("Command");
    b1.create_sub("Command", scribbler, filter_for("Test_Own_B"), {});
    b2.create_sub("Command", scribbler, filter_for("Test_Own_B"), {});
    auto until = std::chrono::steady_clock::now() + 10s;
    while (vantrel_matched_readers(a, "Command", "Test_Own_B") < 2 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(vantrel_matched_readers(a, "Command", "Test_Own_B"), 2);
    unsigned char buf[] = {0x10, 0x20, 0x30};
    ASSERT_TRUE(a.publish("Command", "Test_Own_A", "Test_Own_B", "command", buf, 3, "", ""));
    until = std::chrono::steady_clock::now() + 10s;
    while (calls < 2 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(calls.load(), 2);
    std::lock_guard<std::mutex> lock(m);
    for (const auto& v : seen) EXPECT_EQ(v, std::vector<unsigned char>({0x10, 0x20, 0x30}));
}

// A program that publishes right after binding must reach a peer that was
// already running, although discovery has not matched the two yet.
TEST(Vantrel, FirstMessageAfterBindingIsNotLost)
{
    Inbox in;
    Vantrel service(0, 3000, "Test_Late_Service", quiet);
    service.create_sub("Command", in.callback(), filter_for("Test_Late_Service"), {});
    for (int round = 0; round < 3; ++round) {
        Vantrel console(0, 3000, "Test_Late_Console", quiet);
        console.create_pub("Command");
        unsigned char buf[] = {static_cast<unsigned char>(round)};
        ASSERT_TRUE(console.publish("Command", "Test_Late_Console", "Test_Late_Service", "command", buf, 1, "", ""));
        ASSERT_TRUE(in.wait_for(round + 1)) << "round " << round;
    }
    auto items = in.items();
    for (int round = 0; round < 3; ++round) EXPECT_EQ(items[round].payload[0], round);
}

TEST(Vantrel, SettleWindowEndsWhenNobodyServesTheDestination)
{
    Vantrel console(0, 400, "Test_Nobody_Console", quiet);
    console.create_pub("Telemetry");
    unsigned char buf[] = {0xFF};
    EXPECT_TRUE(console.publish("Telemetry", "Test_Nobody_Console", "Nobody_Service", "command", buf, 1, "", ""));
    EXPECT_TRUE(console.publish("Telemetry", "Test_Nobody_Console", "Nobody_Service", "command", buf, 1, "", ""));
}

// During the settle window, messages for a destination that does not exist
// yet are held, not lost and not blocking: they reach the service that binds
// after they were published, in order, with those published meanwhile.
TEST(Vantrel, MessagesBeforeTheDestinationExistsArriveInOrder)
{
    Vantrel console(0, 3000, "Test_Held_Console", quiet);
    console.create_pub("Command");
    auto send = [&](const std::string& dest, int i) {
        unsigned char buf[] = {static_cast<unsigned char>(i)};
        ASSERT_TRUE(console.publish("Command", "Test_Held_Console", dest, "command", buf, 1, "", ""));
    };
    for (int i = 0; i < 5; ++i) send("Test_Held_Service", i);
    send("Test_Held_Nobody", 99);  // never served: holds nothing else up
    Inbox in;
    Vantrel service(0, 3000, "Test_Held_Service", quiet);
    service.create_sub("Command", in.callback(), filter_for("Test_Held_Service"), {});
    for (int i = 5; i < 10; ++i) send("Test_Held_Service", i);
    ASSERT_TRUE(in.wait_for(10)) << "received " << in.size();
    auto items = in.items();
    for (int i = 0; i < 10; ++i) EXPECT_EQ(items[i].payload[0], i) << i;
}

TEST(Vantrel, BurstArrivesWholeAndInOrder)
{
    Inbox in;
    Vantrel a(0, 3000, "Test_Burst_A", quiet);
    Vantrel b(0, 3000, "Test_Burst_B", quiet);
    a.create_pub("Telemetry");
    b.create_sub("Telemetry", in.callback(), filter_for("Test_Burst_B"), {});
    ASSERT_TRUE(wait_matched(a, "Telemetry", "Test_Burst_B"));
    const int n = 2000;
    for (int i = 0; i < n; ++i) {
        unsigned char buf[41] = {};
        buf[0] = static_cast<unsigned char>(i & 0xFF);
        buf[1] = static_cast<unsigned char>(i >> 8);
        ASSERT_TRUE(a.publish("Telemetry", "Test_Burst_A", "Test_Burst_B", "telemetry", buf, sizeof buf, "", ""));
    }
    ASSERT_TRUE(in.wait_for(n, 30s)) << "received " << in.size();
    auto items = in.items();
    for (int i = 0; i < n; ++i) ASSERT_EQ(items[i].payload[0] | (items[i].payload[1] << 8), i);
}

TEST(Vantrel, DeletingWhileMessagesArriveIsSafe)
{
    Vantrel sender(0, 3000, "Test_Delete_Sender", quiet);
    sender.create_pub("Telemetry");
    for (int round = 0; round < 3; ++round) {
        std::atomic<int> got{0};
        auto slow = [&](std::string, std::string, std::string, std::string, std::string,
                        std::vector<unsigned char>& data) {
            EXPECT_EQ(data.size(), 64u);
            ++got;
        };
        auto* receiver = new Vantrel(0, 3000, "Test_Delete_Receiver", quiet);
        receiver->create_sub("Telemetry", slow, filter_for("Test_Delete_Receiver"), {});
        ASSERT_TRUE(wait_matched(sender, "Telemetry", "Test_Delete_Receiver"));
        std::atomic<bool> stop{false};
        std::thread pump([&] {
            // Keeps a few dozen messages in flight at all times, without
            // ever filling the writer's history.
            unsigned char buf[64] = {};
            int sent = 0;
            while (!stop) {
                if (sent - got.load() < 32) {
                    sender.publish("Telemetry", "Test_Delete_Sender", "Test_Delete_Receiver", "telemetry",
                                   buf, sizeof buf, "", "");
                    ++sent;
                } else {
                    std::this_thread::sleep_for(100us);
                }
            }
        });
        auto until = std::chrono::steady_clock::now() + 5s;
        while (got < 20 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
        EXPECT_GE(got.load(), 20);
        delete receiver;  // callbacks are running right now
        int after = got.load();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(got.load(), after) << "no callback may run after the endpoint is gone";
        stop = true;
        pump.join();
    }
}

// A service subscribes while requests already flow to it, and answers from
// its callback. A reader can deliver before its creation returns, so the
// callback's publish must not wait on anything subscription creation holds.
TEST(Vantrel, CallbacksPublishWhileTheirSubscriptionIsBeingCreated)
{
    // What the callbacks touch outlives the endpoints that run them.
    std::atomic<int> answers{0};
    Vantrel asker(0, 3000, "Test_Busy_Asker", quiet);
    asker.create_pub("Telemetry");
    asker.create_sub("Telemetry",
                     [&](std::string, std::string, std::string, std::string, std::string,
                         std::vector<unsigned char>&) { ++answers; },
                     filter_for("Test_Busy_Asker"), {});

    Vantrel service(0, 3000, "Test_Busy_Service", quiet);
    service.create_pub("Telemetry");
    ASSERT_TRUE(wait_matched(service, "Telemetry", "Test_Busy_Asker"));

    std::atomic<bool> stop{false};
    std::thread pump([&] {
        unsigned char ask[2] = {0x01, 0x02};
        while (!stop) {
            asker.publish("Telemetry", "Test_Busy_Asker", "Test_Busy_Service", "command", ask, sizeof ask, "", "");
            std::this_thread::sleep_for(200us);
        }
    });
    auto answer = [&](std::string src, std::string, std::string, std::string, std::string,
                      std::vector<unsigned char>& data) {
        service.publish("Telemetry", "Test_Busy_Service", src, "telemetry", data.data(), data.size(), "", "");
    };
    const int subscriptions = 25;
    for (int i = 0; i < subscriptions; ++i) {
        std::atomic<bool> created{false};
        std::thread create([&] {
            service.create_sub("Telemetry", answer, filter_for("Test_Busy_Service"), {});
            created = true;
        });
        auto until = std::chrono::steady_clock::now() + 30s;
        while (!created && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
        if (!created) {
            // Deadlocked threads cannot be joined or unwound; say why and end.
            std::fprintf(stderr, "create_sub %d never returned while callbacks were publishing\n", i);
            std::fflush(stderr);
            std::_Exit(1);
        }
        create.join();
    }
    auto until = std::chrono::steady_clock::now() + 10s;
    while (answers.load() == 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    stop = true;
    pump.join();
    EXPECT_GT(answers.load(), 0);
}

// A service's request handler talks to a device that does not answer for
// seconds. Meanwhile its command subscription keeps working, the requester
// keeps hearing it, and the late reply still arrives; an observer of the
// whole topic (here the asker itself) sees every message whoever it is for.
TEST(Vantrel, AHandlerThatBlocksDelaysOnlyItsOwnSubscription)
{
    // What the callbacks touch outlives the endpoints that run them, and
    // the silent device is released however the test ends.
    Inbox replies, seen;
    std::atomic<bool> release{false};
    std::atomic<int> started{0};
    Vantrel asker(0, 3000, "Test_Slow_Asker", quiet);
    Vantrel service(0, 3000, "Test_Slow_Service", quiet);
    struct Release {
        std::atomic<bool>& flag;
        ~Release() { flag = true; }
    } release_at_end{release};
    for (Vantrel* e : {&asker, &service}) {
        e->create_pub("Telemetry");
        e->create_pub("Command");
    }
    asker.create_sub("Telemetry", replies.callback(), filter_for("Test_Slow_Asker"), {});
    ASSERT_TRUE(vantrel_observe_all(asker, "Telemetry", seen.callback()));
    auto slow_request = [&](std::string src, std::string, std::string, std::string, std::string,
                            std::vector<unsigned char>& data) {
        ++started;
        while (!release) std::this_thread::sleep_for(1ms);  // the silent device
        service.publish("Telemetry", "Test_Slow_Service", src, "telemetry", data.data(), data.size(), "", "");
    };
    auto command = [&](std::string src, std::string, std::string, std::string, std::string,
                       std::vector<unsigned char>& data) {
        unsigned char ack = static_cast<unsigned char>(0x80 | data.at(0));
        service.publish("Telemetry", "Test_Slow_Service", src, "telemetry", &ack, 1, "", "");
    };
    ASSERT_TRUE(vantrel_create_request_sub(service, "Telemetry", slow_request, filter_for("Test_Slow_Service")));
    service.create_sub("Command", command, filter_for("Test_Slow_Service"), {});
    ASSERT_TRUE(wait_matched(asker, "Telemetry", "Test_Slow_Service"));
    ASSERT_TRUE(wait_matched(asker, "Command", "Test_Slow_Service"));
    ASSERT_TRUE(wait_matched(service, "Telemetry", "Test_Slow_Asker"));
    std::this_thread::sleep_for(1s);  // the observing reader is known to both writers

    unsigned char request = 0x01;
    auto ask = [&] { asker.publish("Telemetry", "Test_Slow_Asker", "Test_Slow_Service", "command", &request, 1, "", ""); };
    ask();
    auto until = std::chrono::steady_clock::now() + 10s;
    while (started == 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(started.load(), 1);
    ask();  // waits behind the running one
    ask();  // a repeat of a waiting request: merged
    for (unsigned char c = 1; c <= 3; ++c) {
        asker.publish("Command", "Test_Slow_Asker", "Test_Slow_Service", "command", &c, 1, "", "");
    }
    ASSERT_TRUE(replies.wait_for(3)) << "commands were not answered while a request handler blocked";
    std::this_thread::sleep_for(2s);  // past a few heartbeats and announcements
    release = true;
    ASSERT_TRUE(replies.wait_for(5));
    std::this_thread::sleep_for(300ms);
    std::vector<int> got;
    for (const auto& r : replies.items()) got.push_back(r.payload.at(0));
    EXPECT_EQ(got, (std::vector<int>{0x81, 0x82, 0x83, 0x01, 0x01}));
    ASSERT_TRUE(seen.wait_for(8));  // three requests and five replies
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(seen.size(), 8u);
}

TEST(Vantrel, PublishOnAnUnknownTopicFailsAndSaysSo)
{
    std::vector<std::string> log;
    std::mutex m;
    Vantrel a(0, 0, "Test_Unknown_Topic", [&](const std::string& s) {
        std::lock_guard<std::mutex> lock(m);
        log.push_back(s);
    });
    unsigned char b[] = {1};
    EXPECT_FALSE(a.publish("Nowhere", "Test_Unknown_Topic", "X", "command", b, 1, "", ""));
    std::lock_guard<std::mutex> lock(m);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().rfind("[ERROR] ", 0), 0u) << log.back();
}

TEST(Vantrel, FastDdsDiagnosticsGoThroughTheLogFunction)
{
    std::vector<std::string> log;
    std::mutex m;
    Vantrel a(0, 0, "Test_Diagnostics", [&](const std::string& s) {
        std::lock_guard<std::mutex> lock(m);
        log.push_back(s);
    });
    testing::internal::CaptureStdout();
    EXPECT_FALSE(a.create_sub("Telemetry", [](std::string, std::string, std::string, std::string, std::string,
                                              std::vector<unsigned char>&) {},
                              "dest = = 'broken", {}));
    eprosima::fastdds::dds::Log::Flush();
    std::string raw = testing::internal::GetCapturedStdout();
    EXPECT_EQ(raw, "") << "Fast DDS must not print to standard output by itself";
    std::lock_guard<std::mutex> lock(m);
    bool from_dds = false;
    for (const auto& line : log) {
        if (line.rfind("[ERROR] DDS ", 0) == 0 || line.rfind("[WARN] DDS ", 0) == 0) from_dds = true;
    }
    EXPECT_TRUE(from_dds);
}

// Fast DDS warns once per shared-memory transport at its first send about a
// buffer it takes back from its own start-up; that is not pressure, and the
// programs' logs must not start with a warning every time.
TEST(Vantrel, StartingAndTalkingLeavesNoSharedMemoryWarning)
{
    std::vector<std::string> log;
    std::mutex m;
    auto keep = [&](const std::string& s) {
        std::lock_guard<std::mutex> lock(m);
        log.push_back(s);
    };
    Inbox in;
    Vantrel console(0, 3000, "Test_Quiet_Console", keep);
    Vantrel service(0, 3000, "Test_Quiet_Service", keep);
    console.create_pub("Telemetry");
    service.create_sub("Telemetry", in.callback(), filter_for("Test_Quiet_Service"), {});
    unsigned char b[] = {0xFF};
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(console.publish("Telemetry", "Test_Quiet_Console", "Test_Quiet_Service", "command", b, 1, "", ""));
    }
    ASSERT_TRUE(in.wait_for(20));
    eprosima::fastdds::dds::Log::Flush();
    std::lock_guard<std::mutex> lock(m);
    for (const auto& line : log) EXPECT_EQ(line.find("Buffer is being invalidated"), std::string::npos) << line;
}

// The endpoint's participant, as another participant discovers it, offers
// only shared-memory and loopback locators, and no multicast at all.
TEST(VantrelLocality, DefaultEndpointAnnouncesOnlyLocalLocators)
{
    using namespace eprosima::fastdds::dds;
    using eprosima::fastrtps::rtps::Locator_t;
    using eprosima::fastrtps::rtps::IPLocator;
    using eprosima::fastrtps::rtps::ParticipantDiscoveryInfo;

    struct Probe : DomainParticipantListener {
        std::mutex m;
        std::condition_variable cv;
        bool found = false;
        std::vector<Locator_t> unicast, multicast;
        void on_participant_discovery(DomainParticipant*, ParticipantDiscoveryInfo&& info) override
        {
            if (info.status != ParticipantDiscoveryInfo::DISCOVERED_PARTICIPANT) return;
            if (info.info.m_participantName.to_string() != "Test_Locality") return;
            std::lock_guard<std::mutex> lock(m);
            for (const auto& l : info.info.metatraffic_locators.unicast) unicast.push_back(l);
            for (const auto& l : info.info.default_locators.unicast) unicast.push_back(l);
            for (const auto& l : info.info.metatraffic_locators.multicast) multicast.push_back(l);
            for (const auto& l : info.info.default_locators.multicast) multicast.push_back(l);
            found = true;
            cv.notify_all();
        }
    } probe;

    auto* factory = DomainParticipantFactory::get_instance();
    DomainParticipant* observer =
        factory->create_participant(0, vantrel_local_participant_qos("Test_Locality_Probe"), &probe);
    ASSERT_NE(observer, nullptr);
    {
        Vantrel endpoint(0, 3000, "Test_Locality", quiet);
        std::unique_lock<std::mutex> lock(probe.m);
        ASSERT_TRUE(probe.cv.wait_for(lock, 10s, [&] { return probe.found; }));
        EXPECT_TRUE(probe.multicast.empty());
        ASSERT_FALSE(probe.unicast.empty());
        bool has_shm = false;
        for (const auto& l : probe.unicast) {
            if (l.kind == LOCATOR_KIND_SHM) {
                has_shm = true;
                continue;
            }
            EXPECT_EQ(l.kind, LOCATOR_KIND_UDPv4) << "unexpected locator kind " << l.kind;
            EXPECT_EQ(IPLocator::toIPv4string(l), "127.0.0.1");
        }
        EXPECT_TRUE(has_shm);
    }
    factory->delete_participant(observer);
}

// Segments left by killed programs are removed; live ones are not touched.
TEST(VantrelSharedMemory, StaleSegmentsAreRemovedLiveOnesKept)
{
    std::string dir = testing::TempDir() + "vantrel_shm_test";
    mkdir(dir.c_str(), 0700);
    auto make = [&](const std::string& name) {
        int fd = ::open((dir + "/" + name).c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        return fd;
    };
    auto exists = [&](const std::string& name) { return access((dir + "/" + name).c_str(), F_OK) == 0; };

    ::close(make("fastrtps_00000000deadbeef"));
    ::close(make("fastrtps_00000000deadbeef_el"));
    ::close(make("fastrtps_0123456789abcdef"));
    int live_lock = make("fastrtps_0123456789abcdef_el");
    ASSERT_EQ(flock(live_lock, LOCK_EX | LOCK_NB), 0);
    ::close(make("fastrtps_port7411_el"));     // ports are Fast DDS's own business
    ::close(make("unrelated_file_el"));

    vantrel_remove_stale_shm_segments(dir);

    EXPECT_FALSE(exists("fastrtps_00000000deadbeef"));
    EXPECT_FALSE(exists("fastrtps_00000000deadbeef_el"));
    EXPECT_TRUE(exists("fastrtps_0123456789abcdef"));
    EXPECT_TRUE(exists("fastrtps_0123456789abcdef_el"));
    EXPECT_TRUE(exists("fastrtps_port7411_el"));
    EXPECT_TRUE(exists("unrelated_file_el"));
    ::close(live_lock);
    for (const char* n : {"fastrtps_0123456789abcdef", "fastrtps_0123456789abcdef_el", "fastrtps_port7411_el",
                          "unrelated_file_el"})
        unlink((dir + "/" + n).c_str());
    rmdir(dir.c_str());
}
