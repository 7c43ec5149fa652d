// gncweb's figures (scripts/benchmarks.sh --only web):
//   ingest     values per second the store commits, sustained, beside the
//              values per second the bench gives when the console's ten
//              requests go out at 10 Hz
//   history    one hour of one field at that rate through GET /api/history,
//              beside the same rows read straight with sqlite3 and through
//              the store without HTTP
// One row per figure on standard output (ROW, tab-separated), notes on
// standard error.
#include "gncweb.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

using namespace gncweb;
using Clock = std::chrono::steady_clock;

namespace {

void row(const std::string& item, const std::string& figure, const std::string& baseline, const std::string& cmp)
{
    std::printf("ROW\tweb console (gncweb)\t%s\t%s\t%s\t%s\n", item.c_str(), figure.c_str(), baseline.c_str(),
                cmp.c_str());
    std::fflush(stdout);
}

void note(const std::string& text) { std::fprintf(stderr, "[bench] %s\n", text.c_str()); }

std::string fixed(double v, int digits)
{
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", digits, v);
    return b;
}

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The console's polling set, and the keys of one record of each (the
// wheels' line counts come in their line statistics records).
const char* const POLLED[] = {"nano1", "nano2", "wheel1", "wheel2", "wheel3", "gyro", "gnss", "vision", "mems", "optical"};

std::vector<std::vector<std::string>> polled_keys()
{
    std::vector<std::vector<std::string>> records;
    for (const char* d : POLLED) {
        std::vector<std::string> keys;
        bool counts = false;
        for (const auto& f : telemetry::device_fields(d)) {
            keys.push_back(std::string(d) + "." + f.key);
            counts = counts || bus::is_line_count(f.key);
        }
        if (!counts && std::string(d).rfind("wheel", 0) == 0)
            for (const char* k : bus::LINE_COUNT_KEYS) keys.push_back(std::string(d) + "." + k);
        records.push_back(keys);
    }
    return records;
}

}  // namespace

int main(int argc, char** argv)
{
    bool quick = false;
    for (int i = 1; i < argc; ++i) quick = quick || std::string(argv[i]) == "--quick";
    const auto dir = std::filesystem::temp_directory_path() / ("gncweb_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    Log log = [](const std::string& t) { note(t); };

    const auto records = polled_keys();
    std::size_t values_per_cycle = 0;
    for (const auto& r : records) values_per_cycle += r.size();
    const double bench_rate = 10.0 * double(values_per_cycle);
    note("the bench at 10 Hz: 10 requests x " + std::to_string(values_per_cycle) + " values per cycle = " +
         fixed(bench_rate, 0) + " values/s");

    // 1. Ingest: as fast as the writer commits, the producer holding back
    // while the queue is half full so that nothing is dropped.
    {
        Store::Options so;
        so.path = (dir / "ingest.sqlite").string();
        so.retention_hours = 0;
        Store store(so, log);
        const std::size_t total = quick ? 1'000'000 : 5'000'000;
        std::size_t added = 0, n_records = 0;
        Ms t = 1'700'000'000'000;
        const auto t0 = Clock::now();
        while (added < total) {
            for (const auto& keys : records) {
                std::vector<Sample> batch;
                batch.reserve(keys.size());
                for (std::size_t i = 0; i < keys.size(); ++i) batch.push_back({keys[i], t, double(added + i) * 0.5});
                while (store.queued() > so.queue_capacity / 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                store.add(batch);
                added += batch.size();
                ++n_records;
            }
            t += 100;
        }
        store.flush();
        const double s = seconds_since(t0);
        const double rate = double(store.written()) / s;
        note("ingest: " + std::to_string(store.written()) + " values (" + std::to_string(n_records) + " records) in " +
             fixed(s, 2) + " s, " + std::to_string(store.dropped()) + " dropped");
        row("ingest into SQLite, values/s sustained", fixed(rate, 0) + " values/s (" + fixed(n_records / s, 0) + " records/s)",
            "bench at 10 Hz: " + fixed(bench_rate, 0) + " values/s", fixed(rate / bench_rate, 0) + "x (goal >= 50x)");
    }

    // 2. History: every polled key for an hour (or 10 minutes with --quick)
    // at the bench's rate, then one key's hour read back.
    {
        const int minutes = quick ? 10 : 60;
        Store::Options so;
        so.path = (dir / "history.sqlite").string();
        so.retention_hours = 0;
        Store store(so, log);
        const Ms start = 1'700'000'000'000;
        const Ms end = start + Ms(minutes) * 60'000;
        for (Ms t = start; t < end; t += 100) {
            for (const auto& keys : records) {
                std::vector<Sample> batch;
                for (const auto& k : keys) batch.push_back({k, t, double(t % 100'000) * 0.01});
                while (store.queued() > so.queue_capacity / 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                store.add(batch);
            }
        }
        store.flush();
        const std::string key = "wheel1.speed";
        const int runs = 21;

        // Baseline: the rows straight from sqlite3.
        sqlite3* db = nullptr;
        sqlite3_open_v2(so.path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        std::vector<double> raw;
        std::size_t raw_rows = 0;
        for (int i = 0; i < runs; ++i) {
            const auto t0 = Clock::now();
            sqlite3_stmt* s = nullptr;
            sqlite3_prepare_v2(db,
                               "SELECT t, value FROM samples WHERE key = (SELECT id FROM keys WHERE name = ?) "
                               "AND t BETWEEN ? AND ? ORDER BY t",
                               -1, &s, nullptr);
            sqlite3_bind_text(s, 1, key.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_int64(s, 2, start);
            sqlite3_bind_int64(s, 3, end);
            raw_rows = 0;
            double sum = 0;
            while (sqlite3_step(s) == SQLITE_ROW) {
                sum += sqlite3_column_double(s, 1) + double(sqlite3_column_int64(s, 0));
                ++raw_rows;
            }
            sqlite3_finalize(s);
            raw.push_back(seconds_since(t0) * 1e3);
            if (sum == 0) note("(no rows)");
        }
        sqlite3_close(db);

        std::vector<double> direct;
        for (int i = 0; i < runs; ++i) {
            const auto t0 = Clock::now();
            auto r = store.history(key, start, end, HISTORY_CAP);
            direct.push_back(seconds_since(t0) * 1e3);
        }

        Stream stream;
        Api::Config ac;
        ac.db_path = so.path;
        Api api(store, stream, ac, nullptr, log);
        if (!api.bind("127.0.0.1", 0)) {
            note("cannot listen on 127.0.0.1");
            return 1;
        }
        api.start();
        httplib::Client http("127.0.0.1", api.port());
        const std::string path = "/api/history?key=" + key + "&start=" + std::to_string(start) + "&end=" + std::to_string(end);
        std::vector<double> over_http;
        std::size_t bytes = 0;
        for (int i = 0; i < runs; ++i) {
            const auto t0 = Clock::now();
            auto res = http.Get(path.c_str());
            over_http.push_back(seconds_since(t0) * 1e3);
            if (!res || res->status != 200) {
                note("history request failed");
                return 1;
            }
            bytes = res->body.size();
        }
        api.stop();
        const std::string what = std::to_string(raw_rows) + " values (" + std::to_string(minutes) + " min at 10 Hz, " +
                                 std::to_string(values_per_cycle * 10 * 60 * minutes) + " rows stored)";
        note("history: " + what + ", " + std::to_string(bytes) + " bytes of JSON");
        const double h = median(over_http), b = median(raw), d = median(direct);
        row("history, one field, GET /api/history (median of 21): " + what, fixed(h, 1) + " ms",
            "sqlite3 straight: " + fixed(b, 1) + " ms; store without HTTP: " + fixed(d, 1) + " ms",
            fixed(h / b, 1) + "x the sqlite3 time (goal <= 100 ms)");
    }
    std::filesystem::remove_all(dir);
    return 0;
}
