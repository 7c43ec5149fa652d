#include "faults.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace devsim {
namespace {

const char* const NAMES[FAULT_KIND_COUNT] = {"silence", "header", "checksum", "short",
                                             "split",   "garbage", "hangup",   "backtoback"};

bool parse_probability(const std::string& text, double& p)
{
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !(v >= 0.0 && v <= 1.0)) return false;
    p = v;
    return true;
}

bool finish_request(const std::string& line, const std::string& kind, const std::string& mode,
                    FaultRequest& request, std::string& error)
{
    FaultRequest r;
    r.line = line;
    if (r.line.empty()) {
        error = "missing line name";
        return false;
    }
    if (!parse_fault_kind(kind, r.kind)) {
        error = "unknown fault '" + kind + "'";
        return false;
    }
    if (mode.empty()) {
        r.mode.type = FaultMode::once;
    } else if (!parse_fault_mode(mode, r.mode)) {
        error = "bad fault mode '" + mode + "' (once, off or rate=P with 0<=P<=1)";
        return false;
    }
    request = r;
    return true;
}

}  // namespace

const char* fault_name(FaultKind kind)
{
    return NAMES[std::size_t(kind)];
}

bool parse_fault_kind(const std::string& text, FaultKind& kind)
{
    for (std::size_t i = 0; i < FAULT_KIND_COUNT; ++i) {
        if (text == NAMES[i]) {
            kind = FaultKind(i);
            return true;
        }
    }
    return false;
}

bool parse_fault_mode(const std::string& text, FaultMode& mode)
{
    if (text == "once") {
        mode = {FaultMode::once, 0.0};
        return true;
    }
    if (text == "off") {
        mode = {FaultMode::off, 0.0};
        return true;
    }
    double p = 0.0;
    if (text.rfind("rate=", 0) == 0 && parse_probability(text.substr(5), p)) {
        mode = {FaultMode::rate, p};
        return true;
    }
    return false;
}

bool parse_fault_option(const std::string& text, FaultRequest& request, std::string& error)
{
    const auto first = text.find(':');
    if (first == std::string::npos) {
        error = "expected NAME:FAULT[:MODE], got '" + text + "'";
        return false;
    }
    const auto second = text.find(':', first + 1);
    const std::string line = text.substr(0, first);
    const std::string kind =
        text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    const std::string mode = second == std::string::npos ? "" : text.substr(second + 1);
    if (second != std::string::npos && mode.empty()) {
        error = "empty fault mode in '" + text + "'";
        return false;
    }
    return finish_request(line, kind, mode, request, error);
}

bool parse_control_command(const std::string& text, FaultRequest& request, std::string& error)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty() || words[0] != "fault") {
        error = "unknown command '" + text + "'";
        return false;
    }
    if (words.size() < 3 || words.size() > 4) {
        error = "expected 'fault NAME FAULT [MODE]', got '" + text + "'";
        return false;
    }
    return finish_request(words[1], words[2], words.size() == 4 ? words[3] : "", request, error);
}

std::vector<FaultKind> FaultSet::kinds() const
{
    std::vector<FaultKind> out;
    for (std::size_t i = 0; i < FAULT_KIND_COUNT; ++i)
        if (has(FaultKind(i))) out.push_back(FaultKind(i));
    return out;
}

FaultSet FaultPlan::draw(std::mt19937_64& rng)
{
    FaultSet set;
    for (std::size_t i = 0; i < FAULT_KIND_COUNT; ++i) {
        FaultMode& m = modes_[i];
        switch (m.type) {
        case FaultMode::off: break;
        case FaultMode::once:
            set.add(FaultKind(i));
            m = FaultMode{};
            break;
        case FaultMode::rate:
            // Always draw, so one fault's rate does not shift another's sequence
            // depending on whether it happens to be 0 or 1.
            if (std::uniform_real_distribution<double>(0.0, 1.0)(rng) < m.probability) set.add(FaultKind(i));
            break;
        }
    }
    return set;
}

std::vector<Bytes> apply_faults(const FaultSet& faults, Bytes answer, std::mt19937_64& rng)
{
    if (faults.has(FaultKind::silence) || faults.has(FaultKind::hangup) || answer.empty()) return {};
    if (faults.has(FaultKind::header)) answer.front() = uint8_t(~answer.front());
    if (faults.has(FaultKind::checksum)) answer.back() = uint8_t(~answer.back());
    if (faults.has(FaultKind::short_)) answer.resize(answer.size() / 2);
    if (faults.has(FaultKind::garbage)) {
        const int count = std::uniform_int_distribution<int>(1, 8)(rng);
        Bytes noise;
        for (int i = 0; i < count; ++i) noise.push_back(uint8_t(std::uniform_int_distribution<int>(0, 255)(rng)));
        answer.insert(answer.begin(), noise.begin(), noise.end());
    }
    if (!faults.has(FaultKind::split)) return {answer};

    std::vector<Bytes> pieces;
    std::size_t at = 0;
    std::uniform_int_distribution<std::size_t> piece_size(1, 12);
    while (at < answer.size()) {
        std::size_t n = std::min(piece_size(rng), answer.size() - at);
        // At least two pieces, even for a tiny answer.
        if (at == 0 && n == answer.size() && n > 1) n = answer.size() / 2;
        pieces.emplace_back(answer.begin() + long(at), answer.begin() + long(at + n));
        at += n;
    }
    return pieces;
}

}  // namespace devsim
