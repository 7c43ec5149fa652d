#include "bus_log.h"

#include <fastdds/dds/log/Log.hpp>
#include <fastdds/rtps/transport/shared_mem/SharedMemTransportDescriptor.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

using namespace eprosima::fastdds::dds;

namespace {

std::mutex g_log_mutex;
std::vector<std::pair<const void*, BusLogFunction>> g_log_sinks;

// Fast DDS 2.9's shared-memory transport fills its whole segment with one
// buffer when it starts (to map the pages) and takes that buffer back at its
// first send, through the path that reclaims buffers under pressure, which
// warns "Buffer is being invalidated, segment_size may be insufficient".
// That one warning per shared-memory transport says nothing about pressure:
// each endpoint that creates such a transport expects it once, and the log
// drops it. Any further one (real pressure) is passed on. An endpoint that
// never sends over shared memory leaves its expectation unused, so at most
// that many later warnings of the process go unreported.
std::atomic<int> g_expected_shm_start_warnings{0};

bool is_shm_start_warning(const Log::Entry& entry)
{
    return entry.context.category != nullptr && std::strcmp(entry.context.category, "RTPS_TRANSPORT_SHM") == 0 &&
           entry.message.rfind("Buffer is being invalidated", 0) == 0;
}

bool take_expected_shm_start_warning()
{
    int expected = g_expected_shm_start_warnings.load();
    while (expected > 0) {
        if (g_expected_shm_start_warnings.compare_exchange_weak(expected, expected - 1)) return true;
    }
    return false;
}

// Reports of the bus working as intended, dropped:
// - the routing by destination: every writer and reader on one topic that
//   partitions keep apart is reported as an incompatible QoS, dozens of
//   times as the bench starts;
// - a peer of another DDS implementation (Cyclone DDS) that leaves sends
//   its discovery goodbyes with the serialized key (28 bytes) in the
//   payload; Fast DDS takes keys of at most 16 bytes from there and uses the
//   key hash the peer sends beside it.
const struct {
    const char* category;
    const char* text;  // contained in the message
} kExpectedReports[] = {
    {"RTPS_EDP", "): Different Partitions"},
    {"RTPS_MSG_IN", "Ignoring Serialized Payload for too large key-only data"},
};

bool is_expected_report(const Log::Entry& entry)
{
    if (entry.context.category == nullptr) return false;
    for (const auto& r : kExpectedReports) {
        if (std::strcmp(entry.context.category, r.category) == 0 && entry.message.find(r.text) != std::string::npos)
            return true;
    }
    return false;
}

class EndpointLogConsumer : public LogConsumer {
public:
    void Consume(const Log::Entry& entry) override
    {
        if (entry.kind != Log::Kind::Error && is_expected_report(entry)) return;
        if (is_shm_start_warning(entry) && take_expected_shm_start_warning()) return;
        std::string text = entry.kind == Log::Kind::Error ? "[ERROR] " : "[WARN] ";
        text += "DDS ";
        text += entry.context.category ? entry.context.category : "";
        text += ": ";
        text += entry.message;
        std::lock_guard<std::mutex> lock(g_log_mutex);
        if (!g_log_sinks.empty()) {
            g_log_sinks.back().second(text);
        } else {
            std::fprintf(stderr, "%s\n", text.c_str());
        }
    }
};

}  // namespace

void bus_log_install()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Log::ClearConsumers();
        Log::RegisterConsumer(std::unique_ptr<LogConsumer>(new EndpointLogConsumer));
        Log::SetVerbosity(Log::Kind::Warning);
    });
}

void bus_log_add_sink(const void* owner, BusLogFunction log)
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log_sinks.emplace_back(owner, std::move(log));
}

void bus_log_remove_sink(const void* owner)
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    for (auto it = g_log_sinks.begin(); it != g_log_sinks.end(); ++it) {
        if (it->first == owner) {
            g_log_sinks.erase(it);
            return;
        }
    }
}

int bus_log_expect_shm_start_warnings(const DomainParticipantQos& qos)
{
    int n = qos.transport().use_builtin_transports ? 1 : 0;
    for (const auto& t : qos.transport().user_transports) {
        if (std::dynamic_pointer_cast<eprosima::fastdds::rtps::SharedMemTransportDescriptor>(t)) ++n;
    }
    g_expected_shm_start_warnings += n;
    return n;
}

void bus_log_forget_shm_start_warnings(int count)
{
    g_expected_shm_start_warnings -= count;
}
