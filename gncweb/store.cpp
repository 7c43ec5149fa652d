#include "store.h"

#include <sqlite3.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace gncweb {

namespace {

using Clock = std::chrono::steady_clock;

const char* const SCHEMA =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "CREATE TABLE IF NOT EXISTS keys (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);"
    "CREATE TABLE IF NOT EXISTS samples (key INTEGER NOT NULL, t INTEGER NOT NULL, value REAL);"
    "CREATE INDEX IF NOT EXISTS samples_key_t ON samples (key, t);"
    "CREATE VIEW IF NOT EXISTS named_samples AS SELECT keys.name AS key, samples.t AS t, samples.value AS value "
    "FROM samples JOIN keys ON keys.id = samples.key;";

// A prepared statement, finalized when it goes.
class Statement {
public:
    Statement(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("SQLite: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(s_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    operator sqlite3_stmt*() const { return s_; }

private:
    sqlite3_stmt* s_ = nullptr;
};

void exec(sqlite3* db, const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string text = error ? error : sqlite3_errmsg(db);
        sqlite3_free(error);
        throw std::runtime_error("SQLite: " + text);
    }
}

Ms now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Store::Store(Options options, Log log) : options_(std::move(options)), log_(std::move(log))
{
    if (!log_) log_ = [](const std::string&) {};
    if (options_.review) {
        sqlite3* probe = open_connection(false);
        readers_.push_back(probe);
        return;
    }
    db_ = open_connection(true);
    try {
        exec(db_, SCHEMA);
        Statement keys(db_, "SELECT id, name FROM keys");
        while (sqlite3_step(keys) == SQLITE_ROW)
            key_ids_[reinterpret_cast<const char*>(sqlite3_column_text(keys, 1))] = sqlite3_column_int64(keys, 0);
    } catch (const std::exception& e) {
        sqlite3_close(db_);
        throw std::runtime_error(options_.path + ": " + e.what());
    }
    writer_ = std::thread([this] { writer(); });
}

Store::~Store()
{
    close();
    for (sqlite3* r : readers_) sqlite3_close(r);
    sqlite3_close(db_);
}

sqlite3* Store::open_connection(bool create) const
{
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(options_.path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        std::string text = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw std::runtime_error(options_.path + ": " + text);
    }
    sqlite3_busy_timeout(db, 5000);
    if (!create) {
        // A recorded run must have the samples table.
        sqlite3_stmt* s = nullptr;
        const bool ok = sqlite3_prepare_v2(db, "SELECT 1 FROM samples LIMIT 1", -1, &s, nullptr) == SQLITE_OK;
        sqlite3_finalize(s);
        if (!ok) {
            std::string text = sqlite3_errmsg(db);
            sqlite3_close(db);
            throw std::runtime_error(options_.path + ": not a gncweb telemetry file (" + text + ")");
        }
    }
    return db;
}

bool Store::add(const std::vector<Sample>& samples)
{
    if (samples.empty()) return true;
    std::size_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        std::size_t room = stopping_ || options_.review || queue_.size() >= options_.queue_capacity
                               ? 0
                               : options_.queue_capacity - queue_.size();
        const std::size_t taken = std::min(room, samples.size());
        queue_.insert(queue_.end(), samples.begin(), samples.begin() + taken);
        accepted_ += taken;
        dropped = samples.size() - taken;
    }
    if (dropped == 0) return true;
    // Reported at most every ten seconds, with the total so far.
    const uint64_t total = dropped_ += dropped;
    const int64_t now = now_ms();
    int64_t last = last_drop_report_.load();
    if (now - last >= 10'000 && last_drop_report_.compare_exchange_strong(last, now))
        log_("[WARN] " + std::to_string(total) + " value(s) not stored so far: the write queue (" +
             std::to_string(options_.queue_capacity) + " values) is full; the disk is not keeping up");
    return false;
}

std::size_t Store::queued()
{
    std::lock_guard<std::mutex> lock(queue_mutex_);
    return queue_.size();
}

void Store::flush()
{
    std::unique_lock<std::mutex> lock(queue_mutex_);
    if (!writer_.joinable()) return;
    const uint64_t target = accepted_;
    flush_asked_ = true;
    queue_cv_.notify_all();
    committed_cv_.wait(lock, [&] { return committed_ >= target || !writer_.joinable(); });
}

void Store::close()
{
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        stopping_ = true;
    }
    queue_cv_.notify_all();
    if (writer_.joinable()) writer_.join();
}

void Store::writer()
{
    auto next_retention = Clock::now();
    std::vector<Sample> batch;
    for (;;) {
        bool last = false;
        {
            std::unique_lock<std::mutex> lock(queue_mutex_);
            queue_cv_.wait_for(lock, options_.batch_interval, [&] { return stopping_ || flush_asked_; });
            flush_asked_ = false;
            batch.swap(queue_);
            last = stopping_;
        }
        const std::size_t n = batch.size();
        if (n > 0) write_batch(batch);
        batch.clear();
        {
            std::lock_guard<std::mutex> lock(queue_mutex_);
            committed_ += n;
        }
        committed_cv_.notify_all();
        if (last) {
            std::lock_guard<std::mutex> lock(queue_mutex_);
            if (queue_.empty()) break;
        }
        if (options_.retention_hours > 0 && Clock::now() >= next_retention) {
            next_retention = Clock::now() + options_.retention_interval;
            try {
                delete_before(now_ms() - Ms(options_.retention_hours * 3'600'000.0));
            } catch (const std::exception& e) {
                log_(std::string("[ERROR] deleting old values: ") + e.what());
            }
        }
    }
}

int64_t Store::key_id(const std::string& key)
{
    auto it = key_ids_.find(key);
    if (it != key_ids_.end()) return it->second;
    Statement insert(db_, "INSERT OR IGNORE INTO keys (name) VALUES (?)");
    sqlite3_bind_text(insert, 1, key.c_str(), int(key.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(insert) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_));
    Statement select(db_, "SELECT id FROM keys WHERE name = ?");
    sqlite3_bind_text(select, 1, key.c_str(), int(key.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(select) != SQLITE_ROW) throw std::runtime_error(sqlite3_errmsg(db_));
    return key_ids_[key] = sqlite3_column_int64(select, 0);
}

void Store::write_batch(std::vector<Sample>& batch)
{
    std::lock_guard<std::mutex> lock(db_mutex_);
    try {
        exec(db_, "BEGIN");
        Statement insert(db_, "INSERT INTO samples (key, t, value) VALUES (?, ?, ?)");
        for (const Sample& s : batch) {
            sqlite3_bind_int64(insert, 1, key_id(s.key));
            sqlite3_bind_int64(insert, 2, s.t);
            if (std::isfinite(s.value))
                sqlite3_bind_double(insert, 3, s.value);
            else
                sqlite3_bind_null(insert, 3);
            if (sqlite3_step(insert) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_));
            sqlite3_reset(insert);
        }
        exec(db_, "COMMIT");
        written_ += batch.size();
    } catch (const std::exception& e) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        // Ids given inside the rolled-back transaction are gone with it.
        key_ids_.clear();
        Statement keys(db_, "SELECT id, name FROM keys");
        while (sqlite3_step(keys) == SQLITE_ROW)
            key_ids_[reinterpret_cast<const char*>(sqlite3_column_text(keys, 1))] = sqlite3_column_int64(keys, 0);
        dropped_ += batch.size();
        log_("[ERROR] " + std::to_string(batch.size()) + " value(s) not stored: " + e.what());
    }
}

std::size_t Store::delete_before(Ms cutoff)
{
    if (!db_) return 0;
    std::lock_guard<std::mutex> lock(db_mutex_);
    std::size_t deleted = 0;
    Statement del(db_, "DELETE FROM samples WHERE key = ? AND t < ?");
    for (const auto& [name, id] : key_ids_) {
        sqlite3_bind_int64(del, 1, id);
        sqlite3_bind_int64(del, 2, cutoff);
        if (sqlite3_step(del) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_));
        deleted += std::size_t(sqlite3_changes(db_));
        sqlite3_reset(del);
    }
    return deleted;
}

namespace {

// A reading connection borrowed from the pool for one query.
class Reader {
public:
    Reader(std::mutex& m, std::vector<sqlite3*>& pool, const std::function<sqlite3*()>& open) : m_(m), pool_(pool)
    {
        {
            std::lock_guard<std::mutex> lock(m_);
            if (!pool_.empty()) {
                db_ = pool_.back();
                pool_.pop_back();
            }
        }
        if (!db_) db_ = open();
    }
    ~Reader()
    {
        std::lock_guard<std::mutex> lock(m_);
        pool_.push_back(db_);
    }
    operator sqlite3*() const { return db_; }

private:
    std::mutex& m_;
    std::vector<sqlite3*>& pool_;
    sqlite3* db_ = nullptr;
};

}  // namespace

Store::Range Store::history(const std::string& key, Ms start, Ms end, std::size_t cap) const
{
    Reader db(readers_mutex_, readers_, [this] { return open_connection(false); });
    const char* const where = " FROM samples WHERE key = (SELECT id FROM keys WHERE name = ?1) AND t BETWEEN ?2 AND ?3";
    auto bind = [&](sqlite3_stmt* s) {
        sqlite3_bind_text(s, 1, key.c_str(), int(key.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 2, start);
        sqlite3_bind_int64(s, 3, end);
    };
    Range r;
    Statement count(db, (std::string("SELECT count(*)") + where).c_str());
    bind(count);
    if (sqlite3_step(count) == SQLITE_ROW) r.count = std::size_t(sqlite3_column_int64(count, 0));
    if (r.count == 0) return r;
    cap = std::max<std::size_t>(cap, 1);
    r.step = (r.count + cap - 1) / cap;
    r.points.reserve(r.count / r.step + 1);
    Statement select(db, (std::string("SELECT t, value") + where + " ORDER BY t").c_str());
    bind(select);
    std::size_t i = 0;
    int rc;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
        if (i++ % r.step != 0) continue;
        Point p;
        p.t = sqlite3_column_int64(select, 0);
        p.value = sqlite3_column_type(select, 1) == SQLITE_NULL ? std::numeric_limits<double>::quiet_NaN()
                                                                 : sqlite3_column_double(select, 1);
        r.points.push_back(p);
    }
    if (rc != SQLITE_DONE) throw std::runtime_error(std::string("SQLite: ") + sqlite3_errmsg(db));
    return r;
}

std::pair<std::optional<Ms>, std::optional<Ms>> Store::span() const
{
    Reader db(readers_mutex_, readers_, [this] { return open_connection(false); });
    // Per key along the index: a plain min(t) over the table would read it all.
    Statement s(db,
                "SELECT min((SELECT min(t) FROM samples WHERE key = keys.id)), "
                "max((SELECT max(t) FROM samples WHERE key = keys.id)) FROM keys");
    std::pair<std::optional<Ms>, std::optional<Ms>> r;
    if (sqlite3_step(s) == SQLITE_ROW) {
        if (sqlite3_column_type(s, 0) != SQLITE_NULL) r.first = sqlite3_column_int64(s, 0);
        if (sqlite3_column_type(s, 1) != SQLITE_NULL) r.second = sqlite3_column_int64(s, 1);
    }
    return r;
}

}  // namespace gncweb
