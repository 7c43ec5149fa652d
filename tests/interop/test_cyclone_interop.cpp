// Eclipse Cyclone DDS as a third-party peer of the bus. devsim plays the
// gyro, the real gyro service drives it, and Cyclone peers (cyclone_peer.c)
// come and go one after another: each asks for telemetry and must get the
// record the service built from the gyro's answer, and the service must
// take every coming and going without a warning or an error of its own.
#include "faults/devsim_run.h"
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

// How each peer leaves, and what it must have been answered by then.
struct PeerRun {
    const char* name;
    std::vector<std::string> args;
    bool killed;  // SIGKILL once its first record is in: no goodbye on the bus
    int records;  // records it must print (at least, when killed)
};

const PeerRun RUNS[] = {
    {"Cyclone_Peer", {"--count", "5"}, false, 5},
    {"Cyclone_Disposer", {"--count", "2", "--dispose"}, false, 2},  // no-data samples on the request topic
    {"Cyclone_Killed", {"--count", "1000"}, true, 1},               // gone until its lease ends
    {"Cyclone_Again", {"--count", "3"}, false, 3},                  // the service still answers
};

// Every warning and error a program logged, but the one Fast DDS gives in a
// network namespace with loopback only (no interface has a MAC address).
std::vector<std::string> warnings_and_errors(const std::string& log)
{
    std::vector<std::string> found;
    std::istringstream in(log);
    for (std::string l; std::getline(in, l);) {
        bool report = l.find("[WARN]") != std::string::npos || l.find("[ERROR]") != std::string::npos;
        if (report && l.find("DDS UTILS: Cannot get MAC addresses") == std::string::npos) found.push_back(l);
    }
    return found;
}

// The "x=.. y=.. z=.." of every record the peer printed, in order; each must
// carry the gyro line's id (3), no line errors and the reset-enable flag.
std::vector<std::string> record_values(const std::string& out)
{
    static const std::regex record(R"(\[PEER\] record \d+ from Gyro_Hardware_Service to Gnc_Service: )"
                                   R"((x=\S+ y=\S+ z=\S+) line=3 head=0 check=0 length=0 resets=0 reset_enable=1)");
    std::vector<std::string> values;
    std::istringstream in(out);
    std::smatch m;
    for (std::string l; std::getline(in, l);) {
        if (std::regex_match(l, m, record)) values.push_back(m[1]);
    }
    return values;
}

}  // namespace

TEST(CycloneInterop, PeersComeAndGoAndEveryRequestGetsTheGyroRecord)
{
    // Loopback only; a short lease so that the killed peer is forgotten
    // within the test.
    setenv("CYCLONEDDS_URI",
           "file://" CYCLONE_CONFIG ",<Discovery><LeaseDuration>2s</LeaseDuration></Discovery>", 1);
    const std::string dir = testing::TempDir() + "cyclone_interop_" + std::to_string(getpid());
    DevsimRun sim(DEVSIM_PATH, dir, {"--line", "gyro=gyro"});
    ASSERT_TRUE(sim.wait_ready(10s)) << sim.out() << sim.err();
    std::ofstream(dir + "/Zentaro.json") << "{\"gyro\": {\"device\": \"" << sim.path("gyro") << "\"}}";
    ChildProcess gyro(ZENTARO_PATH, {dir + "/Zentaro.json"});
    ASSERT_TRUE(gyro.wait_for_output("[OK] GYRO UART init", 10s)) << gyro.out() << gyro.err();

    std::size_t next_answer = 0;  // records are the gyro's answers, in order
    for (const PeerRun& run : RUNS) {
        SCOPED_TRACE(run.name);
        std::vector<std::string> args{"--name", run.name, "--timeout-ms", "20000"};
        args.insert(args.end(), run.args.begin(), run.args.end());
        ChildProcess peer(CYCLONE_PEER_PATH, args);
        if (run.killed) {
            ASSERT_TRUE(peer.wait_for_output("[PEER] record 1 ", 30s)) << peer.out() << peer.err();
            peer.signal(SIGKILL);
            EXPECT_NE(peer.wait_exit(10s), -1);
        } else {
            const int status = peer.wait_exit(60s);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << peer.out() << peer.err() << "--- gyro service:\n" << gyro.out() << gyro.err();
        }
        const std::vector<std::string> values = record_values(peer.out());
        if (run.killed) {
            EXPECT_GE(int(values.size()), run.records) << peer.out();
        } else {
            EXPECT_EQ(int(values.size()), run.records) << peer.out();
        }
        const std::vector<std::string> answers = sim.lines("gyro", "answer");
        for (const std::string& v : values) {
            auto at = std::find(answers.begin() + std::min(next_answer, answers.size()), answers.end(), v);
            ASSERT_TRUE(at != answers.end()) << "the peer got " << v << ", which the gyro never sent after the "
                                         << next_answer << " answers before\n" << sim.out();
            next_answer = std::size_t(at - answers.begin()) + 1;
        }
    }

    // The killed peer's lease (2 s) runs out, then the service stops.
    std::this_thread::sleep_for(4s);
    gyro.signal(SIGTERM);
    EXPECT_EQ(gyro.wait_exit(10s), 0) << gyro.err();
    EXPECT_EQ(warnings_and_errors(gyro.out() + gyro.err()), std::vector<std::string>{});
    EXPECT_EQ(sim.err(), "");
}
