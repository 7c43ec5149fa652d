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

}  // namespace benchkit
