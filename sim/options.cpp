#include "options.h"

#include "device_registry.h"

#include <cerrno>
#include <cstdlib>
#include <set>

namespace devsim {
namespace {

bool parse_int(const std::string& text, long long lo, long long hi, long long& value)
{
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size() || v < lo || v > hi) return false;
    value = v;
    return true;
}

bool parse_u64(const std::string& text, uint64_t& value)
{
    if (text.empty() || text[0] == '-') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size()) return false;
    value = v;
    return true;
}

// A byte given in decimal or as 0x-prefixed hexadecimal.
bool parse_byte(const std::string& text, int& value)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits[0] == '-' || digits[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(digits.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end != digits.c_str() + digits.size() || v < 0 || v > 255) return false;
    value = int(v);
    return true;
}

bool valid_line_name(const std::string& name)
{
    return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
           name.find_first_of(" \t\n:") == std::string::npos && name != READY_FILE && name != CONTROL_FIFO;
}

}  // namespace

std::string usage_text()
{
    std::string kinds;
    for (const auto& k : known_kinds()) kinds += (kinds.empty() ? "" : ", ") + k;
    return "usage: devsim --run-dir DIR --line NAME=KIND [--line NAME=KIND ...] [--pace] [--baud N]\n"
           "              [--seed N] [--hangup-ms N] [--wheel-hz N] [--fault NAME:FAULT[:MODE]]...\n"
           "              [--spacecraft FILE [--truth-log FILE]]\n"
           "  KIND:  " + kinds + " (wheel:ID sets a wheel's hardware id, decimal or 0x..)\n"
           "  FAULT: silence, header, checksum, short, split, garbage, hangup, backtoback\n"
           "  MODE:  once (default), rate=P (0..1), off\n"
           "Runtime faults: write 'fault NAME FAULT [MODE]' lines to DIR/devsim.control.\n";
}

bool parse_options(const std::vector<std::string>& args, Options& options, std::string& error)
{
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string opt = args[i];
        std::string value;
        bool has_value = false;
        const auto eq = opt.find('=');
        if (opt.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = opt.substr(eq + 1);
            opt = opt.substr(0, eq);
            has_value = true;
        }
        auto need_value = [&]() -> bool {
            if (has_value) return true;
            if (i + 1 >= args.size()) {
                error = opt + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };

        if (opt == "--pace") {
            if (has_value) {
                error = "--pace takes no value";
                return false;
            }
            o.pace = true;
        } else if (opt == "--run-dir") {
            if (!need_value()) return false;
            if (value.empty()) {
                error = "--run-dir is empty";
                return false;
            }
            o.run_dir = value;
        } else if (opt == "--line") {
            if (!need_value()) return false;
            const auto sep = value.find('=');
            LineSpec spec;
            if (sep != std::string::npos) {
                spec.name = value.substr(0, sep);
                spec.kind = value.substr(sep + 1);
            }
            if (sep == std::string::npos || !valid_line_name(spec.name)) {
                error = "bad --line '" + value + "' (expected NAME=KIND, NAME a plain file name)";
                return false;
            }
            const auto colon = spec.kind.find(':');
            if (colon != std::string::npos) {
                const std::string id = spec.kind.substr(colon + 1);
                spec.kind.erase(colon);
                if (spec.kind != "wheel") {
                    error = "bad --line '" + value + "' (only a wheel takes :ID)";
                    return false;
                }
                if (!parse_byte(id, spec.hardware_id)) {
                    error = "bad wheel hardware id '" + id + "' (0..255, decimal or 0x..)";
                    return false;
                }
            }
            if (!is_known_kind(spec.kind)) {
                error = "unknown device kind '" + spec.kind + "'";
                return false;
            }
            o.lines.push_back(spec);
        } else if (opt == "--baud") {
            long long v = 0;
            if (!need_value()) return false;
            if (!parse_int(value, 1, 100000000, v)) {
                error = "bad --baud '" + value + "'";
                return false;
            }
            o.baud = int(v);
        } else if (opt == "--seed") {
            if (!need_value()) return false;
            if (!parse_u64(value, o.seed)) {
                error = "bad --seed '" + value + "'";
                return false;
            }
        } else if (opt == "--hangup-ms") {
            long long v = 0;
            if (!need_value()) return false;
            if (!parse_int(value, 0, 3600000, v)) {
                error = "bad --hangup-ms '" + value + "'";
                return false;
            }
            o.hangup_ms = int(v);
        } else if (opt == "--wheel-hz") {
            long long v = 0;
            if (!need_value()) return false;
            if (!parse_int(value, 1, 1000, v)) {
                error = "bad --wheel-hz '" + value + "' (1..1000)";
                return false;
            }
            o.wheel_hz = double(v);
        } else if (opt == "--spacecraft" || opt == "--truth-log") {
            if (!need_value()) return false;
            if (value.empty()) {
                error = opt + " is empty";
                return false;
            }
            (opt == "--spacecraft" ? o.spacecraft_file : o.truth_log) = value;
        } else if (opt == "--fault") {
            if (!need_value()) return false;
            FaultRequest request;
            std::string why;
            if (!parse_fault_option(value, request, why)) {
                error = "bad --fault: " + why;
                return false;
            }
            o.faults.push_back(request);
        } else {
            error = "unknown argument '" + args[i] + "'";
            return false;
        }
    }

    if (o.run_dir.empty()) {
        error = "--run-dir is required";
        return false;
    }
    if (o.lines.empty()) {
        error = "at least one --line is required";
        return false;
    }
    if (!o.truth_log.empty() && o.spacecraft_file.empty()) {
        error = "--truth-log needs --spacecraft";
        return false;
    }
    std::set<std::string> names;
    for (const auto& l : o.lines) {
        if (!names.insert(l.name).second) {
            error = "line '" + l.name + "' given twice";
            return false;
        }
    }
    for (const auto& f : o.faults) {
        if (!names.count(f.line)) {
            error = "--fault names unknown line '" + f.line + "'";
            return false;
        }
    }
    // Wheels without an id get 0x11, 0x22, ... in command-line order.
    int wheels = 0;
    for (auto& l : o.lines) {
        if (l.kind != "wheel") continue;
        ++wheels;
        if (l.hardware_id >= 0) continue;
        if (wheels > 15) {
            error = "line '" + l.name + "': give wheels after the 15th an explicit id (wheel:ID)";
            return false;
        }
        l.hardware_id = 0x11 * wheels;
    }
    options = o;
    return true;
}

}  // namespace devsim
