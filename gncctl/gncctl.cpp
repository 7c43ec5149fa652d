#include "gncctl.h"

#include "service_skeleton.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <ostream>
#include <set>
#include <sstream>
#include <thread>

namespace gncctl {
namespace {

using namespace std::chrono_literals;

const std::string& TOPIC_TLM = bus::TOPIC_TELEMETRY;
const std::string& TOPIC_CMD = bus::TOPIC_COMMAND;
using bus::CONSOLE;
using bus::LINE_COUNT_KEYS;
using bus::MONITOR;
using bus::has_line_counts;
using bus::is_line_count;
using bus::line_count;
using bus::merge_line_statistics;

// A poll may reach a service before it has matched gncctl's reader, and its
// answer is then lost; such a poll is repeated after this long, then once
// a second. Bench devices answer within tens of milliseconds.
constexpr auto FIRST_REPEAT = 250ms;
constexpr auto LATER_REPEAT = 1000ms;
// A wheel's line statistics follow its record; how long to wait for them.
constexpr auto LINE_STATISTICS_WAIT = 300ms;
// `list`: how long to wait for the answers to its polls: 2 s, and while
// answers still come, until 1 s after the last, 4 s at most. A service's
// first records to a destination that is not on the bus are held by its
// endpoint for up to 3 s (its settle window), so without the console on
// the bus the answers get 3.5 s.
constexpr auto LIST_ANSWER_WINDOW = 2000ms;
constexpr auto LIST_WINDOW_WITHOUT_CONSOLE = 3500ms;
constexpr auto LIST_QUIET = 1000ms;
constexpr auto LIST_LONGEST = 4000ms;


double ms_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

Clock::duration seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

std::string trim(const std::string& s)
{
    std::size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

// A whole finite decimal number, nothing else.
std::optional<double> parse_number(const std::string& text)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
    const char* s = text.c_str();
    char* end = nullptr;
    double v = std::strtod(s, &end);
    if (end == s || *end != '\0' || !std::isfinite(v)) return std::nullopt;
    // strtod also reads hexadecimal floats; an operator does not mean them.
    if (text.find_first_of("xX") != std::string::npos) return std::nullopt;
    return v;
}

std::string seconds_text(double s)
{
    return format_value(s, false) + " s";
}

std::string join(const std::vector<std::string>& words, const std::string& sep)
{
    std::string s;
    for (const auto& w : words) s += (s.empty() ? "" : sep) + w;
    return s;
}

std::string json_string(const std::string& s)
{
    std::string o = "\"";
    for (char c : s) {
        switch (c) {
        case '"': o += "\\\""; break;
        case '\\': o += "\\\\"; break;
        case '\n': o += "\\n"; break;
        case '\t': o += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(c));
                o += buf;
            } else {
                o += c;
            }
        }
    }
    return o + "\"";
}

std::string json_number(double v, bool integer)
{
    return std::isfinite(v) ? format_value(v, integer) : "null";
}

std::string clock_text(std::chrono::system_clock::time_point t)
{
    const auto since = t.time_since_epoch();
    const std::time_t secs = std::time_t(std::chrono::duration_cast<std::chrono::seconds>(since).count());
    const int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return buf;
}

std::string unix_time_text(std::chrono::system_clock::time_point t)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f",
                  std::chrono::duration<double>(t.time_since_epoch()).count());
    return buf;
}

std::string hex_bytes(const std::vector<uint8_t>& p)
{
    std::string s;
    char buf[4];
    for (uint8_t b : p) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        s += (s.empty() ? "" : " ") + std::string(buf);
    }
    return s;
}

std::optional<telemetry::FieldInfo> field_info(const std::string& device, const std::string& key)
{
    for (auto& f : telemetry::device_fields(device))
        if (f.key == key) return f;
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Command line

struct OptionDef {
    const char* name;
    const char* value;  // the value's name in messages, or nullptr for a flag
};

const OptionDef OPTION_DEFS[] = {
    {"--help", nullptr},    {"--verbose", nullptr}, {"--json", nullptr},     {"--csv", nullptr},
    {"--passive", nullptr}, {"--rate", "HZ"},       {"--timeout", "S"},      {"--bus-timeout", "S"},
    {"--count", "N"},       {"--field", "FIELD"},
};

// The options each command takes, besides --help and --verbose.
const std::map<std::string, std::vector<std::string>>& command_options()
{
    static const std::map<std::string, std::vector<std::string>> table = {
        {"list", {"--timeout", "--bus-timeout"}},
        {"get", {"--json", "--field", "--timeout", "--bus-timeout"}},
        {"watch", {"--rate", "--json", "--csv", "--passive", "--count", "--timeout", "--bus-timeout"}},
        {"send", {"--timeout", "--bus-timeout"}},
        {"wait", {"--timeout", "--bus-timeout", "--rate", "--passive"}},
        {"commands", {}},
        {"fields", {}},
        {"help", {}},
    };
    return table;
}

const char* const COMMAND_NAMES = "list, get, watch, send, commands, wait, fields, help";

bool looks_like_option(const std::string& a)
{
    if (a.size() < 2 || a[0] != '-') return false;
    return !(std::isdigit(static_cast<unsigned char>(a[1])) || a[1] == '.');
}

ParsedOptions failed(std::string error)
{
    ParsedOptions p;
    p.error = std::move(error);
    return p;
}

std::string option_list(const std::string& command)
{
    std::string s;
    for (const auto& name : command_options().at(command)) {
        for (const auto& d : OPTION_DEFS)
            if (name == d.name) s += (s.empty() ? "" : ", ") + name + (d.value ? std::string(" ") + d.value : "");
    }
    return s.empty() ? "no options" : s;
}

}  // namespace

ParsedOptions parse_options(const std::vector<std::string>& args)
{
    ParsedOptions p;
    Options& o = p.options;
    std::vector<std::pair<std::string, std::string>> given;  // name, value
    bool options_end = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!options_end && a == "--") {
            options_end = true;
            continue;
        }
        if (options_end || !looks_like_option(a)) {
            if (o.command.empty()) {
                o.command = a;
            } else {
                o.words.push_back(a);
            }
            continue;
        }
        std::string name = a, value;
        bool has_value = false;
        if (name == "-h") name = "--help";
        if (name == "-v") name = "--verbose";
        if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            has_value = true;
        }
        const OptionDef* def = nullptr;
        for (const auto& d : OPTION_DEFS)
            if (name == d.name) def = &d;
        if (!def) return failed("unknown option '" + a + "'");
        if (def->value && !has_value) {
            if (i + 1 >= args.size()) return failed(name + " needs a value (" + name + " " + def->value + ")");
            value = args[++i];
        } else if (!def->value && has_value) {
            return failed(name + " takes no value");
        }
        given.emplace_back(name, value);
    }

    for (const auto& [name, value] : given) {
        if (name == "--help") o.help = true;
        if (name == "--verbose") o.verbose = true;
    }
    if (o.command.empty()) {
        if (o.help) {
            o.command = "help";
            p.ok = true;
            return p;
        }
        return failed(std::string("no command given (one of: ") + COMMAND_NAMES + ")");
    }
    if (command_options().count(o.command) == 0)
        return failed("unknown command '" + o.command + "' (one of: " + COMMAND_NAMES + ")");
    if (o.help) {
        p.ok = true;
        return p;
    }

    const auto& allowed = command_options().at(o.command);
    bool json = false, csv = false;
    for (const auto& [name, value] : given) {
        if (name == "--help" || name == "--verbose") continue;
        if (std::find(allowed.begin(), allowed.end(), name) == allowed.end())
            return failed(name + " is not an option of " + o.command + " (" + o.command + " takes " +
                          option_list(o.command) + ")");
        // A number above `min` and up to `max`.
        auto number = [&value = value](double min, double max) -> std::optional<double> {
            auto v = parse_number(value);
            if (!v || *v <= min || *v > max) return std::nullopt;
            return v;
        };
        if (name == "--json") {
            json = true;
        } else if (name == "--csv") {
            csv = true;
        } else if (name == "--passive") {
            o.passive = true;
        } else if (name == "--rate") {
            o.rate_hz = number(0.0, MAX_RATE_HZ);
            if (!o.rate_hz)
                return failed("--rate: '" + value + "' is not a rate in Hz above 0 and up to " +
                              format_value(MAX_RATE_HZ, true) + " (every poll is a device exchange)");
        } else if (name == "--timeout" || name == "--bus-timeout") {
            auto v = number(0.0, 3600.0);
            if (!v) return failed(name + ": '" + value + "' is not a time in seconds above 0 and up to 3600");
            (name == "--timeout" ? o.timeout_s : o.bus_timeout_s) = v;
        } else if (name == "--count") {
            auto v = parse_number(value);
            if (!v || *v < 1 || *v != std::trunc(*v) || *v > 1e9)
                return failed("--count: '" + value + "' is not a whole number of records from 1 up");
            o.count = long(*v);
        } else if (name == "--field") {
            if (value.empty()) return failed("--field needs a field name (gncctl fields DEVICE lists them)");
            o.fields.push_back(value);
        }
    }
    if (json && csv) return failed("--json and --csv exclude each other");
    o.format = json ? Format::Json : csv ? Format::Csv : Format::Text;
    if (o.passive && o.rate_hz)
        return failed("--rate and --passive exclude each other: a passive " + o.command + " sends no polls");
    if (!o.fields.empty() && o.format == Format::Json)
        return failed("--field and --json exclude each other");

    struct Arity {
        std::size_t min, max;
        const char* usage;
    };
    static const std::map<std::string, Arity> arity = {
        {"list", {0, 0, "gncctl list"}},
        {"get", {1, 1, "gncctl get DEVICE"}},
        {"watch", {1, 64, "gncctl watch DEVICE..."}},
        {"send", {2, 64, "gncctl send DEVICE COMMAND [ARG...]"}},
        {"wait", {1, 3, "gncctl wait 'DEVICE.FIELD OP VALUE'"}},
        {"commands", {1, 1, "gncctl commands DEVICE"}},
        {"fields", {1, 1, "gncctl fields DEVICE"}},
        {"help", {0, 1, "gncctl help [COMMAND]"}},
    };
    const Arity& a = arity.at(o.command);
    if (o.words.size() < a.min) return failed(std::string("missing argument (usage: ") + a.usage + ")");
    if (o.words.size() > a.max)
        return failed("unexpected argument '" + o.words[a.max] + "' (usage: " + a.usage + ")");
    p.ok = true;
    return p;
}

double bus_timeout_s(const Options& o)
{
    if (o.bus_timeout_s) return *o.bus_timeout_s;
    if (o.command != "wait" && o.timeout_s) return *o.timeout_s;
    return DEFAULT_BUS_TIMEOUT_S;
}

// ---------------------------------------------------------------------------
// Conditions

const char* op_text(Op op)
{
    switch (op) {
    case Op::Less: return "<";
    case Op::LessEqual: return "<=";
    case Op::Greater: return ">";
    case Op::GreaterEqual: return ">=";
    case Op::Equal: return "==";
    case Op::NotEqual: return "!=";
    }
    return "?";
}

std::optional<Condition> parse_condition(const std::string& text, std::string& error)
{
    const std::string form = " (write DEVICE.FIELD OP VALUE, OP one of < <= > >= == !=, e.g. 'wheel1.speed >= 590')";
    const std::size_t k = text.find_first_of("<>=!");
    if (k == std::string::npos) {
        error = "no comparison in '" + text + "'" + form;
        return std::nullopt;
    }
    Condition c;
    std::size_t len = 1;
    const char c0 = text[k], c1 = k + 1 < text.size() ? text[k + 1] : '\0';
    if (c1 == '=') {
        len = 2;
        c.op = c0 == '<' ? Op::LessEqual : c0 == '>' ? Op::GreaterEqual : c0 == '=' ? Op::Equal : Op::NotEqual;
    } else if (c0 == '<' || c0 == '>') {
        c.op = c0 == '<' ? Op::Less : Op::Greater;
    } else {
        error = std::string("'") + c0 + "' is not a comparison" + (c0 == '=' ? ": use ==" : ": use !=") + form;
        return std::nullopt;
    }
    const std::string left = trim(text.substr(0, k)), right = trim(text.substr(k + len));
    const std::size_t dot = left.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == left.size() || left.find('.', dot + 1) != std::string::npos ||
        left.find_first_of(" \t") != std::string::npos) {
        error = "'" + left + "' is not DEVICE.FIELD" + form;
        return std::nullopt;
    }
    c.device = left.substr(0, dot);
    c.field = left.substr(dot + 1);
    auto v = parse_number(right);
    if (!v) {
        error = "'" + right + "' is not a number" + form;
        return std::nullopt;
    }
    c.value = *v;
    return c;
}

std::string check_condition(const Condition& c)
{
    if (!find_device(c.device)) return "unknown device '" + c.device + "' (devices: " + device_list_text() + ")";
    if (field_info(c.device, c.field)) return "";
    std::vector<std::string> keys;
    for (const auto& f : telemetry::device_fields(c.device)) keys.push_back(f.key);
    return c.device + " has no field '" + c.field + "' (fields: " + join(keys, ", ") + ")";
}

bool condition_holds(const Condition& c, double value, bool integer_field)
{
    const double want = integer_field ? c.value : double(float(c.value));
    const double v = integer_field ? value : double(float(value));
    switch (c.op) {
    case Op::Less: return v < want;
    case Op::LessEqual: return v <= want;
    case Op::Greater: return v > want;
    case Op::GreaterEqual: return v >= want;
    case Op::Equal: return v == want;
    case Op::NotEqual: return v != want;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Formats

std::string format_value(double value, bool integer)
{
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buf[48];
    if (integer) {
        std::snprintf(buf, sizeof buf, "%.0f", value);
        return buf;
    }
    // At least as many digits as the whole part has, so that 70 is not 7e+01.
    const double magnitude = std::fabs(value);
    const int whole_digits = magnitude >= 1.0 ? int(std::floor(std::log10(magnitude))) + 1 : 1;
    for (int precision = std::min(whole_digits, 17); precision <= 17; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, value);
        const double back = std::strtod(buf, nullptr);
        if (precision >= 9 ? back == value : float(back) == float(value)) break;
    }
    return buf;
}

std::string reading_text(const Reading& r)
{
    std::ostringstream s;
    s << r.record.device << " (" << r.service << ") at " << clock_text(r.received);
    if (r.answer_ms >= 0) s << ", " << format_value(std::round(r.answer_ms * 10) / 10, false) << " ms after the poll";
    s << "\n";
    std::size_t key_width = 5, value_width = 1;
    std::vector<std::string> values;
    for (const auto& f : r.record.fields) {
        values.push_back(format_value(f.value, f.integer));
        key_width = std::max(key_width, f.key.size());
        value_width = std::max(value_width, values.back().size());
    }
    for (std::size_t i = 0; i < r.record.fields.size(); ++i) {
        const auto& f = r.record.fields[i];
        std::string line = "  " + f.key + std::string(key_width - f.key.size() + 2, ' ') +
                           std::string(value_width - values[i].size(), ' ') + values[i];
        if (!f.unit.empty()) line += "  " + f.unit;
        s << line << "\n";
    }
    return s.str();
}

std::string reading_json(const Reading& r)
{
    std::string s = "{\"device\":" + json_string(r.record.device) + ",\"service\":" + json_string(r.service) +
                    ",\"time\":" + unix_time_text(r.received);
    if (r.answer_ms >= 0) s += ",\"answer_ms\":" + format_value(std::round(r.answer_ms * 100) / 100, false);
    std::string fields, units;
    for (const auto& f : r.record.fields) {
        fields += (fields.empty() ? "" : ",") + json_string(f.key) + ":" + json_number(f.value, f.integer);
        if (!f.unit.empty()) units += (units.empty() ? "" : ",") + json_string(f.key) + ":" + json_string(f.unit);
    }
    return s + ",\"fields\":{" + fields + "},\"units\":{" + units + "}}";
}

std::string reading_line(const Reading& r)
{
    std::string s = clock_text(r.received) + " " + r.record.device;
    for (const auto& f : r.record.fields) s += " " + f.key + "=" + format_value(f.value, f.integer);
    return s;
}

std::vector<std::string> csv_columns(const std::vector<std::string>& devices)
{
    std::vector<std::string> columns = {"time", "device"};
    for (const auto& d : devices)
        for (const auto& f : telemetry::device_fields(d))
            if (std::find(columns.begin(), columns.end(), f.key) == columns.end()) columns.push_back(f.key);
    return columns;
}

std::string csv_header(const std::vector<std::string>& columns) { return join(columns, ","); }

std::string csv_row(const Reading& r, const std::vector<std::string>& columns)
{
    std::string s = unix_time_text(r.received) + "," + r.record.device;
    for (std::size_t i = 2; i < columns.size(); ++i) {
        s += ",";
        for (const auto& f : r.record.fields)
            if (f.key == columns[i]) s += format_value(f.value, f.integer);
    }
    return s;
}

std::vector<std::string> operator_devices()
{
    std::vector<std::string> names;
    for (const auto& n : telemetry::device_names()) {
        auto a = telemetry::device_address(n);
        if (a && a->kind != telemetry::Kind::Gnss) names.push_back(n);
    }
    return names;
}

std::optional<telemetry::DeviceAddress> find_device(const std::string& name)
{
    auto a = telemetry::device_address(name);
    if (!a || a->kind == telemetry::Kind::Gnss) return std::nullopt;
    return a;
}

std::string device_list_text() { return "nano1..nano8, pico1..pico8, wheel1..wheel8, gyro, mems, optical, vision"; }

// ---------------------------------------------------------------------------
// The bus

// One name for every gncctl, not one per process: the star sensor service
// answers to the requester's name, and its endpoint keeps a writer for every
// destination it has ever sent to, so a name per process would leave one
// more writer (and more discovery work for every newcomer) in that service
// with every poll. gncctls running at once read each other's answers, which
// they would anyway: they observe every record.
const std::string GNCCTL_NAME = "Gncctl";

Bus join_bus(bool verbose)
{
    // The client's messages: errors always, the rest with --verbose.
    return Bus(GNCCTL_NAME, [verbose](const std::string& text) {
        if (verbose || text.find("[ERROR]") != std::string::npos) err_line("gncctl: " + text);
    });
}

// ---------------------------------------------------------------------------
// Subcommands

namespace {

struct Context {
    const Options& o;
    std::ostream& out;
    std::ostream& err;

    int usage_error(const std::string& what)
    {
        err << "gncctl " << o.command << ": " << what << "\n";
        return EXIT_USAGE;
    }
    int not_on_bus(const std::string& service, const std::string& device)
    {
        err << "gncctl " << o.command << ": " << service << " (" << device << ") is not on the bus (waited "
            << seconds_text(bus_timeout_s(o)) << "; --bus-timeout S waits longer)\n";
        return EXIT_NO_SERVICE;
    }
    int no_bus()
    {
        err << "gncctl " << o.command << ": cannot join the bus (run with -v for the bus's messages)\n";
        return EXIT_NO_SERVICE;
    }
    Clock::time_point bus_deadline() const { return Clock::now() + seconds(bus_timeout_s(o)); }
};

// Adds the latest line statistics seen since `since` to a record without
// counts, waiting up to `wait` for them.
void add_line_counts(Bus& bus, telemetry::Record& record, Clock::time_point since, Clock::duration wait)
{
    if (has_line_counts(record) || record.kind == telemetry::Kind::Star) return;
    const auto until = Clock::now() + wait;
    for (;;) {
        if (auto s = bus.line_statistics(record.device, since)) {
            merge_line_statistics(record, *s);
            return;
        }
        if (Clock::now() >= until || !running) return;
        bus.next(std::min(until, Clock::now() + 10ms));  // the queue is not needed any more
    }
}

// Polls `device` until a record of it arrives (one that arrived after the
// first poll) or the deadline passes.
std::optional<Reading> poll_device(Bus& bus, const std::string& device, const telemetry::DeviceAddress& address,
                                   Clock::time_point deadline, bool verbose)
{
    const auto first = bus.poll(address);
    auto last = first;
    auto repeat = first + FIRST_REPEAT;
    for (;;) {
        auto o = bus.next(std::min(deadline, repeat));
        if (o) {
            if (!o->is_record || o->record.device != device || o->at < first) continue;
            Reading r{std::move(o->record), o->source, o->wall, ms_between(last, o->at)};
            if (verbose)
                err_line("gncctl: " + device + " answered " + format_value(std::round(r.answer_ms * 10) / 10, false) +
                         " ms after the poll");
            return r;
        }
        const auto now = Clock::now();
        if (now >= deadline || !running) return std::nullopt;
        if (now >= repeat) {
            if (verbose) err_line("gncctl: no answer from " + device + " yet; polling again");
            last = bus.poll(address);
            repeat = last + LATER_REPEAT;
        }
    }
}

int run_get(Context& c)
{
    const std::string& device = c.o.words[0];
    auto address = find_device(device);
    if (!address) return c.usage_error("unknown device '" + device + "' (devices: " + device_list_text() + ")");
    std::vector<telemetry::FieldInfo> fields;
    for (const auto& key : c.o.fields) {
        std::string why = check_condition(Condition{device, key, Op::Equal, 0.0});
        if (!why.empty()) return c.usage_error(why);
        fields.push_back(*field_info(device, key));
    }
    Bus bus = join_bus(c.o.verbose);
    if (!bus.ok()) return c.no_bus();
    if (!bus.wait_matched(TOPIC_TLM, address->service, c.bus_deadline())) return c.not_on_bus(address->service, device);
    const auto since = Clock::now();
    auto reading = poll_device(bus, device, *address, c.bus_deadline(), c.o.verbose);
    if (!reading) {
        if (!running) return EXIT_NOT_MET;
        c.err << "gncctl get: no answer from " << device << " within " << seconds_text(bus_timeout_s(c.o)) << ": "
              << address->service << " is on the bus but did not answer (a device it does not serve, or one "
              << "that does not answer it)\n";
        return EXIT_NOT_MET;
    }
    add_line_counts(bus, reading->record, since, LINE_STATISTICS_WAIT);
    if (!fields.empty()) {
        std::string values;
        for (const auto& f : fields) {
            auto v = reading->record.value(f.key);
            if (!v) {
                c.err << "gncctl get: " << device << "'s record came without " << f.key << "\n";
                return EXIT_NOT_MET;
            }
            values += (values.empty() ? "" : " ") + format_value(*v, f.integer);
        }
        c.out << values << "\n";
    } else if (c.o.format == Format::Json) {
        c.out << reading_json(*reading) << "\n";
    } else {
        c.out << reading_text(*reading);
    }
    c.out.flush();
    return EXIT_DONE;
}

// "3 ms", or how a star sensor's record says that the sensor did not answer
// its service: nothing but its type and number.
std::string answer_text(const Reading& r)
{
    std::string s = format_value(std::round(r.answer_ms), true) + " ms";
    if (r.record.kind == telemetry::Kind::Star) {
        bool empty = true;
        for (const char* q : {"q0", "q1", "q2", "q3"}) empty = empty && r.record.value(q).value_or(0.0) == 0.0;
        if (empty) s += ", empty";
    }
    return s;
}

int run_list(Context& c)
{
    const std::vector<std::string> devices = operator_devices();
    std::vector<std::string> services;
    std::map<std::string, telemetry::DeviceAddress> addresses;
    for (const auto& d : devices) {
        auto a = find_device(d);
        if (!a) continue;
        addresses.emplace(d, *a);
        if (std::find(services.begin(), services.end(), a->service) == services.end()) services.push_back(a->service);
    }
    Bus bus = join_bus(c.o.verbose);
    if (!bus.ok()) return c.no_bus();

    // Every service at once, each for as long as the bus timeout allows.
    const auto deadline = c.bus_deadline();
    const auto found = bus.wait_matched(TOPIC_TLM, services, deadline);
    const std::set<std::string> present(found.begin(), found.end());
    // The console and the line monitor are found in the same discovery; a
    // moment more for them.
    std::map<std::string, bool> others;
    const auto others_until = std::min(deadline, Clock::now() + 300ms);
    for (;;) {
        for (const auto& s : {CONSOLE, MONITOR}) others[s] = others[s] || bus.matched(TOPIC_TLM, s);
        if ((others[CONSOLE] && others[MONITOR]) || Clock::now() >= others_until) break;
        std::this_thread::sleep_for(5ms);
    }

    // One poll for every device of the services found.
    std::map<std::string, Clock::time_point> polled;
    std::map<std::string, Reading> answers;
    const auto start = Clock::now();
    for (const auto& d : devices)
        if (present.count(addresses.at(d).service)) polled[d] = bus.poll(addresses.at(d));
    auto last_news = start;
    const auto window = others[CONSOLE] ? LIST_ANSWER_WINDOW : LIST_WINDOW_WITHOUT_CONSOLE;
    auto window_end = [&] { return std::min(start + LIST_LONGEST, std::max(start + window, last_news + LIST_QUIET)); };
    bool repeated = false;
    auto complete = [&] {
        if (answers.size() < polled.size()) return false;
        for (auto& [d, r] : answers)
            if (!has_line_counts(r.record) && r.record.kind != telemetry::Kind::Star &&
                !bus.line_statistics(d, start))
                return false;
        return true;
    };
    while (!complete() && running) {
        auto o = bus.next(repeated ? window_end() : std::min(window_end(), start + FIRST_REPEAT));
        if (o && o->at >= start && o->is_record && polled.count(o->record.device) &&
            !answers.count(o->record.device)) {
            last_news = o->at;
            const std::string d = o->record.device;
            answers.emplace(d, Reading{std::move(o->record), o->source, o->wall, ms_between(polled.at(d), o->at)});
        }
        const auto now = Clock::now();
        if (now >= window_end()) break;
        if (!repeated && now >= start + FIRST_REPEAT) {
            repeated = true;
            for (auto& [d, t] : polled)
                if (!answers.count(d)) t = bus.poll(addresses.at(d));
        }
    }

    c.out << "SERVICE                        ON THE BUS\n";
    for (const auto& s : services) c.out << s << std::string(31 - std::min<std::size_t>(30, s.size()), ' ')
                                         << (present.count(s) ? "yes" : "no") << "\n";
    c.out << CONSOLE << " (console)          " << (others[CONSOLE] ? "yes" : "not seen") << "\n";
    c.out << MONITOR << " (line monitor)     " << (others[MONITOR] ? "yes" : "not seen") << "\n\n";
    if (!present.empty()) {
        char line[160];
        std::snprintf(line, sizeof line, "%-9s %-30s %-14s %5s %5s %5s %5s\n", "DEVICE", "SERVICE", "ANSWERED",
                      "HDR", "CHK", "LEN", "RST");
        c.out << line;
        for (const auto& d : devices) {
            const auto& service = addresses.at(d).service;
            if (!present.count(service)) continue;
            auto it = answers.find(d);
            std::string counts[4] = {"-", "-", "-", "-"};
            std::string answered = "no answer";
            if (it != answers.end()) {
                add_line_counts(bus, it->second.record, start, 0ms);
                answered = answer_text(it->second);
                for (int i = 0; i < 4; ++i)
                    if (auto v = it->second.record.value(LINE_COUNT_KEYS[i])) counts[i] = format_value(*v, true);
            }
            std::snprintf(line, sizeof line, "%-9s %-30s %-14s %5s %5s %5s %5s\n", d.c_str(), service.c_str(),
                          answered.c_str(), counts[0].c_str(), counts[1].c_str(), counts[2].c_str(),
                          counts[3].c_str());
            c.out << line;
        }
    }
    c.out.flush();
    if (present.empty()) {
        c.err << "gncctl list: no hardware service is on the bus (waited " << seconds_text(bus_timeout_s(c.o))
              << ")\n";
        return EXIT_NO_SERVICE;
    }
    return EXIT_DONE;
}

int run_watch(Context& c)
{
    std::vector<std::string> devices;
    std::map<std::string, telemetry::DeviceAddress> addresses;
    for (const auto& d : c.o.words) {
        auto a = find_device(d);
        if (!a) return c.usage_error("unknown device '" + d + "' (devices: " + device_list_text() + ")");
        if (addresses.emplace(d, *a).second) devices.push_back(d);
    }
    Bus bus = join_bus(c.o.verbose);
    if (!bus.ok()) return c.no_bus();
    if (!c.o.passive) {
        std::vector<std::string> services;
        for (const auto& d : devices)
            if (std::find(services.begin(), services.end(), addresses.at(d).service) == services.end())
                services.push_back(addresses.at(d).service);
        const auto found = bus.wait_matched(TOPIC_TLM, services, c.bus_deadline());
        for (const auto& d : devices)
            if (std::find(found.begin(), found.end(), addresses.at(d).service) == found.end())
                return c.not_on_bus(addresses.at(d).service, d);
    }
    const auto columns = csv_columns(devices);
    if (c.o.format == Format::Csv) c.out << csv_header(columns) << "\n" << std::flush;

    const auto period = seconds(1.0 / c.o.rate_hz.value_or(DEFAULT_WATCH_RATE_HZ));
    const auto start = Clock::now();
    auto next_poll = start;
    long shown = 0;
    while (running) {
        auto now = Clock::now();
        if (!c.o.passive && now >= next_poll) {
            for (const auto& d : devices) bus.poll(addresses.at(d));
            next_poll += period;
            if (next_poll <= now) next_poll = now + period;  // behind: no burst of missed polls
        }
        auto o = bus.next(c.o.passive ? now + 200ms : next_poll);
        if (!o || !o->is_record || o->at < start || !addresses.count(o->record.device)) continue;
        Reading r{std::move(o->record), o->source, o->wall, -1.0};
        add_line_counts(bus, r.record, start, 0ms);
        switch (c.o.format) {
        case Format::Text: c.out << reading_line(r) << "\n"; break;
        case Format::Json: c.out << reading_json(r) << "\n"; break;
        case Format::Csv: c.out << csv_row(r, columns) << "\n"; break;
        }
        c.out.flush();
        if (!c.out) break;  // the reader went away
        if (c.o.count && ++shown >= *c.o.count) break;
    }
    return EXIT_DONE;
}

int run_wait(Context& c)
{
    const std::string text = join(c.o.words, " ");
    std::string error;
    auto cond = parse_condition(text, error);
    if (!cond) return c.usage_error(error);
    error = check_condition(*cond);
    if (!error.empty()) return c.usage_error(error);
    const auto address = *find_device(cond->device);
    const auto info = *field_info(cond->device, cond->field);
    const std::string what = cond->device + "." + cond->field;
    const std::string wanted = std::string(op_text(cond->op)) + " " + format_value(cond->value, info.integer);
    auto with_unit = [&](double v) { return format_value(v, info.integer) + (info.unit.empty() ? "" : " " + info.unit); };

    Bus bus = join_bus(c.o.verbose);
    if (!bus.ok()) return c.no_bus();
    if (!c.o.passive && !bus.wait_matched(TOPIC_TLM, address.service, c.bus_deadline()))
        return c.not_on_bus(address.service, cond->device);

    const double timeout = c.o.timeout_s.value_or(DEFAULT_WAIT_TIMEOUT_S);
    const auto start = Clock::now();
    const auto deadline = start + seconds(timeout);
    const auto period = seconds(1.0 / c.o.rate_hz.value_or(DEFAULT_WAIT_RATE_HZ));
    auto next_poll = start;
    std::optional<double> last;
    while (running) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        if (!c.o.passive && now >= next_poll) {
            bus.poll(address);
            next_poll += period;
            if (next_poll <= now) next_poll = now + period;
        }
        auto o = bus.next(c.o.passive ? deadline : std::min(deadline, next_poll));
        if (!o || o->at < start) continue;
        std::optional<double> v;
        if (o->is_record && o->record.device == cond->device) {
            if (is_line_count(cond->field)) add_line_counts(bus, o->record, start, 0ms);
            v = o->record.value(cond->field);
        } else if (!o->is_record && o->line.device == cond->device && is_line_count(cond->field)) {
            v = line_count(o->line, cond->field);
        }
        if (!v) continue;
        last = v;
        if (condition_holds(*cond, *v, info.integer)) {
            c.out << what << " = " << with_unit(*v) << " (" << wanted << ") after "
                  << format_value(std::round(ms_between(start, o->at) / 100.0) / 10.0, false) << " s\n"
                  << std::flush;
            return EXIT_DONE;
        }
    }
    c.out << (running ? "timeout after " + seconds_text(timeout) : std::string("interrupted")) << ": " << what;
    if (last) {
        c.out << " = " << with_unit(*last) << " (last value seen), wanted " << wanted << "\n";
    } else {
        c.out << " wanted " << wanted << "; no fresh record from " << cond->device << " arrived"
              << (c.o.passive ? " (a passive wait sends no polls: is the console running?)" : "") << "\n";
    }
    c.out.flush();
    return EXIT_NOT_MET;
}

int run_send(Context& c)
{
    const std::string& device = c.o.words[0];
    const std::string& command = c.o.words[1];
    const std::vector<std::string> args(c.o.words.begin() + 2, c.o.words.end());
    commands::BuildResult b = commands::build_command(device, command, args);
    if (!b.ok) {
        std::string hint = find_device(device) ? "; 'gncctl commands " + device + "' lists its commands" : "";
        return c.usage_error(b.error + hint + "; nothing was sent");
    }
    Bus bus = join_bus(c.o.verbose);
    if (!bus.ok()) return c.no_bus();
    if (!bus.wait_matched(TOPIC_CMD, b.built.service, c.bus_deadline())) return c.not_on_bus(b.built.service, device);
    // A service may match gncctl's writer a little after gncctl has matched
    // its reader (or, when an announcement went astray, a second or two
    // later); until then it does not take the command. Stay until it has.
    const auto sent = bus.send(b.built);
    const bool taken = bus.acknowledged(TOPIC_CMD, b.built.service, c.bus_deadline());
    const std::string what = join(std::vector<std::string>(c.o.words.begin() + 1, c.o.words.end()), " ") + " to " +
                             device + " (" + b.built.service + ", " + std::to_string(b.built.payload.size()) +
                             " bytes: " + hex_bytes(b.built.payload) + ")";
    if (!taken) {
        c.err << "gncctl send: sent " << what << ", but the service did not take it within "
              << seconds_text(bus_timeout_s(c.o)) << "\n";
        return EXIT_NO_SERVICE;
    }
    c.out << "sent " << what << ", taken by the service after "
          << format_value(std::round(ms_between(sent, Clock::now())), true) << " ms\n"
          << std::flush;
    return EXIT_DONE;
}

// "whole number 0..255", "number -1..1", "any finite number".
std::string range_text(const commands::ArgSpec& a)
{
    if (a.type == commands::ArgType::Real && a.min <= -FLT_MAX && a.max >= FLT_MAX) return "any finite number";
    const bool whole = a.type != commands::ArgType::Real;
    return std::string(whole ? "whole number " : "number ") + format_value(a.min, whole || a.min == std::trunc(a.min)) +
           ".." + format_value(a.max, whole || a.max == std::trunc(a.max));
}

int run_commands(Context& c)
{
    const std::string& device = c.o.words[0];
    auto address = find_device(device);
    if (!address) return c.usage_error("unknown device '" + device + "' (devices: " + device_list_text() + ")");
    const auto& list = commands::device_commands(device);
    if (list.empty()) {
        c.out << device << " takes no commands: " << address->service << " does not listen on Command\n";
        return EXIT_DONE;
    }
    c.out << "Commands of " << device << " (gncctl send " << device << " COMMAND [ARG...]):\n";
    for (const auto& cmd : list) {
        std::string usage = cmd.name;
        for (const auto& a : cmd.args) usage += a.optional ? " [<" + a.name + ">]" : " <" + a.name + ">";
        c.out << "\n  " << usage;
        if (!cmd.aliases.empty()) c.out << "    (also: " << join(cmd.aliases, ", ") << ")";
        c.out << "\n      " << cmd.help << "\n";
        for (const auto& a : cmd.args) {
            c.out << "      " << a.name << ": " << range_text(a) << (a.unit.empty() ? "" : " " + a.unit);
            if (a.optional) c.out << ", optional (default " << format_value(a.fallback, false) << ")";
            if (!a.help.empty()) c.out << "; " << a.help;
            c.out << "\n";
        }
    }
    return EXIT_DONE;
}

int run_fields(Context& c)
{
    const std::string& device = c.o.words[0];
    if (!find_device(device)) return c.usage_error("unknown device '" + device + "' (devices: " + device_list_text() + ")");
    auto fields = telemetry::device_fields(device);
    std::size_t kw = 5, uw = 4;
    for (const auto& f : fields) {
        kw = std::max(kw, f.key.size());
        uw = std::max(uw, f.unit.size());
    }
    auto row = [&](const std::string& k, const std::string& u, const std::string& d) {
        c.out << k << std::string(kw - k.size() + 2, ' ') << u << std::string(uw - u.size() + 2, ' ') << d << "\n";
    };
    row("FIELD", "UNIT", "DESCRIPTION");
    for (const auto& f : fields) row(f.key, f.unit, f.description + (f.integer ? " (whole number)" : ""));
    return EXIT_DONE;
}

}  // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    ParsedOptions p = parse_options(args);
    if (!p.ok) {
        err << "gncctl: " << p.error << "\n(gncctl --help explains every command)\n";
        return EXIT_USAGE;
    }
    const Options& o = p.options;
    if (o.command == "help") {
        const std::string topic = o.words.empty() ? "" : o.words[0];
        if (!topic.empty() && command_options().count(topic) == 0) {
            err << "gncctl help: unknown command '" << topic << "' (one of: " << COMMAND_NAMES << ")\n";
            return EXIT_USAGE;
        }
        out << help_text(topic);
        return EXIT_DONE;
    }
    if (o.help) {
        out << help_text(o.command);
        return EXIT_DONE;
    }
    Context c{o, out, err};
    if (o.command == "get") return run_get(c);
    if (o.command == "list") return run_list(c);
    if (o.command == "watch") return run_watch(c);
    if (o.command == "wait") return run_wait(c);
    if (o.command == "send") return run_send(c);
    if (o.command == "commands") return run_commands(c);
    return run_fields(c);
}

// ---------------------------------------------------------------------------
// Help

std::string help_text(const std::string& command)
{
    static const std::map<std::string, std::string> texts = {
        {"list", R"(gncctl list [--timeout S]

Which hardware services are on the bus (and whether the console Gnc_Service
and the line monitor Mag_Service are), then one poll for every device of
every service found, and for each device: whether it answered, how long
after the poll the answer came (the answer's age against the poll), and its
line counts (header, checksum, length errors and line resets). Answers are
awaited for 2 s (3.5 s when the console is not on the bus: a service's
first records are then held up to 3 s), longer (up to 4 s) while they
still come. A star sensor that did not answer its service gives an
"empty" record (type and number only); a wheel number the wheel service does
not have gets no answer.

Every poll is a real exchange with the device (see "Polls" in gncctl --help).
Exits 0, or 3 when no hardware service is on the bus within the timeout.
)"},
        {"get", R"(gncctl get DEVICE [--json | --field FIELD] [--timeout S]

Polls DEVICE once and prints its record decoded: one line per field with
its value and unit. --json prints one JSON object on one line instead:
  {"device":..., "service":..., "time": Unix seconds, "answer_ms": ...,
   "fields": {name: value}, "units": {name: unit}}
--field FIELD prints that field's value alone (for scripts); given more
than once, the values in that order on one line.

The wheels' line counts come in the line statistics their service sends
after each record; they are added to the wheel's fields when they arrive.

Waits up to the bus timeout for the service to be on the bus (exit 3) and
as long again for the answer (exit 1 when none came).

  gncctl get wheel1
  gncctl get gyro --json
  speed=$(gncctl get wheel1 --field speed)
  read -r hdr chk < <(gncctl get gyro --field header_errors --field check_errors)
)"},
        {"watch", R"(gncctl watch DEVICE... [--rate HZ] [--json | --csv] [--passive] [--count N]

Prints every record of the DEVICEs as it arrives, one line each, until
Ctrl-C (or N records with --count N).
  (default)  local time, device and every field as name=value
  --json     one JSON object per line (as gncctl get --json)
  --csv      a header line (time as Unix seconds, device, the fields of all
             the devices), then one row per record
--rate HZ    polls every device HZ times a second (default 1, at most 20).
--passive    sends nothing: shows the records that the console's (or
             anybody's) polls already bring. Without --passive, records
             brought by others' polls show too.

  gncctl watch wheel1 wheel2 --rate 2
  gncctl watch gyro mems --passive --csv > rates.csv
)"},
        {"send", R"(gncctl send DEVICE COMMAND [ARG...] [--timeout S]

Sends one command. COMMAND is its name or, where the device numbers its
commands (star sensors' command codes, the wheels' modes), its number.
Every argument is checked first: the right count, a number of its type,
within its range. If one is wrong, nothing is sent, the message says which
argument and what it allows, and the exit status is 2.
'gncctl commands DEVICE' lists the commands, their arguments and ranges.

gncctl stays until the service's endpoint has taken the command (exit 3
if it does not within the bus timeout). The service and the device send no
answer to a command: check its effect with get or wait.

  gncctl send wheel1 speed 1500
  gncctl send optical direct 1
  gncctl send vision quaternion 1 0 0 0
  gncctl send nano1 a9-60 12        (or: gncctl send nano1 12 12)
)"},
        {"commands", R"(gncctl commands DEVICE

Lists DEVICE's commands with their arguments, ranges and units. The gyro
and the MEMS unit take none. Nothing is sent on the bus.
)"},
        {"wait", R"(gncctl wait 'DEVICE.FIELD OP VALUE' [--timeout S] [--rate HZ] [--passive]

Polls DEVICE (2 times a second unless --rate says otherwise; --passive
sends nothing and relies on others' polls) until the condition holds on a
fresh record, one that arrived after the wait started. OP is one of
< <= > >= == !=. A field that is not a whole number is a single-precision
float, and VALUE is compared at that precision.

Exits 0 as soon as the condition holds, printing the value; 1 when it has
not held by the timeout (default 10 s, counted once the service is on the
bus), printing the last value seen; 2 for a malformed condition, an
unknown device or field; 3 when the service is not on the bus within the
bus timeout (--bus-timeout S, default 5 s). 'gncctl fields DEVICE' lists
the field names.

  gncctl wait 'wheel1.speed >= 1490' --timeout 30
  gncctl wait 'optical.check_errors == 0'
)"},
        {"fields", R"(gncctl fields DEVICE

Lists the fields of DEVICE's record: name, unit and what it is. These are
the names that get, watch and wait use. Nothing is sent on the bus.
)"},
    };
    if (!command.empty()) {
        auto it = texts.find(command);
        if (it != texts.end()) return it->second;
    }
    return R"(gncctl: operate the GNC bench from the shell

  gncctl list                                  services, devices, answers, line counts
  gncctl get DEVICE [--json | --field F]       one poll, decoded
  gncctl watch DEVICE... [--rate HZ] [--json | --csv] [--passive] [--count N]
  gncctl send DEVICE COMMAND [ARG...]          one command, arguments checked first
  gncctl commands DEVICE                       the commands DEVICE takes
  gncctl wait 'DEVICE.FIELD OP VALUE' [--timeout S] [--rate HZ] [--passive]
  gncctl fields DEVICE                         the fields of DEVICE's record
  gncctl help COMMAND                          more about one command

Devices: nano1..nano8, pico1..pico8 (star sensors), wheel1..wheel8
(reaction wheels, numbered as the wheel service numbers them), gyro, mems,
optical, vision.

Polls: get, list, watch and wait (unless --passive) send telemetry
requests as the console does, and every one is a real exchange with the
device: the service queries the device on its serial line (the wheel
service answers from the wheel's last status frame), the device counts it
(the optical unit's telemetry count, for one), and all services but the
star sensors' send the answer to the console too. A poll that gets no
answer within a quarter of a second is repeated, then once a second: a
service may answer before it has heard of gncctl.

Bus: gncctl joins the bus as Gncctl, on this machine only unless
FASTDDS_DEFAULT_PROFILES_FILE names a profile. It reads the records that
the services send to the console and the line statistics they send to the
line monitor, whoever asked. It sends only once the service is on the bus.

Options:
  --timeout S       how long to wait for a service to be on the bus (default
                    5 s); for wait, how long the condition may take
  --bus-timeout S   how long to wait for a service to be on the bus
  -v, --verbose     timings and the bus's messages on standard error
  -h, --help        this text; 'gncctl COMMAND --help' for one command

Exit status:
  0  done (for wait: the condition holds)
  1  a condition not met in time, or no answer from a device
  2  usage error or invalid argument: nothing was sent; the message says
     which argument and what is allowed
  3  the service is not on the bus within the bus timeout

Examples:
  gncctl list
  gncctl get wheel1 --json
  gncctl send wheel1 speed 1500 && gncctl wait 'wheel1.speed >= 1470' --timeout 30
  gncctl watch gyro --rate 5 --csv > gyro.csv
  gncctl send optical direct 1
  gncctl commands vision
)";
}

}  // namespace gncctl
