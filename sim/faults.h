// Line faults: what can go wrong with an answer on its way to the service,
// and when it goes wrong.
//
// Faults act on whole answers and know nothing about a device's frame
// layout beyond "the first byte is a header byte" and "the last byte is a
// checksum byte".
#pragma once

#include "device.h"

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace devsim {

enum class FaultKind {
    silence,   // the answer is not sent
    header,    // first byte inverted
    checksum,  // last byte inverted
    short_,    // only the first half is sent
    split,     // sent in several small pieces a few ms apart
    garbage,   // a few random bytes go out before the answer
    hangup,    // the line is closed instead, and comes back later
    backtoback,  // held back and sent in one write with the next answer
};
constexpr std::size_t FAULT_KIND_COUNT = 8;

const char* fault_name(FaultKind kind);
bool parse_fault_kind(const std::string& text, FaultKind& kind);

struct FaultMode {
    enum Type { off, once, rate } type = off;
    double probability = 0.0;  // for rate
};

// "once", "off" or "rate=P" with P in 0..1.
bool parse_fault_mode(const std::string& text, FaultMode& mode);

struct FaultRequest {
    std::string line;
    FaultKind kind = FaultKind::silence;
    FaultMode mode;
};

// Command-line form "NAME:FAULT[:MODE]"; the mode defaults to once.
bool parse_fault_option(const std::string& text, FaultRequest& request, std::string& error);

// Control line form "fault NAME FAULT [MODE]"; the mode defaults to once.
bool parse_control_command(const std::string& text, FaultRequest& request, std::string& error);

// The set of faults that hit one answer.
class FaultSet {
public:
    void add(FaultKind kind) { bits_ |= 1u << unsigned(kind); }
    bool has(FaultKind kind) const { return bits_ & (1u << unsigned(kind)); }
    bool empty() const { return bits_ == 0; }

    // Members in the order they act.
    std::vector<FaultKind> kinds() const;

private:
    unsigned bits_ = 0;
};

// The modes set on one line, one per fault kind.
class FaultPlan {
public:
    void set(FaultKind kind, FaultMode mode) { modes_[std::size_t(kind)] = mode; }
    const FaultMode& mode(FaultKind kind) const { return modes_[std::size_t(kind)]; }

    // Decides which faults hit the next answer. A fault set to once is used
    // up by this call.
    FaultSet draw(std::mt19937_64& rng);

private:
    std::array<FaultMode, FAULT_KIND_COUNT> modes_{};
};

// The bytes of an answer after the byte-changing faults (header, checksum,
// short, garbage), split into the pieces in which they go out. One piece
// unless split is set. Holding an answer back (backtoback) is the line's
// business, not done here.
std::vector<Bytes> apply_faults(const FaultSet& faults, Bytes answer, std::mt19937_64& rng);

}  // namespace devsim
