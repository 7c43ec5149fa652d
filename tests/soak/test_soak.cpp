// Soak: the whole bench with the console polling ten times a second. Every
// request to a device must be answered, every program must stay up, and
// resident memory must not grow after warm-up.
//
//   SOAK_SECONDS=600 ctest -R Soak --output-on-failure     (the documented run)
//
// Without SOAK_SECONDS the run is short (CI). The figures are printed as a
// table and recorded as test properties.
#include "support/child_process.h"
#include "support/waiting.h"
#include "support/whole_bench.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;
using namespace whole_bench;

namespace {

int soak_seconds()
{
    const char* v = std::getenv("SOAK_SECONDS");
    int s = v ? std::atoi(v) : 0;
    return s > 0 ? s : 40;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

}  // namespace

TEST(Soak, TenTimesFasterPollingLosesNothingAndMemoryStaysFlat)
{
    const int seconds = soak_seconds();
    const int warmup = std::max(10, seconds / 5);
    Processes bench("soak");
    ASSERT_TRUE(bench.ready) << bench.sim->out() << bench.sim->err();

    Observer observer;
    setenv("CORVANE_POLL_PERIOD_MS", "100", 1);
    ChildProcess console(CORVANE_PATH);
    unsetenv("CORVANE_POLL_PERIOD_MS");
    ASSERT_TRUE(console.wait_for_output("[INFO] Polling 10 telemetry requests every 100 ms", 20s)) << console.out();

    std::vector<std::pair<std::string, ChildProcess*>> programs = bench.services();
    programs.emplace_back("devsim", bench.sim.get());
    programs.emplace_back("Corvane", &console);

    std::this_thread::sleep_for(std::chrono::seconds(warmup));
    std::map<std::string, long> rss_warm;
    for (auto& [name, p] : programs) rss_warm[name] = resident_kb(p->pid());
    std::this_thread::sleep_for(std::chrono::seconds(seconds - warmup));

    // Every program is still running.
    for (auto& [name, p] : programs) EXPECT_EQ(p->wait_exit(0ms), -1) << name << " ended: " << p->err();
    std::map<std::string, long> rss_end;
    for (auto& [name, p] : programs) rss_end[name] = resident_kb(p->pid());

    auto cutoff = Clock::now();
    std::this_thread::sleep_for(1500ms);
    auto tally = observer.tally(cutoff);

    std::printf("\nSoak: %d s, console polling every 100 ms, warm-up %d s%s\n", seconds, warmup,
                kSanitized ? " (sanitizer build: memory reported, not judged)" : "");
    std::printf("%-28s %10s %10s\n", "device", "requests", "answers");
    for (const auto& key : served_keys()) {
        const auto& t = tally[key];
        std::printf("%-28s %10d %10d\n", key.c_str(), t.asked, t.answered);
        EXPECT_GE(t.asked, seconds * 5) << key << ": the console kept polling";
        EXPECT_GE(t.answered, t.asked) << key << ": requests left unanswered";
        EXPECT_LE(t.answered, t.bound) << key << ": more answers than requests";
        RecordProperty("requests " + key, t.asked);
        RecordProperty("answers " + key, t.answered);
    }
    std::printf("%-28s %10s %10s %10s\n", "program", "rss warm", "rss end", "growth");
    for (auto& [name, p] : programs) {
        long growth = rss_end[name] - rss_warm[name];
        std::printf("%-28s %8ld kB %8ld kB %+8ld kB\n", name.c_str(), rss_warm[name], rss_end[name], growth);
        RecordProperty("rss_kb_warm " + name, int(rss_warm[name]));
        RecordProperty("rss_kb_end " + name, int(rss_end[name]));
        ASSERT_GT(rss_warm[name], 0) << name;
        // Flat: allocator noise only. (Sanitizer builds keep freed memory in
        // quarantine and shadow, so their growth says nothing about leaks.)
        if (!kSanitized) {
            EXPECT_LE(growth, 2048) << name << " grew by " << growth << " kB";
        }
    }
    std::fflush(stdout);

    console.signal(SIGTERM);
    EXPECT_EQ(console.wait_exit(10s), 0);
    for (auto& [name, p] : bench.services()) {
        p->signal(SIGTERM);
        EXPECT_EQ(p->wait_exit(15s), 0) << name << ": " << p->err();
    }
}
