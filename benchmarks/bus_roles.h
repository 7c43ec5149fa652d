// The exchange both bus programs run, through Vantrel (bus_vantrel) and
// through raw Fast DDS (bus_raw): written once against a small interface so
// that both do the same work around the bus.
//
// Round trip: the requester sends a 2-byte request (a 15-bit sequence
// number, bit 15 asking for the large reply) of type "command"; the replier
// answers with the 41-byte record (the star sensor's size) or the 228-byte
// one, the sequence number in its first two bytes. The requester takes the
// time before it publishes and again inside its delivery callback.
//
// One-way throughput: the requester publishes messages of type "telemetry"
// back to back; the replier counts them and notes when the first and last
// arrived; a final request (sequence 0xFFFF) fetches the count and the times.
// Both processes read the same monotonic clock. Three bursts, the median
// counts.
#pragma once

#include "bench_support.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace busbench {

using benchkit::Clock;

constexpr uint16_t SEQ_STATS = 0xFFFF;
constexpr uint16_t SEQ_LARGE = 0x8000;
constexpr uint16_t SEQ_MODULO = 0x7FFF;
constexpr std::size_t REQUEST_SIZE = 2;
constexpr std::size_t SMALL_REPLY = 41;
constexpr std::size_t LARGE_REPLY = 228;
constexpr std::size_t DATA_SIZE = 41;
const std::string REQUEST_TYPE = "command";
const std::string DATA_TYPE = "telemetry";

// One side of the exchange on some bus.
class Side {
public:
    virtual ~Side() = default;
    // Publishes one message to the peer; false when the bus refused it.
    virtual bool send(const std::string& type, const uint8_t* data, std::size_t size) = 0;
    // True once this side's writer reaches the peer's reader.
    virtual bool peer_matched() = 0;
};

inline uint16_t seq_of(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

inline void put64(uint8_t* p, int64_t v)
{
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(uint64_t(v) >> (8 * i));
}

inline int64_t get64(const uint8_t* p)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t(p[i]) << (8 * i);
    return int64_t(v);
}

// Answers requests and counts one-way messages. on_message runs on the bus's
// delivery thread, one message at a time.
class Replier {
public:
    void attach(Side* side) { side_ = side; }

    void on_message(const std::string& type, const uint8_t* p, std::size_t n)
    {
        if (type == DATA_TYPE) {
            const int64_t now = benchkit::monotonic_ns(Clock::now());
            if (count_++ == 0) first_ns_ = now;
            last_ns_ = now;
            return;
        }
        if (type != REQUEST_TYPE || n < REQUEST_SIZE || side_ == nullptr) return;
        const uint16_t seq = seq_of(p);
        if (seq == SEQ_STATS) {
            uint8_t stats[2 + 24] = {p[0], p[1]};
            put64(stats + 2, count_);
            put64(stats + 10, first_ns_);
            put64(stats + 18, last_ns_);
            side_->send(DATA_TYPE, stats, sizeof stats);
            return;
        }
        uint8_t reply[LARGE_REPLY];
        const std::size_t size = (seq & SEQ_LARGE) ? LARGE_REPLY : SMALL_REPLY;
        for (std::size_t i = 0; i < size; ++i) reply[i] = uint8_t(i);
        reply[0] = p[0];
        reply[1] = p[1];
        side_->send(DATA_TYPE, reply, size);
    }

private:
    Side* side_ = nullptr;
    int64_t count_ = 0, first_ns_ = 0, last_ns_ = 0;
};

struct RequesterOptions {
    int count = 2000;            // measured round trips per reply size
    int warmup = 200;            // round trips before measuring, at least
    int warmup_ms = 4000;        // and at least this long after the endpoint was made
    int messages = 20000;        // one-way messages per burst
    int bursts = 3;              // the figure is the median burst
};

class Requester {
public:
    void attach(Side* side) { side_ = side; }

    void on_message(const std::string&, const uint8_t* p, std::size_t n)
    {
        if (n < REQUEST_SIZE) return;
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        if (got_ || seq_of(p) != waiting_) return;
        at_ = now;
        got_ = true;
        reply_.assign(p, p + n);
        cv_.notify_all();
    }

    // One request and its reply: milliseconds, or a negative number when no
    // reply came within `timeout`.
    double round_trip(uint16_t seq, Clock::duration timeout, std::vector<uint8_t>* reply = nullptr)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            waiting_ = seq;
            got_ = false;
        }
        const uint8_t request[REQUEST_SIZE] = {uint8_t(seq), uint8_t(seq >> 8)};
        const auto t0 = Clock::now();
        side_->send(REQUEST_TYPE, request, sizeof request);
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_until(lock, t0 + timeout, [&] { return got_; })) return -1.0;
        if (reply) *reply = reply_;
        return benchkit::ms_between(t0, at_);
    }

    // The whole measurement; prints RESULT lines on standard output. Returns
    // the process exit status.
    int run(Clock::time_point created, const RequesterOptions& o)
    {
        using namespace std::chrono_literals;
        if (!benchkit::wait_until([&] { return side_->peer_matched(); }, 30s)) {
            benchkit::note("the replier was not matched within 30 s");
            return 1;
        }
        // Warm-up: until enough round trips have succeeded and the settle
        // window of the endpoint (3000 ms) is over, so that what follows is
        // the steady state the bench runs in.
        int ok = 0;
        const auto warm_until = created + std::chrono::milliseconds(o.warmup_ms);
        const auto give_up = Clock::now() + 60s;
        while (ok < o.warmup || Clock::now() < warm_until) {
            if (benchkit::stopping() || Clock::now() > give_up) {
                benchkit::note("warm-up did not complete");
                return 1;
            }
            if (round_trip(next_seq(), 500ms) >= 0) ++ok;
        }
        for (bool large : {false, true}) {
            std::vector<double> samples;
            int lost = 0;
            for (int i = 0; i < o.count && !benchkit::stopping(); ++i) {
                const uint16_t seq = uint16_t(next_seq() | (large ? SEQ_LARGE : 0));
                double t = round_trip(seq, 2s);
                if (t < 0) {
                    ++lost;
                } else {
                    samples.push_back(t);
                }
            }
            double sum = 0;
            for (double s : samples) sum += s;
            std::printf("RESULT rt size=%zu n=%zu lost=%d p50_ms=%.6f p99_ms=%.6f mean_ms=%.6f max_ms=%.6f\n",
                        large ? LARGE_REPLY : SMALL_REPLY, samples.size(), lost, benchkit::percentile(samples, 0.50),
                        benchkit::percentile(samples, 0.99), samples.empty() ? 0.0 : sum / double(samples.size()),
                        benchkit::percentile(samples, 1.0));
            std::fflush(stdout);
        }
        if (benchkit::stopping()) return 1;

        // One-way bursts; the replier's count is cumulative, so each burst's
        // share is the difference from the last.
        uint8_t data[DATA_SIZE];
        for (std::size_t i = 0; i < sizeof data; ++i) data[i] = uint8_t(i);
        int failed = 0;
        int64_t counted = 0;
        std::vector<double> rates;
        std::string listed;
        for (int burst = 0; burst < o.bursts && !benchkit::stopping(); ++burst) {
            const auto first = Clock::now();
            for (int i = 0; i < o.messages && !benchkit::stopping(); ++i) {
                data[0] = uint8_t(i);
                data[1] = uint8_t(i >> 8);
                if (!side_->send(DATA_TYPE, data, sizeof data)) ++failed;
            }
            std::vector<uint8_t> stats;
            bool have = false;
            for (int attempt = 0; attempt < 3 && !have; ++attempt) have = round_trip(SEQ_STATS, 10s, &stats) >= 0;
            if (!have || stats.size() < 26) {
                benchkit::note("no count from the replier after the one-way messages");
                return 1;
            }
            const int64_t total = get64(&stats[2]);
            const int64_t last_ns = get64(&stats[18]);
            const double seconds = double(last_ns - benchkit::monotonic_ns(first)) / 1e9;
            const double rate = seconds > 0 ? double(total - counted) / seconds : 0.0;
            counted = total;
            rates.push_back(rate);
            listed += (listed.empty() ? "" : ",") + benchkit::fixed(rate, 0);
            benchkit::nap(std::chrono::milliseconds(500));
        }
        std::printf("RESULT tp sent=%d failed=%d received=%lld rate=%.1f rates=%s\n", o.messages * o.bursts, failed,
                    (long long)counted, benchkit::median(rates), listed.c_str());
        std::fflush(stdout);
        return 0;
    }

private:
    uint16_t next_seq()
    {
        seq_ = uint16_t((seq_ + 1) % SEQ_MODULO);
        return seq_;
    }

    Side* side_ = nullptr;
    uint16_t seq_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
    uint16_t waiting_ = 0;
    bool got_ = false;
    Clock::time_point at_;
    std::vector<uint8_t> reply_;
};

struct Args {
    std::string role;
    std::string filter = "sql";
    std::string name;
    std::string peer;
    RequesterOptions options;
};

inline bool parse_args(int argc, char** argv, Args& a)
{
    for (int i = 1; i < argc; ++i) {
        std::string k = argv[i];
        if (i + 1 >= argc) return false;
        std::string v = argv[++i];
        if (k == "--role") a.role = v;
        else if (k == "--filter") a.filter = v;
        else if (k == "--name") a.name = v;
        else if (k == "--peer") a.peer = v;
        else if (k == "--count") a.options.count = std::stoi(v);
        else if (k == "--warmup") a.options.warmup = std::stoi(v);
        else if (k == "--warmup-ms") a.options.warmup_ms = std::stoi(v);
        else if (k == "--messages") a.options.messages = std::stoi(v);
        else if (k == "--bursts") a.options.bursts = std::stoi(v);
        else return false;
    }
    return !a.role.empty();
}

inline std::string self_path()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return buf;
}

}  // namespace busbench
