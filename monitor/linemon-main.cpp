// The line-health monitor: listens as "Mag_Service", prints the per-line
// table at every interval until SIGINT or SIGTERM, then leaves the bus
// cleanly and exits 0.
#include "bus_endpoint.h"
#include "linemon.h"
#include "service_skeleton.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

using namespace linemon;

int main(int argc, char** argv)
{
    std::string error;
    bool help = false;
    std::optional<Options> options = parse_options(std::vector<std::string>(argv + 1, argv + argc), error, help);
    if (help) {
        out_line(USAGE);
        return 0;
    }
    if (!options) {
        err_line("linemon: " + error);
        err_line(USAGE);
        return 2;
    }

    std::ofstream log;
    if (!options->log_path.empty()) {
        log.open(options->log_path, std::ios::out | std::ios::app);
        if (!log) {
            err_line("[ERROR] Cannot open log file " + options->log_path + ": " + std::strerror(errno));
            return 1;
        }
    }

    install_signal_handlers(false);
    // Declared before the endpoint and outliving it: the endpoint's
    // callbacks feed it until the endpoint is deleted.
    Monitor monitor(monotonic_seconds(), log.is_open() ? &log : nullptr);
    auto endpoint = std::make_unique<Vantrel>(0, BUS_SETTLE_MS, BUS_NAME,
                                              [](const std::string& text) { err_line("[linemon] " + text); });
    // One thread for both topics, in the order the messages came: a raw
    // answer belongs to the line of the statistics record sent just before.
    std::vector<std::pair<std::string, Vantrel::Callback>> subs;
    for (const std::string& topic : {TOPIC_TELEMETRY, TOPIC_RAW_TELEMETRY}) {
        subs.emplace_back(topic, [&monitor, topic](std::string src, std::string, std::string, std::string,
                                                   std::string, std::vector<unsigned char>& data) {
            monitor.receive(topic, src, data, receive_time_now());
        });
    }
    if (!vantrel_create_subs_in_order(*endpoint, subs, destination_filter(BUS_NAME))) {
        err_line("[ERROR] Cannot subscribe to " + TOPIC_TELEMETRY + " and " + TOPIC_RAW_TELEMETRY);
        endpoint.reset();
        return 1;
    }
    out_line(std::string("[INFO] linemon listening as ") + BUS_NAME + ", report every " +
             std::to_string(options->interval_ms) + " ms" +
             (options->log_path.empty() ? "" : ", log " + options->log_path));

    using Clock = std::chrono::steady_clock;
    auto next_report = Clock::now() + std::chrono::milliseconds(options->interval_ms);
    bool log_failure_reported = false;
    while (running.load()) {
        if (Clock::now() < next_report) {
            // Waking five times a second is enough to notice a stop; the
            // records themselves arrive on the endpoint's own thread.
            auto left = next_report - Clock::now();
            std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(200)));
            continue;
        }
        next_report += std::chrono::milliseconds(options->interval_ms);
        // A stalled loop (stopped process) reports once, then keeps cadence.
        if (next_report < Clock::now()) next_report = Clock::now() + std::chrono::milliseconds(options->interval_ms);
        out_line(format_report(monitor.take_report(monotonic_seconds())));
        if (!log_failure_reported && monitor.log_failed()) {
            err_line("[ERROR] Writing the log file " + options->log_path + " failed; records are no longer logged");
            log_failure_reported = true;
        }
    }

    endpoint.reset();
    out_line("[INFO] linemon stopped");
    return 0;
}
