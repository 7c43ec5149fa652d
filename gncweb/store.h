// The telemetry store: every value gncweb sees, in one SQLite file.
//
// Schema (WAL mode):
//   keys(id, name)              one row per value name ("wheel1.speed")
//   samples(key, t, value)      key = keys.id, t = arrival time in ms since
//                               the epoch, value REAL (NULL for NaN);
//                               index samples_key_t on (key, t)
//   named_samples               a view with the key's name, for the sqlite3
//                               command line
//
// Values are queued by add(), which never blocks, and written by one
// writer thread in a transaction per batch (every 200 ms). The queue holds
// up to `queue_capacity` values; when the disk cannot keep up and it is
// full, further values are dropped, counted and reported in the log (the
// live stream still carries them). Rows older than the retention are
// deleted once a minute, key by key along the index.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;

namespace gncweb {

using Ms = int64_t;  // milliseconds since the Unix epoch

struct Sample {
    std::string key;  // "<device>.<field>"
    Ms t = 0;
    double value = 0.0;
};

struct Point {
    Ms t = 0;
    double value = 0.0;  // NaN where the stored value is NULL
};

class Store {
public:
    using Log = std::function<void(const std::string&)>;
    struct Options {
        std::string path;
        bool review = false;          // opens an existing file and writes nothing
        double retention_hours = 24;  // 0 keeps everything
        std::size_t queue_capacity = 2'000'000;
        std::chrono::milliseconds batch_interval{200};
        std::chrono::milliseconds retention_interval{60'000};
    };

    // Throws std::runtime_error naming the file and SQLite's message.
    Store(Options options, Log log);
    ~Store();  // close()
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Queues values for the writer; false when some were dropped because
    // the queue is full (or the store is closed or in review).
    bool add(const std::vector<Sample>& samples);
    // Waits until every value queued before the call is committed.
    void flush();
    // Commits what is queued and stops the writer; later add()s drop.
    void close();

    // Values of `key` with start <= t <= end, by t. More than `cap` are
    // thinned to every step-th value (step = ceil(count / cap)).
    struct Range {
        std::vector<Point> points;
        std::size_t count = 0;  // values in the range
        std::size_t step = 1;
    };
    Range history(const std::string& key, Ms start, Ms end, std::size_t cap) const;
    // The oldest and newest t in the store.
    std::pair<std::optional<Ms>, std::optional<Ms>> span() const;
    // Deletes values older than `cutoff`; returns how many.
    std::size_t delete_before(Ms cutoff);

    const std::string& path() const { return options_.path; }
    // Values waiting for the writer.
    std::size_t queued();
    uint64_t written() const { return written_; }
    uint64_t dropped() const { return dropped_; }

private:
    sqlite3* open_connection(bool create) const;
    void writer();
    void write_batch(std::vector<Sample>& batch);
    int64_t key_id(const std::string& key);

    Options options_;
    Log log_;
    // The writer's connection; retention shares it.
    sqlite3* db_ = nullptr;
    std::mutex db_mutex_;
    std::map<std::string, int64_t> key_ids_;
    // Reading connections, one per concurrent query.
    mutable std::mutex readers_mutex_;
    mutable std::vector<sqlite3*> readers_;

    std::mutex queue_mutex_;
    std::condition_variable queue_cv_, committed_cv_;
    std::vector<Sample> queue_;
    uint64_t accepted_ = 0, committed_ = 0;
    bool stopping_ = false, flush_asked_ = false;
    std::atomic<uint64_t> written_{0}, dropped_{0};
    std::atomic<int64_t> last_drop_report_{0};
    std::thread writer_;
};

}  // namespace gncweb
