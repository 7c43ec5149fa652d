// Bus round trip and one-way throughput: Vantrel against raw Fast DDS with
// the same message type, QoS and local transports, with Fast DDS's SQL
// content filter on `dest` and without any filter. Each of the three runs is
// a requester process that starts its own replier process; their RESULT
// lines become the table's rows.
//
//   bus_bench [--count N] [--messages N]
#include "bench_support.h"

#include <map>

using namespace benchkit;

namespace {

struct RoundTrip {
    double p50 = std::nan(""), p99 = std::nan("");
    int n = 0, lost = 0;
};

struct Throughput {
    bool ok = false;
    int sent = 0, failed = 0;
    long long received = 0;
    double rate = std::nan("");
    std::string rates;
};

struct Outcome {
    std::map<int, RoundTrip> rt;
    Throughput tp;
};

Outcome run(const std::string& label, const std::string& program, std::vector<std::string> args)
{
    note("bus: " + label);
    Outcome o;
    Child c({program, args, "", "", ""}, label);
    if (c.wait_exit(240s) == -1) {
        note(label + ": no result within 240 s");
        c.stop();
    }
    for (const auto& l : c.lines()) {
        if (l.text.rfind("RESULT rt ", 0) == 0) {
            RoundTrip r;
            r.p50 = field(l.text, "p50_ms");
            r.p99 = field(l.text, "p99_ms");
            r.n = int(field(l.text, "n"));
            r.lost = int(field(l.text, "lost"));
            o.rt[int(field(l.text, "size"))] = r;
            note(label + ": " + l.text.substr(7));
        } else if (l.text.rfind("RESULT tp ", 0) == 0) {
            o.tp.ok = true;
            o.tp.sent = int(field(l.text, "sent"));
            o.tp.failed = int(field(l.text, "failed"));
            o.tp.received = (long long)field(l.text, "received");
            o.tp.rate = field(l.text, "rate");
            auto at = l.text.find("rates=");
            if (at != std::string::npos) o.tp.rates = l.text.substr(at + 6);
            note(label + ": " + l.text.substr(7));
        }
    }
    return o;
}

std::string rt_text(const RoundTrip& r, bool p99)
{
    std::string s = ms(p99 ? r.p99 : r.p50);
    if (r.lost) s += " (" + std::to_string(r.lost) + " lost)";
    return s;
}

std::string tp_text(const Throughput& t)
{
    if (!t.ok) return "n/a";
    std::string s = grouped(t.rate) + " msg/s (" + std::to_string(t.received) + "/" + std::to_string(t.sent) +
                    " received; bursts " + t.rates;
    if (t.failed) s += ", " + std::to_string(t.failed) + " writes failed";
    return s + ")";
}

}  // namespace

int main(int argc, char** argv)
{
    install_stop_handlers();
    auto busy = bench_programs_running();
    if (!busy.empty()) {
        std::string list;
        for (auto& b : busy) list += " " + b;
        note("bench programs are running (" + list + " ); they share DDS domain 0 with ours");
        return 3;
    }
    std::string count = "2000", messages = "20000";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        if (k == "--count") count = argv[i + 1];
        if (k == "--messages") messages = argv[i + 1];
    }
    const std::vector<std::string> common = {"--count", count, "--messages", messages};
    auto with = [&](std::vector<std::string> a) {
        a.insert(a.end(), common.begin(), common.end());
        return a;
    };
    Outcome plain = run("raw Fast DDS, no filter", BUS_RAW_PATH, with({"--role", "requester", "--filter", "none"}));
    if (stopping()) return 1;
    Outcome sql = run("raw Fast DDS, SQL filter", BUS_RAW_PATH, with({"--role", "requester", "--filter", "sql"}));
    if (stopping()) return 1;
    // The endpoint's own hand-over to a worker thread on the raw baseline:
    // how much of the difference that hand-over alone makes.
    Outcome hop = run("raw Fast DDS, no filter, handler on a worker thread", BUS_RAW_PATH,
                      with({"--role", "requester", "--filter", "hop"}));
    if (stopping()) return 1;
    Outcome vantrel = run("Vantrel", BUS_VANTREL_PATH, with({"--role", "requester"}));
    if (stopping()) return 1;

    const std::string section = "1 bus, 2 processes";
    for (int size : {41, 228}) {
        for (bool p99 : {false, true}) {
            const double v = p99 ? vantrel.rt[size].p99 : vantrel.rt[size].p50;
            const double n = p99 ? plain.rt[size].p99 : plain.rt[size].p50;
            const double s = p99 ? sql.rt[size].p99 : sql.rt[size].p50;
            const double h = p99 ? hop.rt[size].p99 : hop.rt[size].p50;
            row(section,
                "round trip 2 B -> " + std::to_string(size) + " B, " + (p99 ? "p99" : "p50") + " of " + count,
                "Vantrel " + rt_text(vantrel.rt[size], p99),
                "raw no filter " + rt_text(plain.rt[size], p99) + "; raw SQL filter " + rt_text(sql.rt[size], p99) +
                    "; raw + worker thread " + rt_text(hop.rt[size], p99),
                "Vantrel/raw no filter " + ratio(v, n) + "; Vantrel/raw SQL " + ratio(v, s) +
                    "; raw + worker/raw no filter " + ratio(h, n));
        }
    }
    row(section, "one-way 41 B back to back, median of 3 bursts of " + messages, "Vantrel " + tp_text(vantrel.tp),
        "raw SQL filter " + tp_text(sql.tp) + "; raw no filter " + tp_text(plain.tp),
        "Vantrel/raw SQL " + ratio(vantrel.tp.rate, sql.tp.rate) + "; Vantrel/raw no filter " +
            ratio(vantrel.tp.rate, plain.tp.rate));
    return 0;
}
