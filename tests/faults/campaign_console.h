// The console's side of the bus, played by a test: telemetry requests go out
// exactly as Corvane sends them (topic "Telemetry", source "Gnc_Service",
// type "command"), one at a time, and every record a service sends back is
// collected: the record for the console ("dest = 'Gnc_Service'"), the line
// statistics and the raw answer for the line monitor ("dest =
// 'Mag_Service'"). Because only one request is out at a time, every record
// that arrives while it is out answers it; anything arriving at another time
// is kept as a stray record, which a test can check for.
//
// The endpoint binds under its own name, so a real console or monitor is
// not needed on the bus.
#pragma once

#include "bus_endpoint.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CampaignConsole {
public:
    using Bytes = std::vector<uint8_t>;

    enum class Kind { gnc, line, raw };

    struct Record {
        Kind kind;
        std::string src;
        std::string type;
        Bytes data;
    };

    // What one request brought back. A record kind not sent stays empty.
    struct Reply {
        bool complete = false;  // every expected record arrived
        Bytes gnc, line, raw;
        std::string gnc_type;   // the type label of the console's record
    };

    // Which records a service sends for one telemetry request.
    struct Expect {
        bool line = true;  // line statistics to Mag_Service
        bool raw = true;   // raw answer on Raw_Telemetry to Mag_Service
    };

    explicit CampaignConsole(const std::string& name = "Fault_Campaign")
        : endpoint_(0, 3000, name, [this](const std::string& text) { note_log(text); })
    {
        endpoint_.create_pub("Telemetry");
        endpoint_.create_pub("Command");
        endpoint_.create_sub(
            "Telemetry",
            [this](std::string src, std::string, std::string type, std::string, std::string, Bytes& data) {
                take(Kind::gnc, src, type, data);
            },
            "dest = 'Gnc_Service'", {});
        endpoint_.create_sub(
            "Telemetry",
            [this](std::string src, std::string, std::string type, std::string, std::string, Bytes& data) {
                take(Kind::line, src, type, data);
            },
            "dest = 'Mag_Service'", {});
        endpoint_.create_sub(
            "Raw_Telemetry",
            [this](std::string src, std::string, std::string type, std::string, std::string, Bytes& data) {
                take(Kind::raw, src, type, data);
            },
            "dest = 'Mag_Service'", {});
    }

    // Waits (bounded) until the service's subscription to telemetry requests
    // is matched, then asks until a first reply comes back: until then a
    // reply may still be lost to discovery (the service's writer not yet
    // matched to this endpoint's readers). Whatever came back is discarded;
    // returns false when the service never answered.
    bool warm_up(const std::string& service, const Bytes& payload, Expect expect, std::chrono::milliseconds timeout)
    {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (vantrel_matched_readers(endpoint_, "Telemetry", service) == 0) {
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        bool answered = false;
        while (!answered && std::chrono::steady_clock::now() < until) {
            send(service, payload);
            std::unique_lock<std::mutex> lock(mutex_);
            answered = cv_.wait_for(lock, std::chrono::seconds(3), [&] { return has_all(service, expect); });
        }
        if (!answered) return false;
        // A second request sent while the first reply was late has its own
        // reply on the way; let it land before the slate is cleaned.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.clear();
        return true;
    }

    // Sends one telemetry request and waits (bounded: a guard against a
    // hang, not a judgement of speed) for the records it brings back.
    // Records pending before the request are counted as strays.
    Reply ask(const std::string& service, const Bytes& payload, Expect expect, std::chrono::milliseconds timeout)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const Record& r : pending_) strays_.push_back(r);
            pending_.clear();
        }
        send(service, payload);
        Reply reply;
        std::unique_lock<std::mutex> lock(mutex_);
        reply.complete = cv_.wait_for(lock, timeout, [&] { return has_all(service, expect); });
        // Take one record of each kind from the service; anything else stays
        // pending (and becomes a stray at the next request).
        auto take_one = [&](Kind kind, Bytes& into, std::string* type) {
            for (auto it = pending_.begin(); it != pending_.end(); ++it) {
                if (it->kind == kind && it->src == service) {
                    into = it->data;
                    if (type) *type = it->type;
                    pending_.erase(it);
                    return;
                }
            }
        };
        take_one(Kind::gnc, reply.gnc, &reply.gnc_type);
        if (expect.line) take_one(Kind::line, reply.line, nullptr);
        if (expect.raw) take_one(Kind::raw, reply.raw, nullptr);
        ++asked_;
        return reply;
    }

    // A command as the console sends one (topic "Command", type "command").
    bool command(const std::string& service, Bytes payload)
    {
        return endpoint_.publish("Command", "Gnc_Service", service, "command", payload.data(), payload.size(), "",
                                 "");
    }

    // Records that answered no request of this endpoint (late, doubled or
    // unasked), including those still pending now.
    std::vector<Record> strays()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Record> all = strays_;
        all.insert(all.end(), pending_.begin(), pending_.end());
        return all;
    }

    int asked() const { return asked_; }

    std::string log()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }

private:
    void send(const std::string& service, Bytes payload)
    {
        endpoint_.publish("Telemetry", "Gnc_Service", service, "command", payload.data(), payload.size(), "", "");
    }

    bool has_all(const std::string& service, Expect expect) const
    {
        bool gnc = false, line = !expect.line, raw = !expect.raw;
        for (const Record& r : pending_) {
            if (r.src != service) continue;
            gnc = gnc || r.kind == Kind::gnc;
            line = line || r.kind == Kind::line;
            raw = raw || r.kind == Kind::raw;
        }
        return gnc && line && raw;
    }

    void take(Kind kind, const std::string& src, const std::string& type, const Bytes& data)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(Record{kind, src, type, data});
        cv_.notify_all();
    }

    void note_log(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        log_ += text + "\n";
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Record> pending_;
    std::vector<Record> strays_;
    std::string log_;
    int asked_ = 0;
    // Last member: destroyed first, so no callback runs into the members
    // above while they go.
    Vantrel endpoint_;
};
