#include "linemon.h"

#include <json/json.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace linemon {

const char* const BUS_NAME = "Mag_Service";
const std::array<const char*, COUNT_KINDS> COUNT_NAMES = {"header", "check", "length", "reset"};
const char* const USAGE = "usage: linemon [--log FILE] [--interval-ms N]";

namespace {

// Short names of the services' device kinds.
const std::map<std::string, std::string> kShortNames = {
    {"Gyro_Hardware_Service", "gyro"},       {"Mems_Hardware_Service", "mems"},
    {"Vision_Hardware_Service", "vision"},   {"Optical_Hardware_Service", "optical"},
    {"Flywheel_Hardware_Service", "wheel"},  {"Star_sensor_Hardware_Service", "star"},
};

std::string count_or_dash(bool known, uint32_t v) { return known ? std::to_string(v) : "-"; }

std::string rise_marker(const Counts& rose)
{
    std::string m;
    for (int i = 0; i < COUNT_KINDS; ++i) {
        if (rose[i] == 0) continue;
        if (!m.empty()) m += ',';
        m += COUNT_NAMES[i];
        m += '+';
        m += std::to_string(rose[i]);
    }
    return m.empty() ? "-" : m;
}

// Keeps the name column fixed-width; a longer name ends in '~'.
std::string name_cell(const std::string& name)
{
    constexpr std::size_t width = 9;
    return name.size() <= width ? name : name.substr(0, width - 1) + "~";
}

std::string printf_string(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_string(const char* fmt, ...)
{
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return {};
    if (std::size_t(n) < sizeof buf) return std::string(buf, std::size_t(n));
    std::string big(std::size_t(n) + 1, '\0');
    va_start(ap, fmt);
    std::vsnprintf(big.data(), big.size(), fmt, ap);
    va_end(ap);
    big.resize(std::size_t(n));
    return big;
}

}  // namespace

std::string source_short_name(const std::string& source)
{
    auto it = kShortNames.find(source);
    return it == kShortNames.end() ? source : it->second;
}

Counts counts_of(const telemetry::LineStatistics& s)
{
    return Counts{s.header_errors, s.check_errors, s.length_errors, s.resets};
}

uint32_t wrapped_rise(uint32_t before, uint32_t after, unsigned bits)
{
    uint32_t mask = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1u;
    return (after - before) & mask;
}

// ---- LineTable ----

bool LineTable::Key::operator<(const Key& o) const
{
    // Known ids in order, unknown lines after them.
    if (line_id.has_value() != o.line_id.has_value()) return line_id.has_value();
    if (line_id != o.line_id) return *line_id < *o.line_id;
    return source < o.source;
}

LineTable::LineTable(double start_s) : interval_start_s_(start_s) {}

LineTable::Line& LineTable::line(const Key& key, const std::string& name)
{
    auto it = lines_.find(key);
    if (it == lines_.end()) {
        it = lines_.emplace(key, Line{}).first;
        it->second.name = name;
    }
    return it->second;
}

Observation LineTable::on_statistics(const std::string& source, const std::vector<uint8_t>& payload, double now_s)
{
    Observation seen;
    std::optional<telemetry::LineStatistics> stats =
        telemetry::decode_line_statistics(source, payload.data(), payload.size());
    if (!stats) {
        ++unrecognised_[source];
        ++unrecognised_new_;
        current_line_[source] = std::nullopt;
        return seen;
    }
    const Counts counts = counts_of(*stats);
    Line& l = line(Key{stats->line_id, source}, stats->device);
    if (l.has_counts) {
        for (int i = 0; i < COUNT_KINDS; ++i) l.rose[i] += wrapped_rise(l.counts[i], counts[i], stats->count_bits);
    }
    l.has_counts = true;
    l.count_bits = stats->count_bits;
    l.counts = counts;
    l.last_record_s = now_s;
    current_line_[source] = stats->line_id;

    seen.kind = Observation::STATISTICS;
    seen.line_id = stats->line_id;
    seen.line_name = stats->device;
    seen.counts = counts;
    return seen;
}

Observation LineTable::on_raw(const std::string& source, const std::vector<uint8_t>& payload, double now_s)
{
    Observation seen;
    seen.kind = Observation::RAW;
    auto current = current_line_.find(source);
    if (current != current_line_.end()) seen.line_id = current->second;
    Key key{seen.line_id, source};
    auto it = lines_.find(key);
    std::string name = it != lines_.end() ? it->second.name : source_short_name(source) + "?";
    Line& l = line(key, name);
    ++l.raw_frames;
    ++l.raw_in_interval;
    l.last_raw_len = payload.size();
    l.last_record_s = now_s;
    if (seen.line_id) seen.line_name = l.name;
    return seen;
}

Report LineTable::take_report(double now_s)
{
    Report r;
    r.number = ++reports_;
    r.interval_s = now_s - interval_start_s_;
    for (auto& [key, l] : lines_) {
        ReportRow row;
        row.line_id = key.line_id;
        row.line_name = l.name;
        row.source = key.source;
        row.has_counts = l.has_counts;
        row.counts = l.counts;
        row.rose = l.rose;
        row.raw_frames = l.raw_frames;
        row.raw_per_s = r.interval_s > 0.0 ? double(l.raw_in_interval) / r.interval_s : 0.0;
        row.last_raw_len = l.last_raw_len;
        row.age_s = now_s - l.last_record_s;
        r.rows.push_back(row);
        l.rose = Counts{};
        l.raw_in_interval = 0;
    }
    r.unrecognised = unrecognised_;
    r.unrecognised_new = unrecognised_new_;
    unrecognised_new_ = 0;
    interval_start_s_ = now_s;
    return r;
}

// ---- text ----

std::string format_report(const Report& report)
{
    std::string out = printf_string("== line health: report %llu, interval %.2f s ==\n",
                                    static_cast<unsigned long long>(report.number), report.interval_s);
    out += printf_string("%4s %-9s%7s%7s%7s%7s%7s%7s%6s%7s  %s\n", "id", "line", "header", "check", "length",
                         "reset", "raw", "raw/s", "len", "age_s", "rose");
    for (const ReportRow& row : report.rows) {
        std::string id = row.line_id ? std::to_string(*row.line_id) : "?";
        std::string len = row.last_raw_len ? std::to_string(*row.last_raw_len) : "-";
        out += printf_string("%4s %-9s%7s%7s%7s%7s%7llu%7.1f%6s%7.1f  %s\n", id.c_str(),
                             name_cell(row.line_name).c_str(),
                             count_or_dash(row.has_counts, row.counts[COUNT_HEADER]).c_str(),
                             count_or_dash(row.has_counts, row.counts[COUNT_CHECKSUM]).c_str(),
                             count_or_dash(row.has_counts, row.counts[COUNT_LENGTH]).c_str(),
                             count_or_dash(row.has_counts, row.counts[COUNT_RESET]).c_str(),
                             static_cast<unsigned long long>(row.raw_frames), row.raw_per_s, len.c_str(),
                             row.age_s, rise_marker(row.rose).c_str());
    }
    if (!report.unrecognised.empty()) {
        uint64_t total = 0;
        std::string per_source;
        for (const auto& [source, n] : report.unrecognised) {
            total += n;
            per_source += (per_source.empty() ? "" : ", ") + source + "=" + std::to_string(n);
        }
        out += printf_string("%4s %s %llu (+%llu): ", "-", "unrecognised", static_cast<unsigned long long>(total),
                             static_cast<unsigned long long>(report.unrecognised_new));
        out += per_source + "\n";
    }
    if (report.rows.empty() && report.unrecognised.empty()) out += "   (no records yet)\n";
    return out;
}

std::string iso8601_utc_ms(std::chrono::system_clock::time_point t)
{
    using namespace std::chrono;
    auto ms = floor<milliseconds>(t);
    auto secs = floor<seconds>(ms);
    std::time_t tt = system_clock::to_time_t(system_clock::time_point(secs));
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[40];
    std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return std::string(buf, n) + printf_string(".%03dZ", int((ms - secs).count()));
}

std::string hex_string(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 0x0F];
    }
    return s;
}

std::string record_json(const ReceiveTime& when, const std::string& topic, const std::string& source,
                        const std::vector<uint8_t>& payload, const Observation& seen)
{
    static const char* const kinds[] = {"statistics", "raw", "unrecognised"};
    Json::Value v(Json::objectValue);
    v["utc"] = iso8601_utc_ms(when.wall);
    v["mono"] = when.mono_s;
    v["topic"] = topic;
    v["source"] = source;
    v["kind"] = kinds[seen.kind];
    if (seen.line_id) {
        v["line"] = *seen.line_id;
        v["name"] = seen.line_name;
    }
    if (seen.kind == Observation::STATISTICS) {
        Json::Value counts(Json::objectValue);
        for (int i = 0; i < COUNT_KINDS; ++i) counts[COUNT_NAMES[i]] = seen.counts[i];
        v["counts"] = counts;
    } else {
        v["hex"] = hex_string(payload);
    }
    v["len"] = Json::UInt64(payload.size());

    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["precision"] = 6;
    builder["precisionType"] = "decimal";
    // Source names come off the bus unchecked: bytes that are not UTF-8 are
    // written as U+FFFD, so every line stays valid JSON.
    builder["emitUTF8"] = false;
    return Json::writeString(builder, v);
}

// ---- Monitor ----

Monitor::Monitor(double start_s, std::ostream* log) : table_(start_s), log_(log) {}

void Monitor::receive(const std::string& topic, const std::string& source, const std::vector<uint8_t>& payload,
                      const ReceiveTime& when)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Observation seen;
    if (topic == "Telemetry") {
        seen = table_.on_statistics(source, payload, when.mono_s);
    } else if (topic == "Raw_Telemetry") {
        seen = table_.on_raw(source, payload, when.mono_s);
    } else {
        return;
    }
    if (log_ != nullptr) {
        *log_ << record_json(when, topic, source, payload, seen) << '\n';
        log_->flush();
    }
}

Report Monitor::take_report(double now_s)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return table_.take_report(now_s);
}

bool Monitor::log_failed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return log_ != nullptr && !log_->good();
}

double monotonic_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

ReceiveTime receive_time_now() { return ReceiveTime{std::chrono::system_clock::now(), monotonic_seconds()}; }

// ---- options ----

std::optional<Options> parse_options(const std::vector<std::string>& args, std::string& error, bool& help)
{
    Options o;
    help = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            help = true;
            return o;
        }
        if (a != "--log" && a != "--interval-ms") {
            error = "unknown option '" + a + "'";
            return std::nullopt;
        }
        if (i + 1 >= args.size()) {
            error = a + " needs a value";
            return std::nullopt;
        }
        const std::string& value = args[++i];
        if (a == "--log") {
            if (value.empty()) {
                error = "--log needs a file name";
                return std::nullopt;
            }
            o.log_path = value;
            continue;
        }
        std::size_t used = 0;
        long n = 0;
        try {
            if (!value.empty() && std::isdigit(static_cast<unsigned char>(value[0])))
                n = std::stol(value, &used, 10);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || used != value.size() || n < 1 || n > 3600000) {
            error = "--interval-ms needs a whole number of milliseconds from 1 to 3600000, not '" + value + "'";
            return std::nullopt;
        }
        o.interval_ms = n;
    }
    return o;
}

}  // namespace linemon
