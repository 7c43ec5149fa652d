// Starting the bench's programs the way scripts/bench.sh does: the simulator
// with every device on pseudo-terminals (paced at 115200 bit/s), the
// configuration files pointing at its lines, the six services, the
// line-health monitor and the console. Every program is a benchkit::Child,
// stopped by its pid when the benchmark is done with it.
#pragma once

#include "bench_support.h"

#include <memory>

namespace benchkit {

struct Program {
    std::string name;
    std::unique_ptr<Child> child;
};

// Stops programs in the reverse order of their start.
inline void stop_all(std::vector<Program>& programs)
{
    for (auto it = programs.rbegin(); it != programs.rend(); ++it) {
        if (it->child) it->child->signal(SIGTERM);
    }
    for (auto it = programs.rbegin(); it != programs.rend(); ++it) {
        if (it->child) it->child->stop();
    }
    programs.clear();
}

// The simulator with the bench's lines in `lines_dir` (created and removed
// by the simulator), its log in `log`. Null when it did not come up.
inline std::unique_ptr<Child> start_simulator(const std::string& lines_dir, const std::string& log)
{
    std::unique_ptr<Child> sim(new Child(
        {DEVSIM_PATH,
         {"--run-dir", lines_dir, "--pace", "--line", "nano1=nano", "--line", "nano2=nano", "--line", "gyro=gyro",
          "--line", "mems=mems", "--line", "wheel0=wheel:0x11", "--line", "wheel1=wheel:0x22", "--line",
          "wheel2=wheel:0x33", "--line", "optical=optical", "--line", "vision=vision"},
         "",
         log,
         log},
        "devsim"));
    const std::string ready = lines_dir + "/devsim.ready";
    if (!wait_until([&] { return access(ready.c_str(), F_OK) == 0 || !sim->running(); }, 10s) ||
        access(ready.c_str(), F_OK) != 0) {
        note("the simulator did not come up; see " + log);
        return nullptr;
    }
    return sim;
}

// The configuration files of scripts/bench.sh, in `dir`, for lines in `lines`.
inline void write_configs(const std::string& dir, const std::string& lines)
{
    write_file(dir + "/Brenvik.json", "{\n  \"star_sensors\": [\n"
                                      "    { \"type\": \"nano\", \"star_num\": 1, \"device\": \"" + lines +
                                          "/nano1\", \"baudrate\": 115200 },\n"
                                          "    { \"type\": \"nano\", \"star_num\": 2, \"device\": \"" + lines +
                                          "/nano2\", \"baudrate\": 115200 }\n  ]\n}\n");
    write_file(dir + "/Zentaro.json",
               "{ \"gyro\": { \"enabled\": true, \"device\": \"" + lines + "/gyro\", \"baudrate\": 115200 } }\n");
    write_file(dir + "/Quimbrel.json",
               "{ \"mems_sensor\": { \"device\": \"" + lines + "/mems\", \"baudrate\": 115200 } }\n");
    write_file(dir + "/Skardel.json", "{\n  \"flywheels\": [\n"
                                      "    { \"id\": 0, \"device\": \"" + lines + "/wheel0\", \"baudrate\": 115200 },\n"
                                      "    { \"id\": 1, \"device\": \"" + lines + "/wheel1\", \"baudrate\": 115200 },\n"
                                      "    { \"id\": 2, \"device\": \"" + lines + "/wheel2\", \"baudrate\": 115200 }\n"
                                      "  ]\n}\n");
    write_file(dir + "/Tavrin.json",
               "{ \"optical\": { \"device\": \"" + lines + "/optical\", \"baudrate\": 115200 } }\n");
    write_file(dir + "/Pellwyn.json",
               "{ \"vision\": { \"device\": \"" + lines + "/vision\", \"baudrate\": 115200 } }\n");
}

// The six services, in scripts/bench.sh's order, configuration files in
// `config`, one log per service in `logs`.
inline void start_services(std::vector<Program>& programs, const std::string& config, const std::string& logs)
{
    struct S {
        const char* name;
        const char* path;
        bool file_argument;  // otherwise it reads its file from its working directory
    };
    static const S services[] = {
        {"Brenvik", BRENVIK_PATH, false}, {"Skardel", SKARDEL_PATH, true}, {"Zentaro", ZENTARO_PATH, true},
        {"Quimbrel", QUIMBREL_PATH, false}, {"Tavrin", TAVRIN_PATH, true}, {"Pellwyn", PELLWYN_PATH, false},
    };
    for (const S& s : services) {
        Launch l;
        l.program = s.path;
        if (s.file_argument) {
            l.args = {config + "/" + s.name + ".json"};
        } else {
            l.workdir = config;
        }
        l.stdout_file = l.stderr_file = logs + "/" + s.name + ".log";
        programs.push_back({s.name, std::unique_ptr<Child>(new Child(l, s.name))});
    }
}

inline void start_monitor(std::vector<Program>& programs, const std::string& logs)
{
    Launch l{LINEMON_PATH, {"--log", logs + "/linemon.jsonl"}, "", logs + "/linemon.log", logs + "/linemon.log"};
    programs.push_back({"linemon", std::unique_ptr<Child>(new Child(l, "linemon"))});
}

// The console; its standard output is captured line by line when
// `capture`, otherwise it goes to a log file.
inline void start_console(std::vector<Program>& programs, const std::string& logs, bool capture)
{
    Launch l{CORVANE_PATH, {}, "", capture ? "" : logs + "/Corvane.log", logs + "/Corvane.err"};
    programs.push_back({"Corvane", std::unique_ptr<Child>(new Child(l, "Corvane"))});
}

// The extra endpoints of the scale rows: scale_crowd with `count` endpoints
// ("Scale_00", ...) asking each other once a second, its standard error in
// `log`. Stopped by its pid, like every other child.
struct CrowdReport {
    bool ok = false;  // the crowd printed its counts
    long requests = 0, answers = 0, failed = 0;
    double seconds = 0;  // from the crowd being ready to its stop
};

class Crowd {
public:
    Crowd(int count, const std::string& log)
        : count_(count),
          child_({SCALE_CROWD_PATH, {"--count", std::to_string(count)}, "", "", log}, "scale_crowd")
    {
    }

    int count() const { return count_; }
    pid_t pid() const { return child_.pid(); }

    // True once every endpoint is matched to its neighbours and the requests
    // have begun.
    bool wait_ready()
    {
        return child_.wait_lines([](const std::vector<Line>& l) { return has(l, "READY "); }, 70s);
    }

    // Stops the crowd and returns what it counted.
    CrowdReport finish()
    {
        child_.signal(SIGTERM);
        child_.wait_lines([](const std::vector<Line>& l) { return has(l, "CROWD "); }, 20s);
        child_.stop();
        CrowdReport r;
        for (const Line& l : child_.lines()) {
            if (l.text.rfind("CROWD ", 0) != 0) continue;
            r.ok = true;
            r.requests = long(field(l.text, "requests"));
            r.answers = long(field(l.text, "answers"));
            r.failed = long(field(l.text, "failed"));
            r.seconds = field(l.text, "seconds");
        }
        return r;
    }

private:
    static bool has(const std::vector<Line>& lines, const char* start)
    {
        for (const Line& l : lines)
            if (l.text.rfind(start, 0) == 0) return true;
        return false;
    }

    int count_;
    Child child_;
};

inline std::string crowd_text(const CrowdReport& r, int count)
{
    if (!r.ok) return "the crowd gave no counts";
    return std::to_string(count) + " endpoints: " + std::to_string(r.requests) + " requests, " +
           std::to_string(r.answers) + " answered, " + std::to_string(r.failed) + " failed publishes in " +
           fixed(r.seconds, 1) + " s";
}

// "1.05x (goal <= 1.2x, within)": a ratio beside its goal, nothing decided.
inline std::string against_goal(double figure, double base, double goal)
{
    if (std::isnan(figure) || std::isnan(base) || base == 0.0) return "n/a (goal <= " + fixed(goal, 1) + "x)";
    const double r = figure / base;
    return fixed(r, 2) + "x (goal <= " + fixed(goal, 1) + "x, " + (r <= goal ? "within" : "over") + ")";
}

}  // namespace benchkit
