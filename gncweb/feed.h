// What gncweb makes of the bus: every field of every record as a value,
// the line health of every device, and the live stream to the browsers.
#pragma once

#include "bus_client.h"
#include "store.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace gncweb {

Ms wall_ms(std::chrono::system_clock::time_point t);

// Line health per device:
//   <dev>.header_errors/.check_errors/.length_errors/.resets
//       from the device's records or, for a device whose record carries no
//       counts (the wheels), from its line statistics records;
//   <dev>.frames_per_s   records of the device per second over the last
//                        `window` (over what has passed since its first
//                        record, while that is shorter);
//   <dev>.age_s          seconds since the device's last record.
// The last two come from tick(), about once a second, for every device seen.
class LineHealth {
public:
    explicit LineHealth(std::chrono::seconds window = std::chrono::seconds(5)) : window_(window) {}

    // The values one observation gives, stamped with its arrival time.
    std::vector<Sample> observe(const bus::Observation& o);
    std::vector<Sample> tick(bus::Clock::time_point now, Ms now_wall);

private:
    struct Device {
        bus::Clock::time_point first, last;
        std::deque<bus::Clock::time_point> recent;
    };
    std::chrono::seconds window_;
    std::map<std::string, Device> devices_;
};

// The live stream: every value as one Server-Sent Event,
//   data: {"key":"wheel1.speed","t":1718000000123,"value":1502.5}
// Each client has its own queue of `capacity` events; a client that falls
// that far behind is dropped (its stream ends; EventSource reconnects and
// the history fills the gap), so that no client ever holds up the others
// or the ingest.
class Stream {
public:
    class Client {
    public:
        // Waits up to `wait` for events and appends them to `out`; false once
        // the client has been dropped for falling behind.
        bool take(std::string& out, std::chrono::milliseconds wait);
        bool wants(const std::string& key) const { return keys_.empty() || keys_.count(key) > 0; }

    private:
        friend class Stream;
        std::set<std::string> keys_;
        std::mutex mutex_;
        std::condition_variable cv_;
        std::deque<std::string> events_;
        bool overflowed_ = false;
    };

    Stream(std::size_t capacity = 20'000, std::size_t max_clients = 16) : capacity_(capacity), max_clients_(max_clients) {}
    // Null when `max_clients` are connected already. An empty `keys` takes all.
    std::shared_ptr<Client> subscribe(std::set<std::string> keys);
    void unsubscribe(const std::shared_ptr<Client>& c);
    void publish(const std::vector<Sample>& samples);
    std::size_t clients() const;
    uint64_t dropped_clients() const { return dropped_clients_; }

    static std::string event(const Sample& s);

private:
    std::size_t capacity_, max_clients_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Client>> clients_;
    std::atomic<uint64_t> dropped_clients_{0};
};

// A number as JSON: the shortest text that reads back the same, null when
// not finite.
std::string json_number(double v);

}  // namespace gncweb
