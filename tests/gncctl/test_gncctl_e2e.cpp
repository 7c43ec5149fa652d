// gncctl against the simulated bench without the console: the simulator and
// the six services as real processes, gncctl and the example procedures run
// as children, their exit status and output checked against what the
// simulator sent and the services logged.
#include "support/child_process.h"
#include "support/waiting.h"
#include "support/whole_bench.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <regex>
#include <sstream>

using namespace std::chrono_literals;

namespace {

struct Outcome {
    int status = -1;  // exit status, -1 when killed or still running at the limit
    std::string out, err;
    double seconds = 0;
};

Outcome run(const std::string& program, const std::vector<std::string>& args, std::chrono::seconds limit = 60s)
{
    const auto t0 = std::chrono::steady_clock::now();
    ChildProcess p(program, args);
    const int st = p.wait_exit(limit);
    Outcome r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.status = st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = p.out();
    r.err = p.err();
    return r;
}

Outcome gncctl(const std::vector<std::string>& args, std::chrono::seconds limit = 60s)
{
    return run(GNCCTL_PATH, args, limit);
}

std::string show(const Outcome& r) { return "status " + std::to_string(r.status) + "\n" + r.out + r.err; }

Json::Value parse_json(const std::string& text)
{
    Json::Value v;
    std::istringstream in(text);
    Json::CharReaderBuilder builder;
    std::string errors;
    Json::parseFromStream(builder, in, &v, &errors);
    return v;
}

bool close_to(double a, double b) { return std::fabs(a - b) <= 1e-5 * std::max(1.0, std::fabs(b)); }

// Whether the simulator logged an answer of `line` whose values are `want`
// (name=value pairs as the simulator prints them, in its order).
bool simulator_sent(const std::string& sim_log, const std::string& line, const std::vector<std::pair<std::string, double>>& want)
{
    std::istringstream in(sim_log);
    std::string l;
    while (std::getline(in, l)) {
        if (l.rfind("[SIM] " + line + " answer ", 0) != 0) continue;
        bool all = true;
        for (const auto& [name, v] : want) {
            auto at = l.find(" " + name + "=");
            all = all && at != std::string::npos && close_to(std::stod(l.substr(at + name.size() + 2)), v);
        }
        if (all) return true;
    }
    return false;
}

}  // namespace

TEST(GncctlBench, PollsCommandsConditionsAndProceduresAgainstTheSimulatedBench)
{
    whole_bench::Processes bench("gncctl_e2e");
    ASSERT_TRUE(bench.ready) << bench.sim->out() << bench.sim->err();
    setenv("GNCCTL", GNCCTL_PATH, 1);

    // One poll, printed as a table: every field of the wheel's record with
    // its unit, and the line counts from the statistics that follow it.
    Outcome wheel = gncctl({"get", "wheel1"});
    ASSERT_EQ(wheel.status, 0) << show(wheel);
    EXPECT_TRUE(std::regex_search(wheel.out, std::regex("\n  speed +[-0-9.e+]+  rpm\n"))) << wheel.out;
    EXPECT_TRUE(std::regex_search(wheel.out, std::regex("\n  header_errors +0\n"))) << wheel.out;

    // As JSON, with the values the simulator sent.
    Outcome gyro = gncctl({"get", "gyro", "--json"});
    ASSERT_EQ(gyro.status, 0) << show(gyro);
    EXPECT_EQ(std::count(gyro.out.begin(), gyro.out.end(), '\n'), 1) << gyro.out;
    Json::Value g = parse_json(gyro.out);
    EXPECT_EQ(g["device"].asString(), "gyro");
    EXPECT_EQ(g["service"].asString(), "Gyro_Hardware_Service");
    EXPECT_TRUE(g["answer_ms"].isNumeric());
    const Json::Value& gf = g["fields"];
    ASSERT_TRUE(gf["x"].isNumeric() && gf["y"].isNumeric() && gf["z"].isNumeric()) << gyro.out;
    EXPECT_TRUE(simulator_sent(bench.sim->out(), "gyro",
                               {{"x", gf["x"].asDouble()}, {"y", gf["y"].asDouble()}, {"z", gf["z"].asDouble()}}))
        << gyro.out;
    Outcome wheel_json = gncctl({"get", "wheel1", "--json"});
    ASSERT_EQ(wheel_json.status, 0) << show(wheel_json);
    std::cout << "[ MEASURED ] gncctl get wheel1 --json, whole process, its service answering already: "
              << wheel_json.seconds << " s\n";
    Json::Value w = parse_json(wheel_json.out);
    EXPECT_EQ(w["device"].asString(), "wheel1");
    EXPECT_EQ(w["units"]["speed"].asString(), "rpm");
    for (const char* count : {"header_errors", "check_errors", "length_errors", "resets"})
        EXPECT_EQ(w["fields"][count], 0) << count << ": " << wheel_json.out;

    // Invalid commands: refused with the argument named, and nothing reaches
    // a service.
    struct Refused {
        std::vector<std::string> args;
        const char* names;
    };
    const Refused refused[] = {
        {{"send", "wheel1", "speed", "fast", "1.5"}, "speed: 'fast' is not a number"},
        {{"send", "wheel1", "speed", "3e6"}, "speed: 3e6 is out of range -2147483.5..2147483.5"},
        {{"send", "optical", "direct", "25"}, "0..24"},
        {{"send", "gyro", "reset"}, "no commands"},
        {{"get", "wheel9"}, "unknown device 'wheel9'"},
        {{"wait", "gyro.spin > 1"}, "gyro has no field 'spin'"},
    };
    for (const Refused& r : refused) {
        Outcome bad = gncctl(r.args);
        EXPECT_EQ(bad.status, 2) << show(bad);
        EXPECT_NE(bad.err.find(r.names), std::string::npos) << show(bad);
    }
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(bench.skardel->out().find("command received from Gncctl"), std::string::npos) << bench.skardel->out();
    EXPECT_EQ(bench.sim->out().find("[SIM] wheel0 command"), std::string::npos) << bench.sim->out();

    // A wheel commanded to a speed gets there.
    Outcome spin = gncctl({"send", "wheel1", "speed", "1500"});
    ASSERT_EQ(spin.status, 0) << show(spin);
    Outcome spun = gncctl({"wait", "wheel1.speed > 1400", "--timeout", "20"});
    EXPECT_EQ(spun.status, 0) << show(spun);

    // A condition that holds on a fresh record, and one that never does
    // (the simulated rates stay within 0.55 rad/s).
    Outcome holds = gncctl({"wait", "gyro.x > -10", "--timeout", "10"});
    EXPECT_EQ(holds.status, 0) << show(holds);
    EXPECT_NE(holds.out.find("gyro.x = "), std::string::npos) << holds.out;
    Outcome times_out = gncctl({"wait", "gyro.x", ">", "10", "--timeout", "2"});
    EXPECT_EQ(times_out.status, 1) << show(times_out);
    EXPECT_TRUE(std::regex_search(times_out.out, std::regex("gyro.x = [-0-9.e]+ .*last value seen"))) << times_out.out;

    // A passive watch sees the record that somebody else's poll brings.
    {
        ChildProcess watch(GNCCTL_PATH, {"watch", "mems", "--passive", "--json", "--count", "1"});
        int status = -1;
        for (int i = 0; i < 10 && status == -1; ++i) {
            Outcome poll = gncctl({"get", "mems", "--field", "x"});
            ASSERT_EQ(poll.status, 0) << show(poll);
            status = watch.wait_exit(1s);
        }
        ASSERT_NE(status, -1) << "the passive watch saw no record: " << watch.out() << watch.err();
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(parse_json(watch.out())["device"].asString(), "mems") << watch.out();
    }

    // The list: every service present, configured devices answered, the
    // fourth wheel (the service has three) not.
    Outcome list = gncctl({"list"});
    EXPECT_EQ(list.status, 0) << show(list);
    for (const char* row : {"\nwheel1 +Flywheel_Hardware_Service +[0-9]+ ms +0 +0 +0 +0\n",
                            "\nwheel4 +Flywheel_Hardware_Service +no answer",
                            "\nnano2 +Star_sensor_Hardware_Service +[0-9]+ ms +0 +0 +0 +0\n",
                            "\nnano3 +Star_sensor_Hardware_Service +[0-9]+ ms, empty",
                            "\noptical +Optical_Hardware_Service +[0-9]+ ms +0 +0 +0 +0\n",
                            "\nGnc_Service \\(console\\) +not seen\n"})
        EXPECT_TRUE(std::regex_search(list.out, std::regex(row))) << row << "\n" << list.out;

    // The example procedures, as an engineer runs them.
    for (const char* script : {"wheel_spin.sh", "optical_direct.sh", "vision_param.sh"}) {
        Outcome p = run("/bin/bash", {std::string(PROCEDURES_DIR) + "/" + script}, 120s);
        EXPECT_EQ(p.status, 0) << script << "\n" << show(p);
        EXPECT_NE(p.out.find("PASS"), std::string::npos) << script << "\n" << p.out;
        EXPECT_EQ(p.out.find("FAIL"), std::string::npos) << script << "\n" << p.out;
    }
    const std::string sim_log = bench.sim->out();
    EXPECT_NE(sim_log.find("[SIM] wheel0 command speed target=600 "), std::string::npos) << sim_log;
    EXPECT_NE(sim_log.find("[SIM] wheel0 command speed target=0 "), std::string::npos);
    EXPECT_NE(sim_log.find("[SIM] optical command direct 01 00\n"), std::string::npos);
    EXPECT_NE(sim_log.find("[SIM] vision command param 6 value=1.5\n"), std::string::npos);

    // A service that has left the bus.
    bench.pellwyn->signal(SIGTERM);
    ASSERT_EQ(bench.pellwyn->wait_exit(15s), 0);
    Outcome absent = gncctl({"get", "vision", "--timeout", "2"});
    EXPECT_EQ(absent.status, 3) << show(absent);
    EXPECT_NE(absent.err.find("Vision_Hardware_Service (vision) is not on the bus"), std::string::npos) << show(absent);
}
