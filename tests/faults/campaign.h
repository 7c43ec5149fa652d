// The frame of a fault campaign: the table a campaign runs (one request
// per step, with the fault injected on its answer and what the service's
// code does with it), the devices that answer requests and how their
// services publish, and the start of simulator, service and console.
#pragma once

#include "faults/campaign_bus.h"
#include "faults/campaign_console.h"
#include "faults/devsim_run.h"
#include "faults/fault_records.h"
#include "support/child_process.h"
#include "support/waiting.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fault_campaign {

using namespace std::chrono_literals;
using fault_records::Bytes;
using fault_records::Counts;
namespace fr = fault_records;

// Fixed, so every run draws the same garbage bytes and split pieces.
const char* const SEED = "7";
// Long enough that a service's ten quick failures and its line reset all
// happen while the line is away; the tests that want the line back before a
// reset wait for devsim's "back".
const char* const HANGUP_MS = "4000";
// The console asks once a second; after a fault the campaign leaves the line
// this long before the next request, so the tail of a spoiled answer (split
// pieces, a second answer sent back to back) is stale input by then.
constexpr auto QUIET = 500ms;
// Guards against a hang only: a silent optical unit costs ten one-second
// attempts, and sanitizer builds are several times slower.
constexpr auto REPLY_TIMEOUT = 90s;

inline std::string run_dir(const std::string& name)
{
    return testing::TempDir() + "fault_campaign_" + name + "_" + std::to_string(getpid());
}

inline void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

inline std::vector<std::string> devsim_args(const std::vector<std::string>& lines,
                                            const std::string& hangup_ms = HANGUP_MS)
{
    std::vector<std::string> args = {"--pace", "--seed", SEED, "--hangup-ms", hangup_ms};
    for (const auto& l : lines) {
        args.push_back("--line");
        args.push_back(l);
    }
    return args;
}

// One request of a campaign.
struct Step {
    const char* fault;  // devsim fault on the answer to this request; nullptr: none
    Counts delta;       // rise of the published counts
    bool good;          // the reply carries the values the device sent (else zeros)
    int answers;        // answers the device logs while this request is served
    int values_from;    // good replies: 1 = the last answer logged, 2 = the one before it
    const char* why;
    // Another rise the step may show instead of `delta`, where the kernel
    // decides between two correct outcomes (how a hung-up line ends).
    std::optional<Counts> or_delta{};
};

// A device that answers requests, and how its service publishes.
struct Device {
    std::string service;
    std::string line;
    Bytes request;
    CampaignConsole::Expect expect;
    std::size_t record_len;
    std::function<Counts(const CampaignConsole::Reply&)> counts;
    std::function<std::string(const Bytes&)> text;
    std::function<bool(const Bytes&)> values_zero;
    // Checks what every reply has in common (line id, reset-enable byte,
    // the statistics to the monitor agreeing with the console's record).
    std::function<void(const CampaignConsole::Reply&)> shape;
    // False where a failed reply does not carry the counts (the star
    // sensor's record is all zeros after a failed query).
    bool counts_when_failed = true;
};

struct Campaign {
    Campaign(DevsimRun& s, CampaignConsole& c, const Device& d) : sim(s), console(c), device(d) {}

    DevsimRun& sim;
    CampaignConsole& console;
    const Device& device;
    Counts expected{};     // counts the service should publish now
    int answers = 0;       // answers the simulator should have logged
    bool settle = false;   // leave the line quiet before the next request

    // Starts counting answers from what warming up has used.
    void start() { answers = sim.count(device.line, "answer"); }

    // Runs one step; false when the service stopped answering.
    bool run(const Step& s, const std::string& name)
    {
        SCOPED_TRACE(device.line + " step " + name);
        if (settle) std::this_thread::sleep_for(QUIET);
        settle = s.fault != nullptr || s.values_from == 2;
        if (s.fault != nullptr) {
            EXPECT_TRUE(sim.fault(device.line, s.fault)) << sim.err();
        }
        CampaignConsole::Reply r = console.ask(device.service, device.request, device.expect, REPLY_TIMEOUT);
        if (!r.complete) {
            ADD_FAILURE() << "no complete reply (" << r.gnc.size() << "/" << r.line.size() << "/" << r.raw.size()
                          << " bytes): " << s.why;
            return false;
        }
        if (r.gnc.size() != device.record_len) {
            ADD_FAILURE() << "record of " << r.gnc.size() << " bytes";
            return false;
        }
        EXPECT_EQ(r.gnc_type, "telemetry");
        device.shape(r);

        answers += s.answers;
        wait_until([&] { return sim.count(device.line, "answer") >= answers; }, 10s);
        std::vector<std::string> logged = sim.lines(device.line, "answer");
        EXPECT_EQ(int(logged.size()), answers) << "answers the device was asked for; " << s.why;
        if (int(logged.size()) != answers) answers = int(logged.size());

        const Counts before = expected;
        expected = expected + s.delta;
        if (s.good || device.counts_when_failed) {
            Counts got = device.counts(r);
            if (!(s.or_delta && got == before + *s.or_delta)) {
                EXPECT_EQ(got, expected) << s.why;
            }
            // Judge the next step by its own rise, from counts the reply
            // really carried.
            if (device.counts_when_failed || !device.values_zero(r.gnc)) expected = got;
        }
        if (s.good) {
            EXPECT_FALSE(device.values_zero(r.gnc)) << s.why;
            if (int(logged.size()) >= s.values_from) {
                EXPECT_EQ(device.text(r.gnc), logged[logged.size() - std::size_t(s.values_from)]) << s.why;
            } else {
                ADD_FAILURE() << "no answer logged to compare with";
            }
        } else {
            EXPECT_TRUE(device.values_zero(r.gnc)) << "a failed request is answered with zero values; " << s.why;
        }
        return true;
    }

    bool run_all(const std::vector<Step>& steps)
    {
        for (std::size_t i = 0; i < steps.size(); ++i) {
            std::string name = std::to_string(i + 1) + " (" + (steps[i].fault ? steps[i].fault : "none") + ")";
            if (!run(steps[i], name)) return false;
        }
        return true;
    }
};

// N requests on a healthy line get N good replies with clean counts.
inline std::vector<Step> healthy(int n)
{
    return std::vector<Step>(std::size_t(n), Step{nullptr, {}, true, 1, 1, "healthy line"});
}


// Every record arrived once, and none came unasked.
inline void expect_no_strays(CampaignConsole& console)
{
    std::this_thread::sleep_for(300ms);
    auto strays = console.strays();
    EXPECT_TRUE(strays.empty()) << strays.size() << " record(s) answered no request, the first from "
                                << (strays.empty() ? "" : strays.front().src);
}

inline void expect_clean_exit(ChildProcess& service)
{
    // What the service reported, for a failed campaign.
    if (testing::Test::HasFailure()) {
        const std::string err = service.err();
        std::cerr << "---- service's standard error (end)\n"
                  << err.substr(err.size() > 6000 ? err.size() - 6000 : 0) << "----\n";
    }
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait_exit(20s), 0) << service.err();
}

// --- Devices that answer requests --------------------------------------------

inline void rate_shape(const CampaignConsole::Reply& r, int line_id)
{
    EXPECT_EQ(fr::rate_line_id(r.gnc), line_id);
    EXPECT_EQ(fr::rate_reset_enable(r.gnc), 1);
    ASSERT_EQ(r.line.size(), fr::LINE_STATS_LEN);
    EXPECT_EQ(int(r.line[0]), line_id);
    EXPECT_EQ(fr::line_stats_counts(r.line), fr::rate_counts(r.gnc)) << "monitor and console see the same counts";
}

inline Device gyro_device()
{
    Device d;
    d.service = "Gyro_Hardware_Service";
    d.line = "gyro";
    d.request = {0xFF};
    d.record_len = fr::RATE_RECORD_LEN;
    d.counts = [](const CampaignConsole::Reply& r) { return fr::rate_counts(r.gnc); };
    d.text = fr::rate_text;
    d.values_zero = fr::rate_values_zero;
    d.shape = [](const CampaignConsole::Reply& r) {
        rate_shape(r, 3);
        EXPECT_EQ(r.raw.size(), 27u);
    };
    return d;
}

inline Device mems_device()
{
    Device d = gyro_device();
    d.service = "Mems_Hardware_Service";
    d.line = "mems";
    d.shape = [](const CampaignConsole::Reply& r) {
        rate_shape(r, 4);
        EXPECT_EQ(r.raw.size(), 44u);
    };
    return d;
}

inline Device vision_device()
{
    Device d;
    d.service = "Vision_Hardware_Service";
    d.line = "vision";
    d.request = {0xFF};
    d.record_len = fr::VISION_RECORD_LEN;
    d.counts = [](const CampaignConsole::Reply& r) { return fr::vision_counts(r.gnc); };
    d.text = fr::vision_text;
    d.values_zero = fr::vision_values_zero;
    d.shape = [](const CampaignConsole::Reply& r) {
        EXPECT_EQ(fr::vision_line_id(r.gnc), 9);
        EXPECT_EQ(fr::vision_reset_enable(r.gnc), 1);
        ASSERT_EQ(r.line.size(), fr::LINE_STATS_LEN);
        EXPECT_EQ(int(r.line[0]), 9);
        EXPECT_EQ(fr::line_stats_counts(r.line), fr::vision_counts(r.gnc));
        EXPECT_EQ(r.raw.size(), 170u);
    };
    return d;
}

inline Device optical_device()
{
    Device d;
    d.service = "Optical_Hardware_Service";
    d.line = "optical";
    d.request = {0xFF};
    d.record_len = fr::OPTICAL_RECORD_LEN;
    d.counts = [](const CampaignConsole::Reply& r) { return fr::optical_counts(r.gnc); };
    d.text = fr::optical_text;
    d.values_zero = fr::optical_values_zero;
    d.shape = [](const CampaignConsole::Reply& r) {
        EXPECT_EQ(fr::optical_reset_enable(r.gnc), 1);
        ASSERT_EQ(r.line.size(), fr::LINE_STATS_LEN);
        EXPECT_EQ(int(r.line[0]), 10);
        EXPECT_EQ(fr::line_stats_counts(r.line), fr::optical_counts(r.gnc));
        // No command was sent: the service's own command counts stay 0.
        EXPECT_EQ(int(r.gnc[20]) + r.gnc[21] + r.gnc[22], 0);
        EXPECT_EQ(r.raw.size(), 228u);
    };
    return d;
}

inline Device star_device()
{
    Device d;
    d.service = "Star_sensor_Hardware_Service";
    d.line = "nano1";
    d.request = {0x00, 0x01};
    d.expect = CampaignConsole::Expect{false, false};
    d.record_len = fr::STAR_RECORD_LEN;
    d.counts = [](const CampaignConsole::Reply& r) { return fr::star_counts(r.gnc); };
    d.text = fr::star_text;
    d.values_zero = fr::star_is_zero_record;
    d.shape = [](const CampaignConsole::Reply& r) {
        EXPECT_EQ(int(r.gnc[0]), 0) << "nano";
        EXPECT_EQ(int(r.gnc[1]), 1) << "sensor number";
        const Counts c = fr::star_counts(r.gnc);
        EXPECT_EQ(fr::star_fault_count(r.gnc), c.head + c.check + c.length + c.reset) << "the fault count is the sum";
    };
    d.counts_when_failed = false;
    return d;
}

// The start of every request/answer campaign: simulator, service, console.
struct Bench {
    std::string dir;
    std::string bus = use_private_bus(testing::TempDir());
    DevsimRun sim;
    ChildProcess service;
    CampaignConsole console;

    Bench(const std::string& dir, const std::vector<std::string>& devsim, const std::string& program,
          const std::vector<std::string>& args, const std::string& workdir,
          const std::function<void(const std::string&)>& configure)
        : dir(dir), sim(DEVSIM_PATH, dir, devsim),
          service(start(sim, dir, configure, program, args, workdir))
    {
    }

    static ChildProcess start(DevsimRun& sim, const std::string& dir,
                              const std::function<void(const std::string&)>& configure, const std::string& program,
                              const std::vector<std::string>& args, const std::string& workdir)
    {
        // The configuration names the simulator's line, which exists once
        // devsim is ready.
        if (!sim.wait_ready(20s)) ADD_FAILURE() << "devsim not ready: " << sim.err();
        configure(dir);
        return ChildProcess(program, args, workdir);
    }

    // Stops both programs, then removes the run directory with the
    // configuration written into it.
    ~Bench()
    {
        service.stop();
        sim.process().stop();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // The service and this endpoint are on the campaign's own bus.
    void expect_private_bus()
    {
        EXPECT_EQ(service.out().find("No default participant profile"), std::string::npos) << service.out();
        EXPECT_EQ(console.log().find("No default participant profile"), std::string::npos) << console.log();
    }
};

}  // namespace fault_campaign

