// gncctl: the operator's command line to the bench. Everything but main is
// here: the command line, the conditions of `wait`, the output formats and
// the subcommands, on the shared bus client (bus_client.h) that polls
// devices, sends commands and reads every record on the bus.
//
// gncctl binds under a name of its own ("Gncctl"). The services send
// most records to "Gnc_Service" whoever asked, so gncctl reads them, and the
// line statistics they send to "Mag_Service", through an observe-all
// subscription on "Telemetry".
#pragma once

#include "bus_client.h"
#include "command_catalog.h"
#include "telemetry_records.h"

#include <chrono>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace gncctl {

enum ExitCode : int {
    EXIT_DONE = 0,        // done; the condition holds
    EXIT_NOT_MET = 1,     // a condition (or an answer) did not come in time
    EXIT_USAGE = 2,       // usage error or invalid argument; nothing was sent
    EXIT_NO_SERVICE = 3,  // the service was not on the bus within the bus timeout
};

using Clock = bus::Clock;

// ---------------------------------------------------------------------------
// Command line

enum class Format { Text, Json, Csv };

struct Options {
    std::string command;             // "get", "watch", ... ("help" for the overview)
    std::vector<std::string> words;  // the command's own arguments, in order
    Format format = Format::Text;
    std::optional<double> rate_hz;
    std::optional<double> timeout_s;      // --timeout: the condition's for wait, else the bus timeout
    std::optional<double> bus_timeout_s;  // --bus-timeout
    std::optional<long> count;            // watch: stop after this many records
    std::vector<std::string> fields;      // get: print these fields' values alone
    bool passive = false;
    bool verbose = false;
    bool help = false;
};

struct ParsedOptions {
    bool ok = false;
    Options options;
    std::string error;  // which word is wrong and what is allowed
};

// Parses the words after the program name. Options may come anywhere after
// the command; a word that starts with '-' and a digit or a point is a
// number, not an option (`send wheel1 speed -300`); "--" ends the options.
ParsedOptions parse_options(const std::vector<std::string>& args);

constexpr double DEFAULT_BUS_TIMEOUT_S = 5.0;
constexpr double DEFAULT_WAIT_TIMEOUT_S = 10.0;
constexpr double DEFAULT_WATCH_RATE_HZ = 1.0;
constexpr double DEFAULT_WAIT_RATE_HZ = 2.0;
constexpr double MAX_RATE_HZ = 20.0;

// How long gncctl waits for a service to be on the bus.
double bus_timeout_s(const Options& o);

// ---------------------------------------------------------------------------
// Conditions of `wait`: "DEVICE.FIELD OP VALUE"

enum class Op { Less, LessEqual, Greater, GreaterEqual, Equal, NotEqual };

struct Condition {
    std::string device, field;
    Op op = Op::Equal;
    double value = 0.0;
};

// Syntax only (the device and field are checked against the records by
// check_condition). On failure `error` says what is wrong.
std::optional<Condition> parse_condition(const std::string& text, std::string& error);
// "" when the device is known and its record has the field, otherwise why not.
std::string check_condition(const Condition& c);
// Whether `value` of a field satisfies the condition. A field that is not an
// integer arrives as a single-precision float, so the wanted value is taken
// at that precision: `speed == 0.1` holds for the float nearest 0.1.
bool condition_holds(const Condition& c, double value, bool integer_field);
const char* op_text(Op op);

// ---------------------------------------------------------------------------
// Readings and their formats

// One record as gncctl shows it.
struct Reading {
    telemetry::Record record;
    std::string service;
    std::chrono::system_clock::time_point received;
    double answer_ms = -1.0;  // from gncctl's poll to the record; negative when not polled
};

// Integers in full, other values as the shortest text that reads back as
// the same single-precision float.
std::string format_value(double value, bool integer);
// `get`: a header line, then one line per field: name, value, unit.
std::string reading_text(const Reading& r);
// One JSON object on one line: device, service, time (Unix seconds),
// answer_ms (when polled), fields {name: value} and units {name: unit}.
std::string reading_json(const Reading& r);
// `watch`: one line, time and every field as name=value.
std::string reading_line(const Reading& r);
// `watch --csv`: the columns are time, device and the union of the devices'
// fields in their listing order; a device without a column leaves it empty.
std::vector<std::string> csv_columns(const std::vector<std::string>& devices);
std::string csv_header(const std::vector<std::string>& columns);
std::string csv_row(const Reading& r, const std::vector<std::string>& columns);

// The operator's device names that gncctl accepts (the GNSS record, which no
// service of this bench sends, is not among them).
std::vector<std::string> operator_devices();
std::optional<telemetry::DeviceAddress> find_device(const std::string& name);
std::string device_list_text();

// ---------------------------------------------------------------------------
// The bus

using Bus = bus::Client;
using bus::Observation;

// Joins the bus as "Gncctl"; the client's messages go to standard error,
// errors always, the rest when `verbose`.
Bus join_bus(bool verbose);

// ---------------------------------------------------------------------------
// Subcommands

// Runs the command line `args` (without the program name); returns the
// process's exit status.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The help texts: the overview, or one subcommand's.
std::string help_text(const std::string& command = "");

}  // namespace gncctl
