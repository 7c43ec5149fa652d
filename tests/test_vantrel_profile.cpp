// Running across hosts is opt-in through a Fast DDS XML profile named in the
// environment. Here the profile is the UDP-only one on loopback the
// installed services run with: the endpoints must still talk, and must
// announce no shared-memory locator, which shows the profile (and not the
// built-in local set-up) was used.
#include "bus_endpoint.h"
#include "bus_endpoint_detail.h"

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/domain/DomainParticipantListener.hpp>
#include <fastrtps/xmlparser/XMLProfileManager.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

TEST(VantrelProfile, ShippedProfilesParse)
{
    using namespace eprosima::fastrtps::xmlparser;
    for (const char* file : {EXAMPLE_HOSTS_PROFILE, LOCAL_UDP_PROFILE})
        EXPECT_EQ(XMLProfileManager::loadXMLFile(file), XMLP_ret::XML_OK) << file;
}

TEST(VantrelProfile, ProfileFromTheEnvironmentReplacesTheLocalSetUp)
{
    using namespace eprosima::fastdds::dds;
    using eprosima::fastrtps::rtps::ParticipantDiscoveryInfo;

    setenv("FASTDDS_DEFAULT_PROFILES_FILE", LOCAL_UDP_PROFILE, 1);

    std::mutex m;
    std::condition_variable cv;
    std::vector<unsigned char> got;
    Vantrel a(0, 3000, "Test_Profile_A", [](const std::string&) {});
    Vantrel b(0, 3000, "Test_Profile_B", [](const std::string&) {});
    a.create_pub("Command");
    b.create_sub(
        "Command",
        [&](std::string, std::string, std::string, std::string, std::string, std::vector<unsigned char>& d) {
            std::lock_guard<std::mutex> lock(m);
            got = d;
            cv.notify_all();
        },
        "dest = 'Test_Profile_B'", {});
    unsigned char payload[] = {0x42};
    ASSERT_TRUE(a.publish("Command", "Test_Profile_A", "Test_Profile_B", "command", payload, 1, "", ""));
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return !got.empty(); }));
        EXPECT_EQ(got, std::vector<unsigned char>({0x42}));
    }

    // What the profile-built participant announces.
    struct Probe : DomainParticipantListener {
        std::mutex m;
        std::condition_variable cv;
        bool found = false;
        bool any_shm = false;
        void on_participant_discovery(DomainParticipant*, ParticipantDiscoveryInfo&& info) override
        {
            if (info.info.m_participantName.to_string() != "Test_Profile_A") return;
            std::lock_guard<std::mutex> lock(m);
            for (const auto& l : info.info.default_locators.unicast) any_shm |= l.kind == LOCATOR_KIND_SHM;
            found = true;
            cv.notify_all();
        }
    } probe;
    auto* factory = DomainParticipantFactory::get_instance();
    DomainParticipant* observer =
        factory->create_participant(0, vantrel_local_participant_qos("Test_Profile_Probe"), &probe);
    ASSERT_NE(observer, nullptr);
    {
        std::unique_lock<std::mutex> lock(probe.m);
        EXPECT_TRUE(probe.cv.wait_for(lock, 10s, [&] { return probe.found; }));
        EXPECT_FALSE(probe.any_shm);
    }
    factory->delete_participant(observer);
    unsetenv("FASTDDS_DEFAULT_PROFILES_FILE");
}

// A profile file that cannot be used must not drop the endpoint onto Fast
// DDS's built-in defaults (multicast on every interface): it stays local and
// says why.
TEST(VantrelProfile, UnusableProfileFileKeepsTheBusLocal)
{
    using namespace eprosima::fastdds::dds;
    using eprosima::fastrtps::rtps::ParticipantDiscoveryInfo;
    setenv("FASTDDS_DEFAULT_PROFILES_FILE", "/nonexistent/profile.xml", 1);
    std::vector<std::string> log;
    std::mutex log_mutex;
    struct Probe : DomainParticipantListener {
        std::mutex m;
        std::condition_variable cv;
        bool found = false;
        std::size_t multicast = 0;
        bool any_shm = false;
        void on_participant_discovery(DomainParticipant*, ParticipantDiscoveryInfo&& info) override
        {
            if (info.info.m_participantName.to_string() != "Test_Profile_Missing") return;
            std::lock_guard<std::mutex> lock(m);
            multicast = info.info.metatraffic_locators.multicast.size() + info.info.default_locators.multicast.size();
            for (const auto& l : info.info.default_locators.unicast) any_shm |= l.kind == LOCATOR_KIND_SHM;
            found = true;
            cv.notify_all();
        }
    } probe;
    auto* factory = DomainParticipantFactory::get_instance();
    DomainParticipant* observer =
        factory->create_participant(0, vantrel_local_participant_qos("Test_Profile_Probe2"), &probe);
    ASSERT_NE(observer, nullptr);
    {
        Vantrel endpoint(0, 3000, "Test_Profile_Missing", [&](const std::string& s) {
            std::lock_guard<std::mutex> lock(log_mutex);
            log.push_back(s);
        });
        std::unique_lock<std::mutex> lock(probe.m);
        ASSERT_TRUE(probe.cv.wait_for(lock, 10s, [&] { return probe.found; }));
        EXPECT_EQ(probe.multicast, 0u);
        EXPECT_TRUE(probe.any_shm) << "the local set-up (shared memory first) is in use";
    }
    factory->delete_participant(observer);
    std::lock_guard<std::mutex> lock(log_mutex);
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.front().find("/nonexistent/profile.xml"), std::string::npos) << log.front();
    unsetenv("FASTDDS_DEFAULT_PROFILES_FILE");
}
