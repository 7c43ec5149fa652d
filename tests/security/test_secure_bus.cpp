// The bus secured by DDS Security from a profile. The test PKI is made by
// security/make_test_pki.sh, once for the bench and once more into another
// directory: that second run is an unrelated CA with the same names, whose
// identities the bench must not trust.
//
// Programs get their profile through FASTDDS_DEFAULT_PROFILES_FILE, as an
// operator would start them; "intruders" are bus_probe processes with no
// profile at all (the plain local bus) or with the other CA's credentials.
//
// The intruders ask the gyro service for telemetry in the console's name. So
// that they never reach a bench or a test running beside this one, the test
// process moves into a network namespace of its own when it may (as root);
// its programs inherit it and meet on that namespace's loopback only, which
// is where discovery happens. Elsewhere the test runs on the host's loopback,
// like every other bus test, under the domain-0 lock.
#include "bus_endpoint_detail.h"
#include "support/child_process.h"
#include "support/console_blocks.h"
#include "support/waiting.h"

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/domain/DomainParticipantListener.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const std::string kEnv = "/usr/bin/env";

// LeakSanitizer settings for the programs the tests start (see
// leak_settings_for_children); empty outside sanitizer runs.
std::string g_child_lsan_options;

// Arguments for /usr/bin/env that start `program` with the given profile, or
// with none at all (the endpoint's local, unsecured bus) when it is empty.
std::vector<std::string> with_profile(const std::string& profile, const std::string& program,
                                      const std::vector<std::string>& args = {})
{
    std::vector<std::string> a = {"-u", "FASTRTPS_DEFAULT_PROFILES_FILE"};
    if (profile.empty()) {
        a.insert(a.end(), {"-u", "FASTDDS_DEFAULT_PROFILES_FILE"});
    } else {
        a.push_back("FASTDDS_DEFAULT_PROFILES_FILE=" + profile);
    }
    if (!g_child_lsan_options.empty()) a.push_back("LSAN_OPTIONS=" + g_child_lsan_options);
    a.push_back(program);
    a.insert(a.end(), args.begin(), args.end());
    return a;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string replace_all(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size()))
        text.replace(pos, from.size(), to);
    return text;
}

int count(const std::string& hay, const std::string& needle) { return ChildProcess::occurrences(hay, needle); }

// Moves this process into a new network namespace and brings its loopback
// up. Empty on success, else why not. Must run before the process starts a
// thread: only the calling thread moves, and what it creates afterwards.
std::string isolate_network()
{
    if (unshare(CLONE_NEWNET) != 0) return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string("socket: ") + std::strerror(errno);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    std::string why;
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) != 0) {
        why = std::string("SIOCGIFFLAGS lo: ") + std::strerror(errno);
    } else {
        ifr.ifr_flags |= IFF_UP;
        if (ioctl(fd, SIOCSIFFLAGS, &ifr) != 0) why = std::string("SIOCSIFFLAGS lo: ") + std::strerror(errno);
    }
    // Fast DDS lists only running interfaces, once, when a participant starts.
    if (why.empty() && !wait_until([&] { return ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_RUNNING); },
                                   5s))
        why = "loopback never came up";
    close(fd);
    return why;
}

// Fast DDS's PKI-DH plugin does not free the OpenSSL objects of an identity
// it refuses: its own, when the profile's credentials do not validate, or a
// remote one from another CA. A program that met an intruder therefore ends
// with leaks that are Fast DDS's and OpenSSL's, not ours. Under a sanitizer
// run (LSAN_OPTIONS set), the programs get the suppression file LSAN_OPTIONS
// names with those two added; LSAN_OPTIONS itself is left as it is otherwise.
void leak_settings_for_children(const std::string& dir)
{
    const char* env = std::getenv("LSAN_OPTIONS");
    if (!env) return;
    std::string options = env, list;
    static const std::regex named("(^|:)suppressions=([^:]*)");
    std::smatch m;
    if (std::regex_search(options, m, named)) {
        list = read_file(m[2].str());
        options = m.prefix().str() + m.suffix().str();
    }
    const std::string path = dir + "/lsan_children.supp";
    write_file(path, list + "\nleak:eprosima::fastrtps::rtps::security::PKIDH\nleak:libcrypto.so\n");
    if (!options.empty() && options.back() != ':') options += ':';
    g_child_lsan_options = options + "suppressions=" + path;
}

// Runs the PKI script with `args`; returns its exit status and keeps its
// output.
int make_pki(const std::vector<std::string>& args, std::string& output)
{
    std::vector<std::string> all = {MAKE_TEST_PKI};
    all.insert(all.end(), args.begin(), args.end());
    ChildProcess script("/bin/bash", all);
    int status = script.wait_exit(60s);
    output = script.out() + script.err();
    return status;
}

class SecureBus : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string why = isolate_network();
        std::printf("[ network  ] %s\n", why.empty() ? "a network namespace of the test's own"
                                                    : ("the host's loopback (" + why + ")").c_str());
        base_ = testing::TempDir() + "secure_bus_" + std::to_string(getpid());
        mkdir(base_.c_str(), 0755);
        leak_settings_for_children(base_);
        pki_ = base_ + "/pki";
        foreign_ = base_ + "/foreign";
        pki_status_ = make_pki({pki_, "bench_probe"}, pki_output_);
        if (pki_status_ == 0) pki_status_ = make_pki({foreign_, "intruder"}, pki_output_);
    }

    static void TearDownTestSuite()
    {
        std::error_code ignored;
        std::filesystem::remove_all(base_, ignored);
    }

    void SetUp() override { ASSERT_EQ(pki_status_, 0) << pki_output_; }

    static std::string profile(const std::string& identity) { return pki_ + "/profiles/" + identity + ".xml"; }
    static std::string foreign_profile(const std::string& identity)
    {
        return foreign_ + "/profiles/" + identity + ".xml";
    }

    // The simulator with the gyro line, ready.
    static std::unique_ptr<ChildProcess> start_gyro_line(const std::string& dir)
    {
        mkdir(dir.c_str(), 0755);
        auto sim = std::make_unique<ChildProcess>(DEVSIM_PATH,
                                                  std::vector<std::string>{"--run-dir", dir, "--line", "gyro=gyro"});
        EXPECT_TRUE(wait_for_file(dir + "/devsim.ready", 10s)) << sim->out() << sim->err();
        write_file(dir + "/Zentaro.json", "{\"gyro\": {\"device\": \"" + dir + "/gyro\"}}");
        return sim;
    }

    static std::string base_, pki_, foreign_, pki_output_;
    static int pki_status_;
};

std::string SecureBus::base_, SecureBus::pki_, SecureBus::foreign_, SecureBus::pki_output_;
int SecureBus::pki_status_ = -1;

}  // namespace

// The script is idempotent: a second run keeps the CA, the identities and
// the signed documents, so profiles handed out stay valid.
TEST_F(SecureBus, SecondScriptRunKeepsEveryKeyAndSignature)
{
    const std::vector<std::string> files = {"identity_ca.pem",      "identity_ca.key",     "permissions_ca.pem",
                                            "governance.p7s",       "permissions.p7s",     "identities/Zentaro.pem",
                                            "identities/Zentaro.key", "profiles/Zentaro.xml"};
    std::map<std::string, std::string> before;
    for (const auto& f : files) before[f] = read_file(pki_ + "/" + f);
    std::string output;
    ASSERT_EQ(make_pki({pki_, "bench_probe"}, output), 0) << output;
    for (const auto& f : files) {
        EXPECT_FALSE(before[f].empty()) << f;
        EXPECT_EQ(read_file(pki_ + "/" + f), before[f]) << f << " changed on the second run";
    }
    EXPECT_EQ(output.find("[pki] made"), std::string::npos) << output;
    EXPECT_EQ(output.find("[pki] signed"), std::string::npos) << output;
    // The two PKIs share names, not keys.
    EXPECT_NE(read_file(pki_ + "/identity_ca.pem"), read_file(foreign_ + "/identity_ca.pem"));
}

// What a participant started from the profile announces shows that Fast DDS
// runs it with the security plugins and the governance's protections; a
// participant without the profile announces none of it.
TEST_F(SecureBus, ProfileIsLoadedAndTheParticipantAnnouncesItsProtection)
{
    using namespace eprosima::fastdds::dds;
    using eprosima::fastrtps::rtps::ParticipantDiscoveryInfo;
    namespace sec = eprosima::fastrtps::rtps::security;

    struct Seen {
        std::string identity_class, permissions_class;
        sec::ParticipantSecurityAttributesMask attributes = 0;
        sec::PluginParticipantSecurityAttributesMask plugin_attributes = 0;
    };
    struct Listener : DomainParticipantListener {
        std::mutex m;
        std::map<std::string, Seen> seen;
        void on_participant_discovery(DomainParticipant*, ParticipantDiscoveryInfo&& info) override
        {
            if (info.status != ParticipantDiscoveryInfo::DISCOVERED_PARTICIPANT) return;
            Seen s;
            s.identity_class = info.info.identity_token_.class_id();
            s.permissions_class = info.info.permissions_token_.class_id();
            s.attributes = info.info.security_attributes_;
            s.plugin_attributes = info.info.plugin_security_attributes_;
            std::lock_guard<std::mutex> lock(m);
            seen[info.info.m_participantName.to_string()] = s;
        }
        bool has(const std::string& name)
        {
            std::lock_guard<std::mutex> lock(m);
            return seen.count(name) > 0;
        }
    } listener;
    auto* factory = DomainParticipantFactory::get_instance();
    DomainParticipant* observer =
        factory->create_participant(0, vantrel_local_participant_qos("Secure_Test_Observer"), &listener);
    ASSERT_NE(observer, nullptr);

    ChildProcess secured(kEnv, with_profile(profile("bench_probe"), BUS_PROBE_PATH,
                                            {"--name", "Secured_Probe", "--target", "Nobody_Service"}));
    ChildProcess plain(kEnv, with_profile("", BUS_PROBE_PATH, {"--name", "Plain_Probe", "--target", "Nobody_Service"}));
    EXPECT_TRUE(secured.wait_for_output("[PROBE] ready\n", 30s)) << secured.out() << secured.err();
    EXPECT_TRUE(plain.wait_for_output("[PROBE] ready\n", 30s)) << plain.out() << plain.err();
    bool both = wait_until([&] { return listener.has("Secured_Probe") && listener.has("Plain_Probe"); }, 30s);
    factory->delete_participant(observer);
    ASSERT_TRUE(both) << secured.out() << plain.out();

    EXPECT_EQ(secured.out().find("No default participant profile"), std::string::npos) << secured.out();
    const Seen s = listener.seen["Secured_Probe"];
    EXPECT_EQ(s.identity_class, "DDS:Auth:PKI-DH:1.0");
    EXPECT_EQ(s.permissions_class, "DDS:Access:Permissions:1.0");
    EXPECT_TRUE(s.attributes & PARTICIPANT_SECURITY_ATTRIBUTES_FLAG_IS_VALID);
    EXPECT_TRUE(s.attributes & PARTICIPANT_SECURITY_ATTRIBUTES_FLAG_IS_RTPS_PROTECTED);
    EXPECT_TRUE(s.attributes & PARTICIPANT_SECURITY_ATTRIBUTES_FLAG_IS_DISCOVERY_PROTECTED);
    EXPECT_TRUE(s.attributes & PARTICIPANT_SECURITY_ATTRIBUTES_FLAG_IS_LIVELINESS_PROTECTED);
    EXPECT_TRUE(s.plugin_attributes & PLUGIN_PARTICIPANT_SECURITY_ATTRIBUTES_FLAG_IS_RTPS_ENCRYPTED);
    EXPECT_TRUE(s.plugin_attributes & PLUGIN_PARTICIPANT_SECURITY_ATTRIBUTES_FLAG_BUILTIN_IS_DISCOVERY_ENCRYPTED);
    EXPECT_TRUE(s.plugin_attributes & PLUGIN_PARTICIPANT_SECURITY_ATTRIBUTES_FLAG_IS_LIVELINESS_ENCRYPTED);

    const Seen p = listener.seen["Plain_Probe"];
    EXPECT_EQ(p.identity_class, "");
    EXPECT_EQ(p.attributes, 0u);

    // The unsecured observer found the secured probe but got nothing of its
    // topics: the secured probe hears only itself, the plain one nothing of
    // the secured one.
    secured.signal(SIGTERM);
    plain.signal(SIGTERM);
    EXPECT_EQ(secured.wait_exit(15s), 0) << secured.out();
    EXPECT_EQ(plain.wait_exit(15s), 0) << plain.out();
    EXPECT_EQ(count(secured.out(), "[PROBE] heard"), 0) << secured.out();
    EXPECT_EQ(count(plain.out(), "[PROBE] heard"), 0) << plain.out();
}

// Credentials the bench's CAs do not vouch for end the endpoint before it
// joins: no participant is made at all. The same probe with the bench's own
// credentials is made, and may use the bus topics but no other.
TEST_F(SecureBus, CredentialsTheBenchDoesNotVouchForMakeNoParticipant)
{
    ChildProcess good(kEnv, with_profile(profile("bench_probe"), BUS_PROBE_PATH, {"--name", "Good_Probe", "--check"}));
    EXPECT_EQ(good.wait_exit(30s), 0) << good.out() << good.err();
    EXPECT_NE(good.out().find("[PROBE] ready\n"), std::string::npos) << good.out();
    ChildProcess other_topic(kEnv, with_profile(profile("bench_probe"), BUS_PROBE_PATH,
                                                {"--name", "Good_Probe", "--check", "--topic", "Other_Topic"}));
    EXPECT_EQ(other_topic.wait_exit(30s), 4 << 8) << other_topic.out() << other_topic.err();
    EXPECT_NE(other_topic.out().find("[PROBE] cannot publish on Other_Topic\n"), std::string::npos)
        << other_topic.out();

    // The other CA's identity offered against the bench's identity CA.
    std::string other_ca = base_ + "/other_identity_on_bench_ca.xml";
    write_file(other_ca, replace_all(read_file(foreign_profile("intruder")), "file://" + foreign_ + "/identity_ca.pem",
                                     "file://" + pki_ + "/identity_ca.pem"));
    // An identity the bench's CA did sign, whose subject the permissions do
    // not list.
    std::string stranger_dir = base_ + "/stranger";
    mkdir(stranger_dir.c_str(), 0700);
    ChildProcess sign("/bin/bash",
                      {"-c",
                       "set -e; cd \"$1\"; "
                       "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out stranger.key; "
                       "openssl req -new -key stranger.key -subj '/C=CN/O=GNC Bench/CN=stranger' | "
                       "openssl x509 -req -CA \"$2/identity_ca.pem\" -CAkey \"$2/identity_ca.key\" "
                       "-set_serial 77 -days 30 -out stranger.pem",
                       "sign", stranger_dir, pki_});
    ASSERT_EQ(sign.wait_exit(30s), 0) << sign.out() << sign.err();
    std::string stranger = base_ + "/stranger.xml";
    write_file(stranger, replace_all(replace_all(read_file(profile("bench_probe")), pki_ + "/identities/bench_probe.pem",
                                                 stranger_dir + "/stranger.pem"),
                                     pki_ + "/identities/bench_probe.key", stranger_dir + "/stranger.key"));
    ASSERT_NE(read_file(stranger).find(stranger_dir + "/stranger.key"), std::string::npos);

    // The bench's own permissions, altered after they were signed.
    const std::string tampered_dir = base_ + "/tampered";
    mkdir(tampered_dir.c_str(), 0755);
    const std::string signed_permissions = read_file(pki_ + "/permissions.p7s");
    ASSERT_NE(signed_permissions.find("<topic>Command</topic>"), std::string::npos);
    write_file(tampered_dir + "/permissions.p7s",
               replace_all(signed_permissions, "<topic>Command</topic>", "<topic>*</topic>"));
    std::string tampered = base_ + "/tampered.xml";
    write_file(tampered, replace_all(read_file(profile("bench_probe")), "file://" + pki_ + "/permissions.p7s",
                                     "file://" + tampered_dir + "/permissions.p7s"));

    for (const std::string& p : {other_ca, stranger, tampered}) {
        ChildProcess bad(kEnv, with_profile(p, BUS_PROBE_PATH, {"--name", "Bad_Probe", "--check"}));
        EXPECT_EQ(bad.wait_exit(30s), 3 << 8) << p << "\n" << bad.out() << bad.err();
        EXPECT_NE(bad.out().find("[PROBE] no bus participant\n"), std::string::npos) << p << "\n" << bad.out();
        EXPECT_NE(bad.out().find("Cannot create the bus participant for Bad_Probe"), std::string::npos) << bad.out();
    }
}

// The console and the gyro service with their own identities: the console
// shows the simulator's gyro values. Two intruders, one on the plain bus and
// one with the other CA's credentials for the console's very name, listen to
// everything and ask the gyro service too: they hear nothing.
TEST_F(SecureBus, ConsoleGetsGyroTelemetryAndIntrudersHearNothing)
{
    auto sim = start_gyro_line(base_ + "/console_run");
    const std::string dir = base_ + "/console_run";
    ChildProcess zentaro(kEnv, with_profile(profile("Zentaro"), ZENTARO_PATH, {dir + "/Zentaro.json"}));
    ASSERT_TRUE(zentaro.wait_for_output("[OK] GYRO UART init", 20s)) << zentaro.out() << zentaro.err();
    ChildProcess plain(kEnv, with_profile("", BUS_PROBE_PATH, {"--name", "Intruder_Plain"}));
    ChildProcess foreign(kEnv, with_profile(foreign_profile("Corvane"), BUS_PROBE_PATH, {"--name", "Intruder_Foreign"}));
    ASSERT_TRUE(plain.wait_for_output("[PROBE] ready\n", 30s)) << plain.out();
    ASSERT_TRUE(foreign.wait_for_output("[PROBE] ready\n", 30s)) << foreign.out();
    ChildProcess console(kEnv, with_profile(profile("Corvane"), CORVANE_PATH));

    const int blocks = 5;
    ASSERT_TRUE(wait_until([&] { return int(console_blocks::axes(console.out(), "Gyroscope").size()) >= blocks; }, 60s))
        << console.out() << "\n" << zentaro.out();
    // The intruders were asking all along, past their settle window.
    ASSERT_TRUE(plain.wait_for_output("[PROBE] sent 20\n", 30s)) << plain.out();
    ASSERT_TRUE(foreign.wait_for_output("[PROBE] sent 20\n", 30s)) << foreign.out();

    const std::string sim_log = sim->out();
    for (const auto& b : console_blocks::axes(console.out(), "Gyroscope")) {
        EXPECT_EQ(b.number, 3);
        EXPECT_EQ(b.head + b.check + b.length + b.resets, 0);
        EXPECT_NE(sim_log.find("[SIM] gyro answer " + b.sim_text + "\n"), std::string::npos) << b.sim_text;
    }

    console.signal(SIGINT);
    EXPECT_EQ(console.wait_exit(10s), 0);
    for (ChildProcess* intruder : {&plain, &foreign}) {
        intruder->signal(SIGTERM);
        EXPECT_EQ(intruder->wait_exit(15s), 0) << intruder->out();
        const std::string out = intruder->out();
        EXPECT_EQ(count(out, "[PROBE] heard"), 0) << out;
        EXPECT_NE(out.find("[PROBE] matched 0\n"), std::string::npos) << out;
        EXPECT_NE(out.find(" heard=0\n"), std::string::npos) << out;
    }
    zentaro.signal(SIGTERM);
    EXPECT_EQ(zentaro.wait_exit(15s), 0) << zentaro.out();
}

// Only a credentialed participant makes the gyro service act. Both intruders
// send requests in the console's name first; then a probe with the bench's
// credentials sends five, each answered. The service queried its unit once
// per request the probe wrote, and the intruders, listening throughout, heard none of it.
TEST_F(SecureBus, OnlyACredentialedRequestMakesTheGyroServiceAct)
{
    const std::string dir = base_ + "/command_run";
    auto sim = start_gyro_line(dir);
    ChildProcess zentaro(kEnv, with_profile(profile("Zentaro"), ZENTARO_PATH, {dir + "/Zentaro.json"}));
    ASSERT_TRUE(zentaro.wait_for_output("[OK] GYRO UART init", 20s)) << zentaro.out() << zentaro.err();
    ChildProcess plain(kEnv, with_profile("", BUS_PROBE_PATH, {"--name", "Intruder_Plain"}));
    ChildProcess foreign(kEnv, with_profile(foreign_profile("intruder"), BUS_PROBE_PATH, {"--name", "Intruder_Foreign"}));
    ASSERT_TRUE(plain.wait_for_output("[PROBE] sent 20\n", 30s)) << plain.out();
    ASSERT_TRUE(foreign.wait_for_output("[PROBE] sent 20\n", 30s)) << foreign.out();
    EXPECT_EQ(count(sim->out(), "[SIM] gyro answer"), 0) << "the unit was queried for an intruder\n" << sim->out();

    const int requests = 5;
    ChildProcess legit(kEnv, with_profile(profile("bench_probe"), BUS_PROBE_PATH,
                                          {"--name", "Bench_Probe", "--count", std::to_string(requests)}));
    EXPECT_EQ(legit.wait_exit(90s), 0) << legit.out() << legit.err();
    EXPECT_NE(legit.out().find("[PROBE] answered " + std::to_string(requests) + "\n"), std::string::npos)
        << legit.out();
    EXPECT_NE(legit.out().find("[PROBE] matched 1\n"), std::string::npos) << legit.out();

    for (ChildProcess* intruder : {&plain, &foreign}) {
        intruder->signal(SIGTERM);
        EXPECT_EQ(intruder->wait_exit(15s), 0) << intruder->out();
        EXPECT_EQ(count(intruder->out(), "[PROBE] heard"), 0) << intruder->out();
        EXPECT_NE(intruder->out().find("[PROBE] matched 0\n"), std::string::npos) << intruder->out();
    }
    // Every request the probe wrote (the first may have been written again
    // while discovery finished) made one exchange with the unit, and nothing
    // else did. (The wait only lets the last lines of output arrive.)
    const int written = count(legit.out(), "[PROBE] sent ");
    EXPECT_GE(written, requests);
    EXPECT_LE(written, requests + 2);
    wait_until([&] { return count(sim->out(), "[SIM] gyro answer") >= written; }, 10s);
    EXPECT_EQ(count(sim->out(), "[SIM] gyro answer"), written) << sim->out();
    EXPECT_EQ(count(zentaro.out(), "Successfully sent telemetry data\n"), written) << zentaro.out();
    zentaro.signal(SIGTERM);
    EXPECT_EQ(zentaro.wait_exit(15s), 0) << zentaro.out();
}

// With the topics protected by the encryption of whole RTPS messages only
// (--topic-protection NONE), a program's writer reaches its own reader on the
// same topic again, so no program keeps reporting undecodable messages, while
// an intruder is still shut out.
TEST_F(SecureBus, RtpsEncryptionAloneKeepsTheProgramsFreeOfCryptoWarnings)
{
    const std::string pki = base_ + "/rtps_only";
    std::string output;
    ASSERT_EQ(make_pki({"--topic-protection", "NONE", pki}, output), 0) << output;
    const std::string governance = read_file(pki + "/governance.xml");
    ASSERT_NE(governance.find("<rtps_protection_kind>ENCRYPT</rtps_protection_kind>"), std::string::npos);
    ASSERT_NE(governance.find("<data_protection_kind>NONE</data_protection_kind>"), std::string::npos);

    const std::string dir = base_ + "/rtps_only_run";
    auto sim = start_gyro_line(dir);
    ChildProcess zentaro(kEnv, with_profile(pki + "/profiles/Zentaro.xml", ZENTARO_PATH, {dir + "/Zentaro.json"}));
    ASSERT_TRUE(zentaro.wait_for_output("[OK] GYRO UART init", 20s)) << zentaro.out() << zentaro.err();
    ChildProcess plain(kEnv, with_profile("", BUS_PROBE_PATH, {"--name", "Intruder_Plain"}));
    ASSERT_TRUE(plain.wait_for_output("[PROBE] ready\n", 30s)) << plain.out();
    ChildProcess console(kEnv, with_profile(pki + "/profiles/Corvane.xml", CORVANE_PATH));

    const int blocks = 5;
    ASSERT_TRUE(wait_until([&] { return int(console_blocks::axes(console.out(), "Gyroscope").size()) >= blocks; }, 60s))
        << console.out() << "\n" << zentaro.out();
    const std::string sim_log = sim->out();
    for (const auto& b : console_blocks::axes(console.out(), "Gyroscope"))
        EXPECT_NE(sim_log.find("[SIM] gyro answer " + b.sim_text + "\n"), std::string::npos) << b.sim_text;

    console.signal(SIGINT);
    EXPECT_EQ(console.wait_exit(10s), 0);
    plain.signal(SIGTERM);
    EXPECT_EQ(plain.wait_exit(15s), 0) << plain.out();
    EXPECT_EQ(count(plain.out(), "[PROBE] heard"), 0) << plain.out();
    zentaro.signal(SIGTERM);
    EXPECT_EQ(zentaro.wait_exit(15s), 0) << zentaro.out();
    // Messages that arrive while two programs still exchange their keys are
    // reported; once the answers flow, nothing more.
    auto after = [](const std::string& out, const std::string& mark, int n) {
        std::size_t pos = 0;
        for (int i = 0; i < n && pos != std::string::npos; ++i) pos = out.find(mark, pos ? pos + 1 : 0);
        return pos == std::string::npos ? std::string() : out.substr(pos);
    };
    const std::string console_later = after(console.out(), "========== Gyroscope Telemetry", 2);
    const std::string service_later = after(zentaro.out(), "Successfully sent telemetry data", 2);
    ASSERT_FALSE(console_later.empty());
    ASSERT_FALSE(service_later.empty());
    EXPECT_EQ(count(console_later, "SECURITY_CRYPTO"), 0) << console.out();
    EXPECT_EQ(count(service_later, "SECURITY_CRYPTO"), 0) << zentaro.out();
}
