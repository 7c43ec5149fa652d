// The bench spread over two "hosts": two network namespaces made by the test
// and joined by a veth pair with private addresses, which exist only inside
// those namespaces. The simulator and the six services run in one, the
// console in the other, every program with a UDP-only profile made from
// config/fastdds_hosts.xml that lists both addresses as initial peers.
//
// No shared memory in these profiles: /dev/shm is one for the whole machine,
// so a shared-memory transport would let the programs of the two namespaces
// meet past the network they are meant to be tested across.
//
// A second test runs the console and the gyro service secured (DDS Security,
// profiles made by security/make_test_pki.sh with both addresses as peers)
// beside a listener on the plain hosts profile, which hears nothing. A packet
// watch on the pair shows the answers in clear text on the plain profile and
// never on the secured one.
//
// Needs root (CAP_NET_ADMIN, CAP_SYS_ADMIN) and iproute2; skips otherwise.
// Every namespace the test makes is deleted when it ends, whatever happened
// (and a namespace left by an earlier run of this test that was killed is
// deleted at the start); the programs are started with a parent-death signal
// so they do not outlive a killed test.
#include "support/child_process.h"
#include "support/console_blocks.h"
#include "support/waiting.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
namespace cb = console_blocks;

namespace {

std::string ip_command()
{
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(p, X_OK) == 0) return p;
    return {};
}

struct Result {
    int status = -1;
    std::string output;
};

Result run(const std::string& program, const std::vector<std::string>& args)
{
    ChildProcess p(program, args);
    Result r;
    r.status = p.wait_exit(30s);
    r.output = p.out() + p.err();
    return r;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// Network namespaces made by this test, deleted by the destructor.
class Namespaces {
public:
    explicit Namespaces(std::string ip) : ip_(std::move(ip)) {}
    Namespaces(const Namespaces&) = delete;
    Namespaces& operator=(const Namespaces&) = delete;
    ~Namespaces()
    {
        for (auto it = names_.rbegin(); it != names_.rend(); ++it) run(ip_, {"netns", "delete", *it});
    }

    // Namespaces named "gncb-<role>-<pid>" whose test process is gone.
    void delete_leftovers()
    {
        static const std::regex ours("^(gncb-[a-z]+-([0-9]+))\\b.*");
        std::istringstream list(run(ip_, {"netns", "list"}).output);
        for (std::string line; std::getline(list, line);) {
            std::smatch m;
            if (!std::regex_match(line, m, ours)) continue;
            if (access(("/proc/" + m[2].str()).c_str(), F_OK) == 0) continue;
            run(ip_, {"netns", "delete", m[1].str()});
        }
    }

    // Makes a namespace with its loopback up; empty on success, else why not.
    std::string add(const std::string& name)
    {
        Result r = run(ip_, {"netns", "add", name});
        if (r.status != 0) return "ip netns add " + name + ": " + r.output;
        names_.push_back(name);
        r = run(ip_, {"-n", name, "link", "set", "lo", "up"});
        if (r.status != 0) return "loopback up in " + name + ": " + r.output;
        r = run(ip_, {"netns", "exec", name, "/bin/true"});
        if (r.status != 0) return "ip netns exec " + name + ": " + r.output;
        return {};
    }

    // Runs `ip -n NS args...`; empty on success, else the error.
    std::string in(const std::string& ns, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-n", ns});
        Result r = run(ip_, args);
        if (r.status == 0) return {};
        std::string cmd = "ip";
        for (const auto& a : args) cmd += " " + a;
        return cmd + ": " + r.output;
    }

    // Waits until the link has its carrier and is up.
    bool link_up(const std::string& ns, const std::string& link, std::chrono::milliseconds timeout)
    {
        return wait_until(
            [&] {
                Result r = run(ip_, {"-n", ns, "link", "show", link});
                return r.status == 0 && r.output.find("state UP") != std::string::npos &&
                       r.output.find("NO-CARRIER") == std::string::npos;
            },
            timeout);
    }

    // `ip netns exec NS` a program with the profile in its environment; it is
    // killed if the test process dies.
    std::vector<std::string> exec_args(const std::string& ns, const std::string& profile, const std::string& program,
                                       const std::vector<std::string>& args = {}) const
    {
        std::vector<std::string> a = {"netns",   "exec", ns,       "/usr/bin/setpriv", "--pdeathsig", "KILL",
                                      "/usr/bin/env", "-u", "FASTRTPS_DEFAULT_PROFILES_FILE",
                                      "FASTDDS_DEFAULT_PROFILES_FILE=" + profile, program};
        a.insert(a.end(), args.begin(), args.end());
        return a;
    }

    const std::string& ip() const { return ip_; }

private:
    std::string ip_;
    std::vector<std::string> names_;
};

// The example hosts profile with `peers` as its initial peers.
std::string hosts_profile(const std::vector<std::string>& peers)
{
    std::string xml = read_file(EXAMPLE_HOSTS_PROFILE);
    const std::string open = "<initialPeersList>", close = "</initialPeersList>";
    std::size_t a = xml.find(open), b = xml.find(close);
    if (a == std::string::npos || b == std::string::npos || b < a) return {};
    std::string list = "\n";
    for (const auto& p : peers)
        list += "            <locator><udpv4><address>" + p + "</address></udpv4></locator>\n";
    xml.replace(a + open.size(), b - a - open.size(), list + "          ");
    return xml;
}

// Two namespaces joined by a veth pair: console side .1, service side .2.
class BenchAcrossHosts : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) GTEST_SKIP() << "needs root (CAP_NET_ADMIN) to make network namespaces";
        std::string ip = ip_command();
        if (ip.empty()) GTEST_SKIP() << "iproute2's ip is not installed";
        ns_ = std::make_unique<Namespaces>(ip);
        ns_->delete_leftovers();
        const std::string pid = std::to_string(getpid());
        con_ = "gncb-con-" + pid;
        svc_ = "gncb-svc-" + pid;
        for (const auto& name : {con_, svc_}) {
            std::string why = ns_->add(name);
            if (!why.empty()) GTEST_SKIP() << "cannot make network namespaces here: " << why;
        }
        const std::string net = "10.213." + std::to_string(1 + getpid() % 250) + ".";
        con_addr_ = net + "1";
        svc_addr_ = net + "2";
        // The pair is made inside the console namespace and its peer end
        // moved straight into the service namespace: no interface of the
        // host's own namespace is touched.
        ASSERT_EQ(ns_->in(con_, {"link", "add", "veth-con", "type", "veth", "peer", "name", "veth-svc", "netns", svc_}),
                  "");
        ASSERT_EQ(ns_->in(con_, {"addr", "add", con_addr_ + "/24", "dev", "veth-con"}), "");
        ASSERT_EQ(ns_->in(svc_, {"addr", "add", svc_addr_ + "/24", "dev", "veth-svc"}), "");
        ASSERT_EQ(ns_->in(con_, {"link", "set", "veth-con", "up"}), "");
        ASSERT_EQ(ns_->in(svc_, {"link", "set", "veth-svc", "up"}), "");
        // A link comes up a moment after it is set up. Fast DDS takes its
        // list of interfaces once, when a program starts: a program started
        // before that moment would announce loopback addresses only.
        ASSERT_TRUE(ns_->link_up(con_, "veth-con", 10s)) << "veth-con never came up";
        ASSERT_TRUE(ns_->link_up(svc_, "veth-svc", 10s)) << "veth-svc never came up";
        dir_ = testing::TempDir() + "bench_hosts_" + pid;
        mkdir(dir_.c_str(), 0755);
    }

    // The programs have stopped by now (they belong to the test body); the
    // namespaces go with ns_.
    void TearDown() override
    {
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }

    std::vector<std::string> in_svc(const std::string& profile, const std::string& program,
                                    const std::vector<std::string>& args = {}) const
    {
        return ns_->exec_args(svc_, profile, program, args);
    }
    std::vector<std::string> in_con(const std::string& profile, const std::string& program,
                                    const std::vector<std::string>& args = {}) const
    {
        return ns_->exec_args(con_, profile, program, args);
    }

    // Watches the console's end of the pair for datagrams holding `text`.
    std::unique_ptr<ChildProcess> watch_wire(const std::string& text)
    {
        auto w = std::make_unique<ChildProcess>(
            ns_->ip(), std::vector<std::string>{"netns", "exec", con_, "/usr/bin/setpriv", "--pdeathsig", "KILL",
                                                WIRE_WATCH_PATH, "veth-con", text});
        EXPECT_TRUE(w->wait_for_output("[WIRE] watching\n", 10s)) << w->out() << w->err();
        return w;
    }

    // Stops the watch; the datagrams seen in all and those holding the text.
    static std::pair<long, long> wire_counts(ChildProcess& w)
    {
        w.signal(SIGTERM);
        EXPECT_EQ(w.wait_exit(10s), 0) << w.out() << w.err();
        std::smatch m;
        const std::string out = w.out();
        if (!std::regex_search(out, m, std::regex("\\[WIRE\\] udp=(\\d+) with_text=(\\d+)"))) return {-1, -1};
        std::printf("[ wire     ] %s datagrams, %s with the text\n", m[1].str().c_str(), m[2].str().c_str());
        return {std::stol(m[1].str()), std::stol(m[2].str())};
    }

    std::unique_ptr<Namespaces> ns_;
    std::string con_, svc_, con_addr_, svc_addr_, dir_;
};

}  // namespace

TEST_F(BenchAcrossHosts, ConsoleInOneNamespaceShowsEveryDeviceServedFromTheOther)
{
    const std::string profile = dir_ + "/fastdds_hosts.xml";
    const std::string xml = hosts_profile({con_addr_, svc_addr_});
    ASSERT_FALSE(xml.empty()) << "no initialPeersList in " << EXAMPLE_HOSTS_PROFILE;
    ASSERT_NE(xml.find("<useBuiltinTransports>false</useBuiltinTransports>"), std::string::npos) << xml;
    ASSERT_EQ(xml.find("<type>SHM</type>"), std::string::npos) << "no shared memory across hosts\n" << xml;
    ASSERT_NE(xml.find("<address>" + svc_addr_ + "</address>"), std::string::npos) << xml;
    write_file(profile, xml);
    // The services' answers carry the type label "telemetry"; on this
    // profile anyone on the wire can read it.
    auto wire = watch_wire("telemetry");

    ChildProcess sim(ns_->ip(), in_svc(profile, DEVSIM_PATH,
                                       {"--run-dir", dir_, "--pace", "--line", "nano1=nano", "--line", "nano2=nano",
                                        "--line", "gyro=gyro", "--line", "mems=mems", "--line", "wheel0=wheel:0x11",
                                        "--line", "wheel1=wheel:0x22", "--line", "wheel2=wheel:0x33", "--line",
                                        "optical=optical", "--line", "vision=vision"}));
    ASSERT_TRUE(wait_for_file(dir_ + "/devsim.ready", 10s)) << sim.out() << sim.err();
    write_file(dir_ + "/Brenvik.json", "{\"star_sensors\": [{\"type\": \"nano\", \"star_num\": 1, \"device\": \"" +
                                           dir_ + "/nano1\"}, {\"type\": \"nano\", \"star_num\": 2, \"device\": \"" +
                                           dir_ + "/nano2\"}]}");
    write_file(dir_ + "/Skardel.json", "{\"flywheels\": [{\"id\": 0, \"device\": \"" + dir_ + "/wheel0\"}, {\"id\": 1, " +
                                           "\"device\": \"" + dir_ + "/wheel1\"}, {\"id\": 2, \"device\": \"" + dir_ +
                                           "/wheel2\"}]}");
    write_file(dir_ + "/Zentaro.json", "{\"gyro\": {\"device\": \"" + dir_ + "/gyro\"}}");
    write_file(dir_ + "/Quimbrel.json", "{\"mems_sensor\": {\"device\": \"" + dir_ + "/mems\"}}");
    write_file(dir_ + "/Tavrin.json", "{\"optical\": {\"device\": \"" + dir_ + "/optical\", \"baudrate\": 115200}}");
    write_file(dir_ + "/Pellwyn.json", "{\"vision\": {\"device\": \"" + dir_ + "/vision\", \"baudrate\": 115200}}");

    ChildProcess brenvik(ns_->ip(), in_svc(profile, BRENVIK_PATH), dir_);
    ChildProcess skardel(ns_->ip(), in_svc(profile, SKARDEL_PATH, {dir_ + "/Skardel.json"}));
    ChildProcess zentaro(ns_->ip(), in_svc(profile, ZENTARO_PATH, {dir_ + "/Zentaro.json"}));
    ChildProcess quimbrel(ns_->ip(), in_svc(profile, QUIMBREL_PATH), dir_);
    ChildProcess tavrin(ns_->ip(), in_svc(profile, TAVRIN_PATH, {dir_ + "/Tavrin.json"}));
    ChildProcess pellwyn(ns_->ip(), in_svc(profile, PELLWYN_PATH), dir_);
    ASSERT_TRUE(brenvik.wait_for_output("[OK] Star sensor 2 initialized successfully\n", 20s)) << brenvik.out();
    ASSERT_TRUE(tavrin.wait_for_output("[OK] FastDDS initialized for Optical service", 20s)) << tavrin.out();

    ChildProcess console(ns_->ip(), in_con(profile, CORVANE_PATH));

    // Every kind of block, several times over.
    const int cycles = 4;
    auto enough = [&] {
        const std::string out = console.out();
        std::map<int, int> stars, wheels;
        for (const auto& b : cb::star(out)) ++stars[b.number];
        for (const auto& b : cb::wheel(out)) ++wheels[b.number];
        return stars[1] >= cycles && stars[2] >= cycles && wheels[1] >= cycles && wheels[2] >= cycles &&
               wheels[3] >= cycles && int(cb::axes(out, "Gyroscope").size()) >= cycles &&
               int(cb::axes(out, "MEMS").size()) >= cycles && int(cb::optical(out).size()) >= cycles &&
               int(cb::vision(out).size()) >= cycles;
    };
    ASSERT_TRUE(wait_until(enough, 90s)) << console.out() << console.err() << "\n--- Brenvik\n" << brenvik.out() << "\n--- Zentaro\n" << zentaro.out() << zentaro.err();

    // Every block carries what the simulator sent, with clean line counts.
    const std::string out = console.out();
    const std::string sim_log = sim.out();
    for (const auto& b : cb::star(out))
        EXPECT_NE(sim_log.find("[SIM] nano" + std::to_string(b.number) + " answer " + b.sim_text + "\n"),
                  std::string::npos) << "star " << b.number << ": " << b.sim_text;
    for (const auto& b : cb::wheel(out))
        EXPECT_NE(sim_log.find("[SIM] wheel" + std::to_string(b.number - 1) + " status " + b.sim_text + "\n"),
                  std::string::npos) << "wheel " << b.number << ": " << b.sim_text;
    struct Kind {
        const char* name;
        std::vector<cb::Block> blocks;
        std::string line;
        int id;
    };
    const Kind kinds[] = {
        {"gyro", cb::axes(out, "Gyroscope"), "gyro", 3},
        {"MEMS", cb::axes(out, "MEMS"), "mems", 4},
        {"optical", cb::optical(out), "optical", 10},
        {"vision", cb::vision(out), "vision", 9},
    };
    for (const Kind& k : kinds) {
        for (const auto& b : k.blocks) {
            EXPECT_EQ(b.number, k.id) << k.name;
            EXPECT_EQ(b.head + b.check + b.length + b.resets, 0) << k.name;
            EXPECT_EQ(b.reset_enable, 1) << k.name;
            EXPECT_NE(sim_log.find("[SIM] " + k.line + " answer " + b.sim_text + "\n"), std::string::npos)
                << k.name << ": " << b.sim_text;
        }
    }
    const auto [udp, readable] = wire_counts(*wire);
    EXPECT_GT(udp, 0) << "the bus ran over the pair";
    EXPECT_GT(readable, 0) << "the unsecured answers are readable on the wire";

    console.signal(SIGINT);
    EXPECT_EQ(console.wait_exit(10s), 0);
    for (ChildProcess* p : {&brenvik, &skardel, &zentaro, &quimbrel, &tavrin, &pellwyn}) {
        p->signal(SIGTERM);
        EXPECT_EQ(p->wait_exit(15s), 0) << p->out() << p->err();
    }
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait_exit(10s), 0);
}

TEST_F(BenchAcrossHosts, SecuredConsoleGetsGyroTelemetryAcrossAndAPlainListenerHearsNothing)
{
    const std::string pki = dir_ + "/pki";
    Result made = run("/bin/bash", {MAKE_TEST_PKI, "--peer", con_addr_, "--peer", svc_addr_, pki});
    ASSERT_EQ(made.status, 0) << made.output;
    for (const std::string identity : {"Zentaro", "Corvane"}) {
        const std::string xml = read_file(pki + "/profiles/" + identity + ".xml");
        EXPECT_NE(xml.find("<address>" + con_addr_ + "</address>"), std::string::npos) << xml;
        EXPECT_NE(xml.find("<address>" + svc_addr_ + "</address>"), std::string::npos) << xml;
        EXPECT_EQ(xml.find("<type>SHM</type>"), std::string::npos) << xml;
        EXPECT_NE(xml.find("builtin.PKI-DH"), std::string::npos) << xml;
    }
    const std::string plain = dir_ + "/fastdds_hosts.xml";
    write_file(plain, hosts_profile({con_addr_, svc_addr_}));
    // The answers' type label, "telemetry", is in every answer the console
    // gets, and in nothing the plain listener sends (its topic names are
    // capitalised): encrypted, it never shows on the wire.
    auto wire = watch_wire("telemetry");

    ChildProcess sim(ns_->ip(), in_svc(plain, DEVSIM_PATH, {"--run-dir", dir_, "--line", "gyro=gyro"}));
    ASSERT_TRUE(wait_for_file(dir_ + "/devsim.ready", 10s)) << sim.out() << sim.err();
    write_file(dir_ + "/Zentaro.json", "{\"gyro\": {\"device\": \"" + dir_ + "/gyro\"}}");
    ChildProcess zentaro(ns_->ip(), in_svc(pki + "/profiles/Zentaro.xml", ZENTARO_PATH, {dir_ + "/Zentaro.json"}));
    ASSERT_TRUE(zentaro.wait_for_output("[OK] GYRO UART init", 20s)) << zentaro.out() << zentaro.err();
    ChildProcess listener(ns_->ip(), in_con(plain, BUS_PROBE_PATH, {"--name", "Plain_Listener"}));
    ASSERT_TRUE(listener.wait_for_output("[PROBE] ready\n", 30s)) << listener.out() << listener.err();
    ChildProcess console(ns_->ip(), in_con(pki + "/profiles/Corvane.xml", CORVANE_PATH));

    const int cycles = 4;
    ASSERT_TRUE(wait_until([&] { return int(cb::axes(console.out(), "Gyroscope").size()) >= cycles; }, 90s))
        << console.out() << console.err() << "\n--- Zentaro\n" << zentaro.out() << zentaro.err();
    ASSERT_TRUE(listener.wait_for_output("[PROBE] sent 20\n", 30s)) << listener.out();
    const std::string sim_log = sim.out();
    for (const auto& b : cb::axes(console.out(), "Gyroscope")) {
        EXPECT_EQ(b.number, 3);
        EXPECT_EQ(b.head + b.check + b.length + b.resets, 0);
        EXPECT_NE(sim_log.find("[SIM] gyro answer " + b.sim_text + "\n"), std::string::npos) << b.sim_text;
    }

    const auto [udp, readable] = wire_counts(*wire);
    EXPECT_GT(udp, 0) << "the bus ran over the pair";
    EXPECT_EQ(readable, 0) << "an answer crossed the wire unencrypted";

    console.signal(SIGINT);
    EXPECT_EQ(console.wait_exit(10s), 0);
    listener.signal(SIGTERM);
    EXPECT_EQ(listener.wait_exit(15s), 0) << listener.out();
    EXPECT_EQ(ChildProcess::occurrences(listener.out(), "[PROBE] heard"), 0) << listener.out();
    EXPECT_NE(listener.out().find("[PROBE] matched 0\n"), std::string::npos) << listener.out();
    // The listener's requests, in the console's name, never made the service
    // ask its unit: every exchange was for one of the console's requests,
    // each shown as a block but perhaps the last one, still on its way when
    // the console stopped. The listener sent far more than that.
    const int blocks = int(cb::axes(console.out(), "Gyroscope").size());
    const int served = ChildProcess::occurrences(zentaro.out(), "Successfully sent telemetry data\n");
    EXPECT_GE(served, blocks) << zentaro.out();
    EXPECT_LE(served, blocks + 1) << zentaro.out();
    zentaro.signal(SIGTERM);
    EXPECT_EQ(zentaro.wait_exit(15s), 0) << zentaro.out();
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait_exit(10s), 0);
}
