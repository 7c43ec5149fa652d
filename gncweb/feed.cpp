#include "feed.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace gncweb {

Ms wall_ms(std::chrono::system_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

namespace {

// The wheels' records carry no line counts: those come in the line
// statistics records their service sends after each one. The other
// devices' records carry their own.
bool counts_from_line_statistics(const std::string& device)
{
    auto address = telemetry::device_address(device);
    return address && address->kind == telemetry::Kind::Wheel;
}

}  // namespace

std::vector<Sample> LineHealth::observe(const bus::Observation& o)
{
    std::vector<Sample> out;
    const Ms t = wall_ms(o.wall);
    if (o.is_record) {
        const std::string prefix = o.record.device + ".";
        out.reserve(o.record.fields.size());
        for (const auto& f : o.record.fields) out.push_back({prefix + f.key, t, f.value});
        Device& d = devices_[o.record.device];
        if (d.recent.empty() && d.first == bus::Clock::time_point()) d.first = o.at;
        d.last = o.at;
        d.recent.push_back(o.at);
    } else if (counts_from_line_statistics(o.line.device)) {
        for (const char* key : bus::LINE_COUNT_KEYS)
            out.push_back({o.line.device + "." + key, t, bus::line_count(o.line, key)});
    }
    return out;
}

std::vector<Sample> LineHealth::tick(bus::Clock::time_point now, Ms now_wall)
{
    std::vector<Sample> out;
    for (auto& [name, d] : devices_) {
        while (!d.recent.empty() && now - d.recent.front() > window_) d.recent.pop_front();
        const double seen = std::chrono::duration<double>(now - d.first).count();
        const double span = std::max(1.0, std::min(double(window_.count()), seen));
        out.push_back({name + ".frames_per_s", now_wall, double(d.recent.size()) / span});
        out.push_back({name + ".age_s", now_wall, std::max(0.0, std::chrono::duration<double>(now - d.last).count())});
    }
    return out;
}

std::string json_number(double v)
{
    if (!std::isfinite(v)) return "null";
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string Stream::event(const Sample& s)
{
    // Keys are device and field names: letters, digits, '_' and '.'.
    return "data: {\"key\":\"" + s.key + "\",\"t\":" + std::to_string(s.t) + ",\"value\":" + json_number(s.value) +
           "}\n\n";
}

bool Stream::Client::take(std::string& out, std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, wait, [&] { return overflowed_ || !events_.empty(); });
    if (overflowed_) return false;
    for (auto& e : events_) out += e;
    events_.clear();
    return true;
}

std::shared_ptr<Stream::Client> Stream::subscribe(std::set<std::string> keys)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (clients_.size() >= max_clients_) return nullptr;
    auto c = std::make_shared<Client>();
    c->keys_ = std::move(keys);
    clients_.push_back(c);
    return c;
}

void Stream::unsubscribe(const std::shared_ptr<Client>& c)
{
    std::lock_guard<std::mutex> lock(mutex_);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), c), clients_.end());
}

std::size_t Stream::clients() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return clients_.size();
}

void Stream::publish(const std::vector<Sample>& samples)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (clients_.empty()) return;
    std::vector<std::string> events;
    events.reserve(samples.size());
    for (const auto& s : samples) events.push_back(event(s));
    for (const auto& c : clients_) {
        bool added = false, overflowed = false;
        {
            std::lock_guard<std::mutex> client_lock(c->mutex_);
            if (c->overflowed_) continue;
            for (std::size_t i = 0; i < samples.size(); ++i) {
                if (!c->wants(samples[i].key)) continue;
                if (c->events_.size() >= capacity_) {
                    c->overflowed_ = true;
                    c->events_.clear();
                    ++dropped_clients_;
                    overflowed = true;
                    break;
                }
                c->events_.push_back(events[i]);
                added = true;
            }
        }
        if (added || overflowed) c->cv_.notify_all();
    }
}

}  // namespace gncweb
