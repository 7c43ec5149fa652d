// A bus client for the operator tools: joins the bus under a name of its
// own, polls devices as the console does, sends commands and reads every
// record on "Telemetry" through the endpoint's observe-all subscription.
//
// The services send most records to "Gnc_Service" whoever asked, and their
// line statistics to "Mag_Service"; a client reads both, decoded.
#pragma once

#include "bus_endpoint.h"
#include "command_catalog.h"
#include "telemetry_records.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace bus {

using Clock = std::chrono::steady_clock;

extern const std::string TOPIC_TELEMETRY;  // "Telemetry"
extern const std::string TOPIC_COMMAND;    // "Command"
extern const std::string CONSOLE;          // "Gnc_Service"
extern const std::string MONITOR;          // "Mag_Service"

// The line counts as field names, in the order the records carry them.
extern const char* const LINE_COUNT_KEYS[4];
bool is_line_count(const std::string& key);
double line_count(const telemetry::LineStatistics& s, const std::string& key);
// Whether a record carries its line counts (the wheels' records carry none:
// their counts come in line statistics records).
bool has_line_counts(const telemetry::Record& record);
// Adds the counts of `s` to a record that does not carry them.
void merge_line_statistics(telemetry::Record& record, const telemetry::LineStatistics& s);

// What the observe-all subscription saw: a device record or a line
// statistics record, with the time it arrived.
struct Observation {
    bool is_record = true;
    telemetry::Record record;        // is_record
    telemetry::LineStatistics line;  // !is_record
    std::string source;
    Clock::time_point at;
    std::chrono::system_clock::time_point wall;
};

class Client {
public:
    using Log = std::function<void(const std::string&)>;
    // Binds as `name` with no start-up window: a client publishes only to
    // destinations it has seen matched, so nothing needs holding back. `log`
    // gets the endpoint's messages and the client's own (join times, records
    // it could not decode); errors begin with "[ERROR]".
    Client(std::string name, Log log);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    const std::string& name() const { return name_; }
    bool ok() const { return ok_; }
    // Waits until every one of `services` subscribes to `topic`, or until
    // `deadline`; returns those that do. May join the bus again meanwhile
    // (see bus_client.cpp), so call it before polling.
    std::vector<std::string> wait_matched(const std::string& topic, const std::vector<std::string>& services,
                                          Clock::time_point deadline);
    bool wait_matched(const std::string& topic, const std::string& service, Clock::time_point deadline);
    bool matched(const std::string& topic, const std::string& service);
    // One telemetry request, as the console sends it; returns when it went out.
    Clock::time_point poll(const telemetry::DeviceAddress& address);
    Clock::time_point send(const commands::Built& command);
    // Whether what went to `service` on `topic` was acknowledged by its
    // subscription by `deadline` (it receives it then at the latest).
    bool acknowledged(const std::string& topic, const std::string& service, Clock::time_point deadline);
    // The oldest observation not taken yet, waiting up to `deadline`;
    // nothing at the deadline or once the process is told to stop.
    std::optional<Observation> next(Clock::time_point deadline);
    // The latest line statistics seen for `device` since `since`.
    std::optional<telemetry::LineStatistics> line_statistics(const std::string& device, Clock::time_point since);

private:
    void join();
    void observe(const std::string& src, const std::string& dest, const std::string& type,
                 const std::vector<unsigned char>& data);

    std::string name_;
    Log log_;
    bool ok_ = false;
    Clock::time_point joined_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Observation> queue_;
    std::map<std::string, std::pair<Clock::time_point, telemetry::LineStatistics>> latest_line_;
    std::unique_ptr<Vantrel> endpoint_;  // last: its callbacks end before the rest goes
};

}  // namespace bus
