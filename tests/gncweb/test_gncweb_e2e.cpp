// gncweb as a real process beside the simulator, the wheel service and
// gncctl watching wheel1 (the poller): what the bus carries reaches the
// live stream and the database, a command from the HTTP interface reaches
// the simulated wheel, and SIGTERM ends gncweb cleanly with everything
// committed.
#include "gncweb.h"
#include "support/child_process.h"
#include "support/waiting.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sys/stat.h>

using namespace std::chrono_literals;

TEST(GncwebBench, RecordsStreamsAndCommandsAgainstTheSimulatedWheel)
{
    const std::string dir = testing::TempDir() + "gncweb_e2e_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    // Removed last, after every child has stopped.
    struct RemoveDir {
        std::string dir;
        ~RemoveDir() { std::filesystem::remove_all(dir); }
    } remove_dir{dir};
    ChildProcess sim(DEVSIM_PATH, {"--run-dir", dir, "--pace", "--line", "wheel0=wheel:0x11"});
    ASSERT_TRUE(wait_for_file(dir + "/devsim.ready", 10s)) << sim.out() << sim.err();
    std::ofstream(dir + "/Skardel.json") << "{\"flywheels\": [{\"id\": 0, \"device\": \"" + dir + "/wheel0\"}]}";
    ChildProcess skardel(SKARDEL_PATH, {dir + "/Skardel.json"});
    const std::string db = dir + "/telemetry.sqlite";
    ChildProcess web(GNCWEB_PATH, {"--db", db, "--listen", "127.0.0.1:0", "--web-root", dir});
    ChildProcess watch(GNCCTL_PATH, {"watch", "wheel1", "--rate", "5"});

    ASSERT_TRUE(web.wait_for_output("/ (web root", 20s)) << web.out() << web.err();
    std::smatch m;
    const std::string banner = web.out();
    ASSERT_TRUE(std::regex_search(banner, m, std::regex("http://127.0.0.1:([0-9]+)/"))) << banner;
    httplib::Client http("127.0.0.1", std::stoi(m[1]));
    http.set_read_timeout(5, 0);

    // The stream: wheel1's speed as events, the wheel spinning up once
    // commanded from the HTTP interface.
    std::string events;
    auto spinning = [&] {
        std::smatch v;
        std::string rest = events;
        while (std::regex_search(rest, v, std::regex(R"(\{"key":"wheel1.speed","t":[0-9]+,"value":([-0-9.e+]+)\})"))) {
            if (std::stod(v[1]) > 100) return true;
            rest = v.suffix();
        }
        return false;
    };
    bool commanded = false;
    for (int attempt = 0; attempt < 8 && !spinning(); ++attempt) {
        http.Get("/api/stream?keys=wheel1.speed", [&](const char* data, size_t n) {
            events.append(data, n);
            if (!commanded && events.find("wheel1.speed") != std::string::npos) {
                httplib::Client post("127.0.0.1", std::stoi(m[1]));
                auto res = post.Post("/api/command", R"({"device":"wheel1","command":"speed","args":[600]})",
                                     "application/json");
                EXPECT_TRUE(res && res->status == 200) << (res ? res->body : "no answer") << web.err();
                commanded = true;
            }
            return !spinning();
        });
    }
    EXPECT_TRUE(commanded) << events << web.err();
    EXPECT_TRUE(spinning()) << events.substr(0, 2000);
    EXPECT_NE(sim.out().find("[SIM] wheel0 command speed target=600 "), std::string::npos) << sim.out().substr(0, 2000);

    // The line health comes once a second; then SIGTERM: exit 0 after
    // committing, and the file, reviewed.
    const std::string ages = "/api/history?key=wheel1.age_s&start=0&end=" +
                             std::to_string(gncweb::wall_ms(std::chrono::system_clock::now()) + 3'600'000);
    EXPECT_TRUE(wait_until([&] {
        auto res = http.Get(ages.c_str());
        return res && res->status == 200 && res->body.find("\"value\"") != std::string::npos;
    }, 10s));
    web.signal(SIGTERM);
    ASSERT_EQ(web.wait_exit(20s), 0) << web.err();
    EXPECT_NE(web.out().find("[INFO] gncweb stopped: "), std::string::npos) << web.out();
    gncweb::Store::Options o;
    o.path = db;
    o.review = true;
    gncweb::Store store(o, nullptr);
    const gncweb::Ms now = gncweb::wall_ms(std::chrono::system_clock::now());
    auto speeds = store.history("wheel1.speed", 0, now, 1'000'000).points;
    ASSERT_FALSE(speeds.empty());
    // Each stored speed is one the simulated wheel sent.
    std::set<double> sent;
    const std::string sim_log = sim.out();
    std::regex status(R"(\[SIM\] wheel0 status speed=([-0-9.e+]+))");
    for (auto it = std::sregex_iterator(sim_log.begin(), sim_log.end(), status); it != std::sregex_iterator(); ++it)
        sent.insert(std::stod((*it)[1]));
    for (const auto& p : speeds) {
        auto near = sent.lower_bound(p.value - 1e-3 * std::max(1.0, std::fabs(p.value)));
        EXPECT_TRUE(near != sent.end() && std::fabs(*near - p.value) <= 1e-3 * std::max(1.0, std::fabs(p.value)))
            << p.value;
    }
    // The line counts from the wheel service's line statistics, and the
    // line health gncweb derives.
    for (const char* key : {"wheel1.header_errors", "wheel1.resets", "wheel1.frames_per_s", "wheel1.age_s"})
        EXPECT_FALSE(store.history(key, 0, now, 10).points.empty()) << key;
    auto resets = store.history("wheel1.resets", 0, now, 10).points;
    EXPECT_TRUE(!resets.empty() && resets.front().value == 0);
}
