// What the codec benchmarks share. Each service's program registers its
// answer decoding and command encoding, one frame per iteration, beside a
// baseline measured in the same run: copying a frame of the same length.
// Google Benchmark's own table goes to standard error; the table rows for
// scripts/benchmarks.sh go to standard output.
//
// Frames come from the simulator's encoders, so they are the answers the
// services see on the bench.
#pragma once

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <iostream>
#include <map>
#include <set>

namespace codecbench {

struct Entry {
    std::string name;
    std::string device;
    std::string what;
    std::size_t bytes;
};

inline std::vector<Entry>& entries()
{
    static std::vector<Entry> e;
    return e;
}

inline std::string copy_name(std::size_t bytes) { return "copy " + std::to_string(bytes) + " B"; }

// Registers `fn`, which handles one frame of `bytes` bytes per call.
template <class F>
void add(const std::string& device, const std::string& what, std::size_t bytes, F fn)
{
    const std::string name = device + ": " + what + " (" + std::to_string(bytes) + " B)";
    benchmark::RegisterBenchmark(name.c_str(), [fn](benchmark::State& state) {
        for (auto _ : state) fn();
        state.SetItemsProcessed(state.iterations());
    });
    entries().push_back({name, device, what, bytes});
}

// The baselines: one per frame length registered so far.
inline void add_copy_baselines()
{
    std::set<std::size_t> sizes;
    for (const Entry& e : entries()) sizes.insert(e.bytes);
    for (std::size_t n : sizes) {
        benchmark::RegisterBenchmark(copy_name(n).c_str(), [n](benchmark::State& state) {
            std::vector<uint8_t> from(n, 0x5A), to(n);
            for (auto _ : state) {
                benchmark::DoNotOptimize(from.data());
                std::memcpy(to.data(), from.data(), n);
                benchmark::ClobberMemory();
            }
            state.SetItemsProcessed(state.iterations());
        });
    }
}

class Collect : public benchmark::ConsoleReporter {
public:
    Collect()
    {
        SetOutputStream(&std::cerr);
        SetErrorStream(&std::cerr);
    }
    void ReportRuns(const std::vector<Run>& runs) override
    {
        benchmark::ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end() && !r.error_occurred) rate[r.benchmark_name()] = it->second.value;
        }
    }
    std::map<std::string, double> rate;
};

// Runs everything registered and prints the rows.
inline int run(int argc, char** argv)
{
    add_copy_baselines();
    // Short runs by default: the figures settle well within this.
    std::vector<char*> args(argv, argv + argc);
    std::string min_time = "--benchmark_min_time=0.3", color = "--benchmark_color=false";
    bool time_given = false, color_given = false;
    for (int i = 1; i < argc; ++i) {
        time_given = time_given || std::strncmp(argv[i], "--benchmark_min_time", 20) == 0;
        color_given = color_given || std::strncmp(argv[i], "--benchmark_color", 17) == 0;
    }
    if (!time_given) args.push_back(min_time.data());
    if (!color_given) args.push_back(color.data());
    int n = int(args.size());
    benchmark::Initialize(&n, args.data());
    Collect collect;
    benchmark::RunSpecifiedBenchmarks(&collect);
    benchmark::Shutdown();
    for (const Entry& e : entries()) {
        const double r = collect.rate.count(e.name) ? collect.rate[e.name] : std::nan("");
        const std::string c = copy_name(e.bytes);
        const double b = collect.rate.count(c) ? collect.rate[c] : std::nan("");
        benchkit::row("5 codecs", e.device + ": " + e.what + " (" + std::to_string(e.bytes) + " B)",
                      benchkit::grouped(r) + " frames/s (" + benchkit::fixed(1e9 / r, 1) + " ns)",
                      "memcpy of " + std::to_string(e.bytes) + " B: " + benchkit::grouped(b) + " frames/s (" +
                          benchkit::fixed(1e9 / b, 1) + " ns)",
                      "rate " + benchkit::ratio(r, b) + " of copy");
    }
    return 0;
}

}  // namespace codecbench
