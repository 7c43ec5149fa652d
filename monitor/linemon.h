// linemon: the line-health monitor. It serves the bus name "Mag_Service",
// to which the hardware services send, after every telemetry request, their
// serial line statistics ("Telemetry") and the raw device frame
// ("Raw_Telemetry"). This library holds everything but the program's main:
// the per-line table, its text form and the JSON Lines log. The statistics
// records are decoded by the shared telemetry library.
#pragma once

#include "telemetry_records.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace linemon {

extern const char* const BUS_NAME;  // "Mag_Service"

// The four counts every line statistics record carries, in record order.
enum CountIndex { COUNT_HEADER = 0, COUNT_CHECKSUM = 1, COUNT_LENGTH = 2, COUNT_RESET = 3, COUNT_KINDS = 4 };
using Counts = std::array<uint32_t, COUNT_KINDS>;

// Names used in the table's rise marker and in the log ("header", "check",
// "length", "reset").
extern const std::array<const char*, COUNT_KINDS> COUNT_NAMES;

// The four counts of a line statistics record (decoded by
// telemetry::decode_line_statistics), in record order.
Counts counts_of(const telemetry::LineStatistics& s);

// Short name of a source's device kind ("gyro", "wheel", ...); the source
// itself when it is not one the bench knows.
std::string source_short_name(const std::string& source);

// Counts that went up from `before` to `after`, for counts `bits` wide that
// wrap (255 -> 0 is a rise of 1 for 8-bit counts).
uint32_t wrapped_rise(uint32_t before, uint32_t after, unsigned bits);

// What a received record was taken as (for the log).
struct Observation {
    enum Kind { STATISTICS, RAW, UNRECOGNISED } kind = UNRECOGNISED;
    std::optional<int> line_id;  // empty: unknown line
    std::string line_name;
    Counts counts{};  // statistics only
};

// One row of a report.
struct ReportRow {
    std::optional<int> line_id;  // empty: the source's unknown line
    std::string line_name;       // for an unknown line: "<short source name>?"
    std::string source;
    bool has_counts = false;  // false until a statistics record arrived
    Counts counts{};
    Counts rose{};  // rise since the previous report
    uint64_t raw_frames = 0;
    double raw_per_s = 0.0;  // over the interval that ends with this report
    std::optional<std::size_t> last_raw_len;
    double age_s = 0.0;  // since the line's last record of either kind
};

struct Report {
    uint64_t number = 0;  // 1 for the first report
    double interval_s = 0.0;
    std::vector<ReportRow> rows;  // by line id, unknown lines last
    std::map<std::string, uint64_t> unrecognised;  // per source, since start
    uint64_t unrecognised_new = 0;                 // since the previous report
};

// The per-line state. Times are monotonic seconds. Not thread-safe (Monitor
// below is).
class LineTable {
public:
    explicit LineTable(double start_s);

    Observation on_statistics(const std::string& source, const std::vector<uint8_t>& payload, double now_s);
    Observation on_raw(const std::string& source, const std::vector<uint8_t>& payload, double now_s);
    // Builds the report and starts the next interval (rates and rises).
    Report take_report(double now_s);

private:
    // Lines are told apart by source as well as id: the wheels' ids 9 and 10
    // are also the vision and optical ids.
    struct Key {
        std::optional<int> line_id;
        std::string source;
        bool operator<(const Key& o) const;
    };
    struct Line {
        std::string name;
        bool has_counts = false;
        unsigned count_bits = 8;
        Counts counts{};
        Counts rose{};
        uint64_t raw_frames = 0;
        uint64_t raw_in_interval = 0;
        std::optional<std::size_t> last_raw_len;
        double last_record_s = 0.0;
    };
    Line& line(const Key& key, const std::string& name);

    std::map<Key, Line> lines_;
    // The line of each source's latest statistics record; empty after an
    // unrecognised one.
    std::map<std::string, std::optional<int>> current_line_;
    std::map<std::string, uint64_t> unrecognised_;
    uint64_t unrecognised_new_ = 0;
    double interval_start_s_;
    uint64_t reports_ = 0;
};

// The report as fixed-width text (see monitor/README.md), ending in a newline.
std::string format_report(const Report& report);

// "2024-05-01T12:00:03.123Z".
std::string iso8601_utc_ms(std::chrono::system_clock::time_point t);
std::string hex_string(const std::vector<uint8_t>& bytes);

// When a record was received: wall-clock time and monotonic seconds.
struct ReceiveTime {
    std::chrono::system_clock::time_point wall;
    double mono_s = 0.0;
};

// One JSON object (without a newline) describing a received record.
std::string record_json(const ReceiveTime& when, const std::string& topic, const std::string& source,
                        const std::vector<uint8_t>& payload, const Observation& seen);

// The table and the optional log behind one mutex, fed from the bus
// endpoint's callbacks and read by the reporting loop.
class Monitor {
public:
    // `log`: where JSON Lines go (may be null); flushed after every line.
    Monitor(double start_s, std::ostream* log);

    void receive(const std::string& topic, const std::string& source, const std::vector<uint8_t>& payload,
                 const ReceiveTime& when);
    Report take_report(double now_s);
    bool log_failed() const;

private:
    mutable std::mutex mutex_;
    LineTable table_;
    std::ostream* log_;
};

ReceiveTime receive_time_now();
double monotonic_seconds();

struct Options {
    std::string log_path;  // empty: no log
    long interval_ms = 1000;
};

extern const char* const USAGE;

// Parses the command line; on a bad one, `error` says why and nothing is
// returned. `help` is set for --help.
std::optional<Options> parse_options(const std::vector<std::string>& args, std::string& error, bool& help);

}  // namespace linemon
