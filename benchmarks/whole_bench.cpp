// The whole bench as scripts/bench.sh runs it: the simulator with every
// device (paced), the six services, the line-health monitor and the console.
//
//   whole_bench idle [--seconds 60] [--warmup 10]
//       CPU (share of one core, from utime + stime in /proc/<pid>/stat) and
//       resident memory (VmRSS) of every program over `seconds` of normal
//       polling, after `warmup` seconds. Baseline: one bare Fast DDS
//       participant with two writers and two filtered readers (bus_raw
//       --role idle), alone on the bus for the same time.
//
//   whole_bench startup [--runs 5]
//       With the simulator already up, from launching the services, the
//       monitor and the console to the first console cycle in which every
//       device's block is printed, from the console's output lines as they
//       arrive. A cycle is one second of the console's cadence, counted from
//       its "Polling ..." line. Baseline: two bare participants started
//       together, until both have their writer matched to the other's reader.
//
//   whole_bench scale [--seconds 60] [--warmup 10] [--crowd 24]
//       The idle figures again with `crowd` extra endpoints on the bus
//       (scale_crowd, asking each other once a second), against the same
//       figures without them: after `warmup`, half of `seconds` without, then
//       `seconds` with the extras (measured from 5 s after they are ready),
//       then the other half without (from 3 s after they are gone). The
//       crowd's own CPU is shown apart, not counted in the bench's.
#include "bench_launch.h"

#include <map>
#include <set>

using namespace benchkit;

namespace {

bool refuse_if_busy()
{
    auto busy = bench_programs_running();
    if (busy.empty()) return false;
    std::string list;
    for (auto& b : busy) list += " " + b;
    note("bench programs are running (" + list + " ); they share DDS domain 0 with ours");
    return true;
}

int occurrences(const std::string& hay, const std::string& needle)
{
    int n = 0;
    for (auto pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + needle.size())) ++n;
    return n;
}

struct Usage {
    double cpu_percent = std::nan("");
    double rss_mib = std::nan("");
    double peak_mib = std::nan("");
    double anon_mib = std::nan(""), file_mib = std::nan(""), shmem_mib = std::nan(""), pss_mib = std::nan("");
};

// Samples every pid over `seconds`; the processes must stay up throughout.
std::map<std::string, Usage> measure(const std::vector<std::pair<std::string, pid_t>>& pids, int seconds)
{
    std::map<std::string, ProcSample> before;
    for (auto& p : pids) before[p.first] = sample_process(p.second);
    const auto t0 = Clock::now();
    nap(std::chrono::seconds(seconds));
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    std::map<std::string, Usage> out;
    for (auto& p : pids) {
        ProcSample after = sample_process(p.second);
        Usage u;
        if (after.ok && before[p.first].ok) {
            u.cpu_percent = double(after.cpu_ticks - before[p.first].cpu_ticks) / ticks_per_second() / elapsed * 100.0;
            u.rss_mib = after.rss_kb / 1024.0;
            u.peak_mib = after.hwm_kb / 1024.0;
            u.anon_mib = after.anon_kb / 1024.0;
            u.file_mib = after.file_kb / 1024.0;
            u.shmem_mib = after.shmem_kb / 1024.0;
            u.pss_mib = after.pss_kb / 1024.0;
        } else {
            note(p.first + " was gone before the measurement ended");
        }
        out[p.first] = u;
    }
    return out;
}

// Two windows of one program as one: CPU weighted by each window's length,
// memory from the first (memory the second shows may be left from between).
Usage combined(const Usage& a, double a_seconds, const Usage& b, double b_seconds)
{
    Usage u = a;
    u.cpu_percent = (a.cpu_percent * a_seconds + b.cpu_percent * b_seconds) / (a_seconds + b_seconds);
    return u;
}

std::string usage_text(const Usage& u)
{
    // RSS counts shared library pages in full in every process; the split
    // and the proportional share (PSS) show what is the program's own.
    return "CPU " + fixed(u.cpu_percent, 3) + " % of one core, RSS " + fixed(u.rss_mib, 1) + " MiB (peak " +
           fixed(u.peak_mib, 1) + "; anon " + fixed(u.anon_mib, 1) + ", files " + fixed(u.file_mib, 1) + ", shm " +
           fixed(u.shmem_mib, 1) + "; PSS " + fixed(u.pss_mib, 1) + ")";
}

int idle(int seconds, int warmup)
{
    if (refuse_if_busy()) return 3;
    TempDir tmp("gnc-bench-idle");
    const std::string lines = tmp.path() + "/lines";
    std::map<std::string, Usage> bench;
    std::vector<std::string> order;
    {
        std::unique_ptr<Child> sim = start_simulator(lines, tmp.path() + "/devsim.log");
        if (!sim) return 1;
        write_configs(tmp.path(), lines);
        std::vector<Program> programs;
        start_services(programs, tmp.path(), tmp.path());
        start_monitor(programs, tmp.path());
        start_console(programs, tmp.path(), false);
        note("idle: whole bench up; " + std::to_string(warmup) + " s to settle, then " + std::to_string(seconds) +
             " s measured");
        if (!nap(std::chrono::seconds(warmup))) return 1;
        std::vector<std::pair<std::string, pid_t>> pids;
        for (auto& p : programs) {
            pids.push_back({p.name, p.child->pid()});
            order.push_back(p.name);
        }
        pids.push_back({"devsim", sim->pid()});
        bench = measure(pids, seconds);
        if (stopping()) return 1;
        // A console that polled throughout shows its blocks in its log.
        const std::string log = read_file(tmp.path() + "/Corvane.log");
        note("idle: the console printed " + std::to_string(occurrences(log, "Telemetry ==========")) +
             " telemetry blocks");
        stop_all(programs);
        sim->stop();
    }

    note("idle: baseline, a bare participant alone for the same time");
    Usage base;
    {
        Child bare({BUS_RAW_PATH, {"--role", "idle"}, "", "", ""}, "bare participant");
        if (!bare.wait_lines([](const std::vector<Line>& l) { return !l.empty(); }, 20s)) return 1;
        if (!nap(std::chrono::seconds(warmup))) return 1;
        base = measure({{"bare", bare.pid()}}, seconds)["bare"];
        bare.stop();
    }
    if (stopping()) return 1;

    const std::string section = "3 idle cost, " + std::to_string(seconds) + " s of polling";
    const std::string base_text = "bare participant: " + usage_text(base);
    double cpu = 0, rss = 0, pss = 0;
    for (const auto& name : order) {
        const Usage& u = bench[name];
        cpu += u.cpu_percent;
        rss += u.rss_mib;
        pss += u.pss_mib;
        row(section, name, usage_text(u), base_text,
            "CPU " + ratio(u.cpu_percent, base.cpu_percent) + ", RSS " + ratio(u.rss_mib, base.rss_mib));
    }
    row(section, "whole bench (6 services, linemon, Corvane)",
        "CPU " + fixed(cpu, 3) + " % of one core, RSS " + fixed(rss, 1) + " MiB (PSS " + fixed(pss, 1) + ")",
        base_text,
        "with devsim: CPU " + fixed(cpu + bench["devsim"].cpu_percent, 3) + " %");
    row(section, "devsim (simulator, not part of the bench)", usage_text(bench["devsim"]), base_text, "");
    return 0;
}

int scale(int seconds, int warmup, int crowd_count)
{
    if (refuse_if_busy()) return 3;
    TempDir tmp("gnc-bench-scale");
    const std::string lines = tmp.path() + "/lines";
    const int first_half = seconds / 2, second_half = seconds - seconds / 2;
    std::map<std::string, Usage> without, with;
    std::vector<std::string> order;
    CrowdReport report;
    {
        std::unique_ptr<Child> sim = start_simulator(lines, tmp.path() + "/devsim.log");
        if (!sim) return 1;
        write_configs(tmp.path(), lines);
        std::vector<Program> programs;
        start_services(programs, tmp.path(), tmp.path());
        start_monitor(programs, tmp.path());
        start_console(programs, tmp.path(), false);
        note("scale: whole bench up; " + std::to_string(warmup) + " s to settle, " + std::to_string(first_half) +
             " s without the extras, " + std::to_string(seconds) + " s with " + std::to_string(crowd_count) +
             ", " + std::to_string(second_half) + " s without again");
        if (!nap(std::chrono::seconds(warmup))) return 1;
        std::vector<std::pair<std::string, pid_t>> pids;
        for (auto& p : programs) {
            pids.push_back({p.name, p.child->pid()});
            order.push_back(p.name);
        }
        pids.push_back({"devsim", sim->pid()});
        std::map<std::string, Usage> first = measure(pids, first_half);
        if (stopping()) return 1;
        {
            Crowd crowd(crowd_count, tmp.path() + "/scale_crowd.log");
            if (!crowd.wait_ready()) {
                note("the extra endpoints were not matched within 70 s; see " + tmp.path() + "/scale_crowd.log");
                return 1;
            }
            if (!nap(5s)) return 1;
            std::vector<std::pair<std::string, pid_t>> with_pids = pids;
            with_pids.push_back({"scale_crowd", crowd.pid()});
            with = measure(with_pids, seconds);
            if (stopping()) return 1;
            report = crowd.finish();
        }
        if (!nap(3s)) return 1;
        std::map<std::string, Usage> second = measure(pids, second_half);
        if (stopping()) return 1;
        for (auto& p : pids) without[p.first] = combined(first[p.first], first_half, second[p.first], second_half);
        stop_all(programs);
        sim->stop();
    }

    const std::string section = "6 scale: idle cost with " + std::to_string(crowd_count) +
                                " extra endpoints, 1 request/s each, " + std::to_string(seconds) + " s each way";
    auto short_text = [](const Usage& u) {
        return "CPU " + fixed(u.cpu_percent, 3) + " % of one core, RSS " + fixed(u.rss_mib, 1) + " MiB (PSS " +
               fixed(u.pss_mib, 1) + ")";
    };
    double cpu_with = 0, cpu_without = 0, rss_with = 0, rss_without = 0;
    for (const auto& name : order) {
        const Usage& w = with[name];
        const Usage& o = without[name];
        cpu_with += w.cpu_percent;
        cpu_without += o.cpu_percent;
        rss_with += w.rss_mib;
        rss_without += o.rss_mib;
        row(section, name, short_text(w), "without the extras: " + short_text(o),
            "CPU " + against_goal(w.cpu_percent, o.cpu_percent, 1.2) + ", RSS " + ratio(w.rss_mib, o.rss_mib));
    }
    row(section, "whole bench (6 services, linemon, Corvane)",
        "CPU " + fixed(cpu_with, 3) + " % of one core (goal <= 1.0 %), RSS " + fixed(rss_with, 1) + " MiB",
        "without the extras: CPU " + fixed(cpu_without, 3) + " %, RSS " + fixed(rss_without, 1) + " MiB",
        "CPU " + against_goal(cpu_with, cpu_without, 1.2) + ", RSS " + ratio(rss_with, rss_without));
    row(section, "devsim (simulator, not part of the bench)", short_text(with["devsim"]),
        "without the extras: " + short_text(without["devsim"]), "CPU " + ratio(with["devsim"].cpu_percent,
                                                                               without["devsim"].cpu_percent));
    row(section, "scale_crowd (the extras, not part of the bench)", short_text(with["scale_crowd"]), "",
        crowd_text(report, crowd_count));
    return 0;
}

// ---------------------------------------------------------------------------

const std::vector<std::string> kDeviceKeys = {"star 1", "star 2", "wheel 1", "wheel 2", "wheel 3",
                                              "gyro",   "MEMS",   "optical", "vision"};

struct StartupRun {
    double first_poll = std::nan("");     // s from launch to the console's "Polling" line
    double every_device = std::nan("");   // s from launch to each device's first block
    double complete_cycle = std::nan("");  // s from launch to the first complete cycle
};

// The console's blocks in its output: device key and arrival time.
std::vector<std::pair<std::string, Clock::time_point>> blocks(const std::vector<Line>& lines)
{
    std::vector<std::pair<std::string, Clock::time_point>> out;
    std::string pending;  // a star or wheel block waits for its number line
    Clock::time_point pending_at;
    for (const Line& l : lines) {
        const std::string& t = l.text;
        if (!pending.empty()) {
            const std::string number = pending == "star" ? "标号: " : "飞轮ID: ";
            if (t.rfind(number, 0) == 0) {
                out.push_back({pending + " " + t.substr(number.size()), pending_at});
                pending.clear();
            }
            continue;
        }
        if (t.find("Star Sensor Telemetry ==") != std::string::npos) {
            pending = "star";
            pending_at = l.at;
        } else if (t.find("FLYWHEEL Telemetry ==") != std::string::npos) {
            pending = "wheel";
            pending_at = l.at;
        } else if (t.find("Gyroscope Telemetry ==") != std::string::npos) {
            out.push_back({"gyro", l.at});
        } else if (t.find("MEMS Telemetry ==") != std::string::npos) {
            out.push_back({"MEMS", l.at});
        } else if (t.find("OPTICAL Telemetry ==") != std::string::npos) {
            out.push_back({"optical", l.at});
        } else if (t.find("VISION Telemetry ==") != std::string::npos) {
            out.push_back({"vision", l.at});
        }
    }
    return out;
}

// Fills `run` from the lines so far; true once a complete cycle was seen.
bool evaluate(const std::vector<Line>& lines, Clock::time_point launch, StartupRun& run)
{
    Clock::time_point c0{};
    for (const Line& l : lines) {
        if (l.text.find("[INFO] Polling ") != std::string::npos) {
            c0 = l.at;
            break;
        }
    }
    if (c0 == Clock::time_point{}) return false;
    run.first_poll = std::chrono::duration<double>(c0 - launch).count();

    std::map<std::string, Clock::time_point> first;
    std::map<long, std::map<std::string, Clock::time_point>> cycles;
    for (const auto& b : blocks(lines)) {
        first.emplace(b.first, b.second);
        const long k = long(std::floor(std::chrono::duration<double>(b.second - c0).count()));
        cycles[k].emplace(b.first, b.second);
    }
    if (first.size() >= kDeviceKeys.size()) {
        Clock::time_point last{};
        for (const auto& k : kDeviceKeys) last = std::max(last, first[k]);
        run.every_device = std::chrono::duration<double>(last - launch).count();
    }
    for (const auto& c : cycles) {
        bool all = true;
        Clock::time_point last{};
        for (const auto& k : kDeviceKeys) {
            auto it = c.second.find(k);
            if (it == c.second.end()) {
                all = false;
                break;
            }
            last = std::max(last, it->second);
        }
        if (all) {
            run.complete_cycle = std::chrono::duration<double>(last - launch).count();
            return true;
        }
    }
    return false;
}

std::string runs_text(const std::vector<double>& v)
{
    std::string s;
    for (double x : v) s += (s.empty() ? "" : ", ") + fixed(x, 2);
    return s;
}

int startup(int runs)
{
    if (refuse_if_busy()) return 3;
    TempDir tmp("gnc-bench-startup");
    const std::string lines = tmp.path() + "/lines";
    std::vector<double> complete, first_poll, every;
    {
        std::unique_ptr<Child> sim = start_simulator(lines, tmp.path() + "/devsim.log");
        if (!sim) return 1;
        write_configs(tmp.path(), lines);
        for (int r = 0; r < runs && !stopping(); ++r) {
            std::vector<Program> programs;
            const auto launch = Clock::now();
            start_services(programs, tmp.path(), tmp.path());
            start_monitor(programs, tmp.path());
            start_console(programs, tmp.path(), true);
            Child& console = *programs.back().child;
            StartupRun run;
            bool done = console.wait_lines(
                [&](const std::vector<Line>& l) { return evaluate(l, launch, run); }, 60s);
            evaluate(console.lines(), launch, run);
            note("start-up run " + std::to_string(r + 1) + ": first poll " + fixed(run.first_poll, 3) +
                 " s, every device " + fixed(run.every_device, 3) + " s, first complete cycle " +
                 (done ? fixed(run.complete_cycle, 3) + " s" : "not within 60 s"));
            complete.push_back(run.complete_cycle);
            first_poll.push_back(run.first_poll);
            every.push_back(run.every_device);
            stop_all(programs);
            nap(1s);
        }
        sim->stop();
    }
    if (stopping()) return 1;

    std::vector<double> discovery;
    for (int r = 0; r < runs && !stopping(); ++r) {
        const auto launch = Clock::now();
        Child a({BUS_RAW_PATH, {"--role", "discover", "--name", "Probe_A"}, "", "", ""}, "probe A");
        Child b({BUS_RAW_PATH, {"--role", "discover", "--name", "Probe_B"}, "", "", ""}, "probe B");
        auto matched = [](const std::vector<Line>& l) {
            for (const Line& x : l)
                if (x.text.rfind("MATCHED ", 0) == 0) return true;
            return false;
        };
        double t = std::nan("");
        if (a.wait_lines(matched, 30s) && b.wait_lines(matched, 30s)) {
            double latest = 0;
            for (Child* c : {&a, &b}) {
                for (const Line& x : c->lines()) {
                    if (x.text.rfind("MATCHED ", 0) == 0) latest = std::max(latest, field(x.text, "ns"));
                }
            }
            t = (latest - double(monotonic_ns(launch))) / 1e9;
        }
        discovery.push_back(t);
        note("discovery run " + std::to_string(r + 1) + ": " + fixed(t, 3) + " s");
        a.signal(SIGTERM);
        b.signal(SIGTERM);
        a.stop();
        b.stop();
        nap(500ms);
    }
    if (stopping()) return 1;

    const std::string section = "4 start-up, simulator already up, " + std::to_string(runs) + " runs";
    const std::string base = "two bare participants matched: median " + fixed(median(discovery), 3) + " s (" +
                             runs_text(discovery) + ")";
    row(section, "launch to first console cycle with every device's block",
        "median " + fixed(median(complete), 3) + " s (" + runs_text(complete) + ")", base,
        ratio(median(complete), median(discovery)));
    row(section, "launch to every device's first block",
        "median " + fixed(median(every), 3) + " s (" + runs_text(every) + ")", base,
        ratio(median(every), median(discovery)));
    row(section, "launch to the console's first poll",
        "median " + fixed(median(first_poll), 3) + " s (" + runs_text(first_poll) + ")", base,
        ratio(median(first_poll), median(discovery)));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    install_stop_handlers();
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: whole_bench idle|scale [--seconds N] [--warmup N] [--crowd N] | startup [--runs N]\n");
        return 2;
    }
    const std::string what = argv[1];
    int seconds = 60, warmup = 10, runs = 5, crowd = 24;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const int v = std::stoi(argv[i + 1]);
        if (k == "--seconds") seconds = v;
        else if (k == "--warmup") warmup = v;
        else if (k == "--runs") runs = v;
        else if (k == "--crowd") crowd = v;
    }
    if (what == "idle") return idle(seconds, warmup);
    if (what == "startup") return startup(runs);
    if (what == "scale") return scale(seconds, warmup, crowd);
    std::fprintf(stderr, "whole_bench: unknown benchmark %s\n", what.c_str());
    return 2;
}
