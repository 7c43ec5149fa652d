// Vantrel on Fast DDS.
//
// One participant per endpoint, named after the service. One DDS topic per bus
// topic, all of the generated BusMessage type. A subscription is a
// content-filtered topic with the caller's expression plus a data reader; a
// field equality such as "dest = 'X'" is evaluated by the endpoint's own
// filter (bus_filter.h), anything else by Fast DDS's SQL filter.
//
// QoS and transports: bus_qos.cpp. A Fast DDS XML profile file named in the
// environment replaces the participant's settings (across hosts, security).

#include "bus_endpoint.h"
#include "bus_endpoint_detail.h"
#include "bus_filter.h"
#include "handoff.h"

#include "BusMessage.h"
#include "BusMessagePubSubTypes.h"
#include "BusMessageTypeObject.h"

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/domain/DomainParticipantListener.hpp>
#include <fastdds/dds/log/Log.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/DataWriterListener.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/ContentFilteredTopic.hpp>
#include <fastdds/dds/topic/IContentFilter.hpp>
#include <fastdds/dds/topic/IContentFilterFactory.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>
#include <fastdds/rtps/transport/UDPv4TransportDescriptor.h>
#include <fastdds/rtps/transport/shared_mem/SharedMemTransportDescriptor.h>
#include <fastrtps/attributes/LibrarySettingsAttributes.h>
#include <fastrtps/utils/IPLocator.h>
#include <fastrtps/xmlparser/XMLProfileManager.h>

#include <array>
#include <cctype>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <deque>
#include <thread>

using namespace eprosima::fastdds::dds;
using eprosima::fastrtps::rtps::GuidPrefix_t;
using eprosima::fastrtps::rtps::IPLocator;
using eprosima::fastrtps::rtps::Locator_t;
using eprosima::fastrtps::rtps::ParticipantDiscoveryInfo;

namespace {

using Clock = std::chrono::steady_clock;
using Prefix = std::array<unsigned char, 12>;

Prefix prefix_of(const InstanceHandle_t& handle)
{
    Prefix p{};
    std::memcpy(p.data(), handle.value, p.size());
    return p;
}

Prefix prefix_of(const GuidPrefix_t& guid)
{
    Prefix p{};
    std::memcpy(p.data(), guid.value, p.size());
    return p;
}

// ---------------------------------------------------------------------------
// Fast DDS log output goes to the most recently created live endpoint's log
// function, warnings and errors only. Without a live endpoint it goes to
// standard error, never raw to standard output.

std::mutex g_log_mutex;
std::vector<std::pair<const void*, Vantrel::LogFunction>> g_log_sinks;

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

// Shared-memory transports a participant built from `qos` creates.
int shm_transports_in(const DomainParticipantQos& qos)
{
    int n = qos.transport().use_builtin_transports ? 1 : 0;
    for (const auto& t : qos.transport().user_transports) {
        if (std::dynamic_pointer_cast<eprosima::fastdds::rtps::SharedMemTransportDescriptor>(t)) ++n;
    }
    return n;
}

class EndpointLogConsumer : public eprosima::fastdds::dds::LogConsumer {
public:
    void Consume(const Log::Entry& entry) override
    {
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

void install_log_consumer()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Log::ClearConsumers();
        Log::RegisterConsumer(std::unique_ptr<LogConsumer>(new EndpointLogConsumer));
        Log::SetVerbosity(Log::Kind::Warning);
    });
}

// Fast DDS keeps one shared-memory segment per participant in /dev/shm,
// "fastrtps_<16 hex digits>", beside a lock file "<segment>_el" that the
// owner holds with flock() while it lives. A program that is killed (the
// console only ever ends that way) leaves both behind. Remove the pairs whose
// lock nobody holds, as Fast DDS's own "shm clean" tool does, so a bench that
// runs for weeks does not fill /dev/shm.
bool is_segment_lock_name(const char* name)
{
    static const char prefix[] = "fastrtps_";
    const std::size_t plen = sizeof prefix - 1;
    if (std::strncmp(name, prefix, plen) != 0) return false;
    const char* id = name + plen;
    for (int i = 0; i < 16; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(id[i]))) return false;
    }
    return std::strcmp(id + 16, "_el") == 0;
}

void remove_stale_shm_segments_in(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> locks;
    while (dirent* e = readdir(d)) {
        if (is_segment_lock_name(e->d_name)) locks.emplace_back(e->d_name);
    }
    closedir(d);
    for (const std::string& lock_name : locks) {
        std::string lock_path = dir + "/" + lock_name;
        int fd = ::open(lock_path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            std::string segment = lock_path.substr(0, lock_path.size() - 3);
            ::unlink(segment.c_str());
            ::unlink(lock_path.c_str());
        }
        ::close(fd);
    }
}

// The XML profile file named in the environment, or empty. Both Fast DDS
// variable names are honoured (this Fast DDS reads only the older one).
std::string profile_file_from_environment()
{
    for (const char* var : {"FASTDDS_DEFAULT_PROFILES_FILE", "FASTRTPS_DEFAULT_PROFILES_FILE"}) {
        const char* v = std::getenv(var);
        if (v && *v) return v;
    }
    return {};
}

}  // namespace

void vantrel_remove_stale_shm_segments(const std::string& dir)
{
    remove_stale_shm_segments_in(dir);
}

// ---------------------------------------------------------------------------

// Field equality filters ("dest = '<name>'") evaluated by the endpoint on
// the serialized message; see bus_filter.h. Fast DDS's SQL filter
// deserializes every message before comparing, which costs more the longer
// the payload.
namespace {

constexpr const char* FIELD_FILTER_CLASS = "VANTREL_FIELD_EQUALITY";

class FieldFilter final : public IContentFilter {
public:
    explicit FieldFilter(FieldEquality eq) : eq_(std::move(eq)) {}
    bool evaluate(const SerializedPayload& payload, const FilterSampleInfo&,
                  const eprosima::fastrtps::rtps::GUID_t&) const override
    {
        HandoffScope scope(this);  // built on our thread, called on Fast DDS's
        return serialized_field_equals(payload.data, payload.length, eq_.field, eq_.value);
    }

private:
    FieldEquality eq_;
};

class FieldFilterFactory : public IContentFilterFactory {
public:
    ReturnCode_t create_content_filter(const char*, const char*, const TopicDataType*, const char* expression,
                                       const ParameterSeq&, IContentFilter*& instance) override
    {
        if (expression == nullptr) {
            // Only the parameters change, and this filter has none.
            return instance ? ReturnCode_t::RETCODE_OK : ReturnCode_t::RETCODE_BAD_PARAMETER;
        }
        auto eq = parse_field_equality(expression);
        if (!eq) return ReturnCode_t::RETCODE_BAD_PARAMETER;
        if (instance) handoff_acquire(instance);
        delete static_cast<FieldFilter*>(instance);
        instance = new FieldFilter(std::move(*eq));
        handoff_release(instance);
        return ReturnCode_t::RETCODE_OK;
    }
    ReturnCode_t delete_content_filter(const char*, IContentFilter* instance) override
    {
        if (instance) handoff_acquire(instance);
        delete static_cast<FieldFilter*>(instance);
        return ReturnCode_t::RETCODE_OK;
    }
};

FieldFilterFactory& field_filter_factory()
{
    static FieldFilterFactory factory;  // outlives every participant
    return factory;
}

}  // namespace

struct Vantrel::Impl {
    // Match bookkeeping shared with the Fast DDS listener threads.
    struct Matching {
        std::mutex mutex;
        std::condition_variable changed;
        std::map<Prefix, std::string> participant_names;
        std::map<std::string, std::multiset<Prefix>> matched;  // topic -> reader prefixes

        // Messages held back during the settle window, per (topic,
        // destination), in publishing order; `busy` counts keys whose batch
        // the sender is writing right now (later messages queue behind it).
        std::map<std::pair<std::string, std::string>, std::deque<vantrel::BusMessage>> held;
        std::map<std::pair<std::string, std::string>, int> busy;
        bool closing = false;
    };

    class ParticipantListener : public DomainParticipantListener {
    public:
        explicit ParticipantListener(Matching& m) : m_(m) {}
        void on_participant_discovery(DomainParticipant*, ParticipantDiscoveryInfo&& info) override
        {
            HandoffScope scope(this);
            Prefix p = prefix_of(info.info.m_guid.guidPrefix);
            std::lock_guard<std::mutex> lock(m_.mutex);
            switch (info.status) {
            case ParticipantDiscoveryInfo::DISCOVERED_PARTICIPANT:
            case ParticipantDiscoveryInfo::CHANGED_QOS_PARTICIPANT:
                m_.participant_names[p] = info.info.m_participantName.to_string();
                break;
            default:
                m_.participant_names.erase(p);
                break;
            }
            m_.changed.notify_all();
        }

    private:
        Matching& m_;
    };

    class WriterListener : public DataWriterListener {
    public:
        WriterListener(Matching& m, std::string topic) : m_(m), topic_(std::move(topic)) {}
        void on_publication_matched(DataWriter*, const PublicationMatchedStatus& status) override
        {
            HandoffScope scope(this);
            Prefix p = prefix_of(status.last_subscription_handle);
            std::lock_guard<std::mutex> lock(m_.mutex);
            auto& set = m_.matched[topic_];
            if (status.current_count_change > 0) {
                set.insert(p);
            } else if (status.current_count_change < 0) {
                auto it = set.find(p);
                if (it != set.end()) set.erase(it);
            }
            m_.changed.notify_all();
        }

    private:
        Matching& m_;
        std::string topic_;
    };

    // Guards delivery against the endpoint's destruction: no callback starts
    // once `closing` is set, and the destructor waits for running ones.
    struct Delivery {
        std::mutex mutex;
        std::condition_variable idle;
        bool closing = false;
        int in_flight = 0;
    };

    class ReaderListener : public DataReaderListener {
    public:
        ReaderListener(Delivery& d, Callback cb, LogFunction log)
            : d_(d), cb_(std::move(cb)), log_(std::move(log))
        {
        }
        void on_data_available(DataReader* reader) override
        {
            HandoffScope scope(this);
            {
                std::lock_guard<std::mutex> lock(d_.mutex);
                if (d_.closing) return;
                ++d_.in_flight;
            }
            vantrel::BusMessage msg;
            SampleInfo info;
            while (reader->take_next_sample(&msg, &info) == ReturnCode_t::RETCODE_OK) {
                if (!info.valid_data) continue;
                std::vector<unsigned char> payload(msg.payload().begin(), msg.payload().end());
                try {
                    cb_(msg.src(), msg.dest(), msg.type(), msg.extra1(), msg.extra2(), payload);
                } catch (const std::exception& e) {
                    if (log_) log_(std::string("[ERROR] Bus callback failed: ") + e.what());
                } catch (...) {
                    if (log_) log_("[ERROR] Bus callback failed");
                }
                {
                    std::lock_guard<std::mutex> lock(d_.mutex);
                    if (d_.closing) break;
                }
            }
            std::lock_guard<std::mutex> lock(d_.mutex);
            if (--d_.in_flight == 0) d_.idle.notify_all();
        }

    private:
        Delivery& d_;
        Callback cb_;
        LogFunction log_;
    };

    struct Subscription {
        ContentFilteredTopic* filtered = nullptr;
        DataReader* reader = nullptr;
        std::unique_ptr<ReaderListener> listener;
    };

    std::string name;
    LogFunction log;
    Clock::time_point settle_until;

    DomainParticipant* participant = nullptr;
    Publisher* publisher = nullptr;
    Subscriber* subscriber = nullptr;
    TypeSupport type{new vantrel::BusMessagePubSubType()};

    Matching matching;
    Delivery delivery;
    std::thread held_sender;  // sends held messages; ends with the window
    std::unique_ptr<ParticipantListener> participant_listener;

    // create_pub and create_sub one at a time. Held while Fast DDS creates
    // an entity, so never taken on a path a callback can reach: a reader
    // can deliver (and its callback publish) before its creation returns.
    std::mutex creation_mutex;
    std::map<std::string, Topic*> topics;  // under creation_mutex
    unsigned filter_serial = 0;            // under creation_mutex

    std::mutex entities_mutex;  // writers, subscriptions; held only briefly
    std::map<std::string, std::pair<DataWriter*, std::unique_ptr<WriterListener>>> writers;
    std::vector<Subscription> subscriptions;

    void say(const std::string& text) const
    {
        if (log) log(text);
    }

    Topic* topic_for(const std::string& topic_name)
    {
        auto it = topics.find(topic_name);
        if (it != topics.end()) return it->second;
        Topic* t = participant->create_topic(topic_name, type.get_type_name(), TOPIC_QOS_DEFAULT);
        if (!t) {
            say("[ERROR] Cannot create topic " + topic_name);
            return nullptr;
        }
        topics[topic_name] = t;
        return t;
    }

    bool destination_matched(const std::string& topic, const std::string& dest)
    {
        auto it = matching.matched.find(topic);
        if (it == matching.matched.end()) return false;
        for (const Prefix& p : it->second) {
            auto n = matching.participant_names.find(p);
            if (n != matching.participant_names.end() && n->second == dest) return true;
        }
        return false;
    }

    DataWriter* writer_for(const std::string& topic)
    {
        std::lock_guard<std::mutex> lock(entities_mutex);
        auto it = writers.find(topic);
        return it != writers.end() ? it->second.first : nullptr;
    }

    void write(DataWriter* writer, vantrel::BusMessage& msg)
    {
        if (!writer->write(&msg)) say("[ERROR] Publish on " + msg.topic() + " to " + msg.dest() + " failed");
    }

    // Sends each destination's held messages as soon as its reader is
    // matched, and everything still held when the window ends (or the
    // endpoint closes), in publishing order.
    void send_held()
    {
        std::unique_lock<std::mutex> lock(matching.mutex);
        for (;;) {
            bool window_over = matching.closing || Clock::now() >= settle_until;
            auto ready = matching.held.end();
            for (auto it = matching.held.begin(); it != matching.held.end(); ++it) {
                if (window_over || destination_matched(it->first.first, it->first.second)) {
                    ready = it;
                    break;
                }
            }
            if (ready == matching.held.end()) {
                if (window_over) return;  // nothing left: publish writes directly from now on
                matching.changed.wait_until(lock, settle_until);
                continue;
            }
            auto key = ready->first;
            std::deque<vantrel::BusMessage> batch;
            batch.swap(ready->second);
            matching.held.erase(ready);
            ++matching.busy[key];
            lock.unlock();
            DataWriter* writer = writer_for(key.first);
            for (auto& msg : batch) {
                if (writer) write(writer, msg);
            }
            lock.lock();
            if (--matching.busy[key] == 0) matching.busy.erase(key);
        }
    }
};

Vantrel::Vantrel(unsigned int domain, unsigned short settle_ms, std::string name, LogFunction log)
    : impl_(new Impl)
{
    install_log_consumer();
    impl_->name = name;
    impl_->log = log;
    impl_->settle_until = Clock::now() + std::chrono::milliseconds(settle_ms);
    if (log) {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        g_log_sinks.emplace_back(this, log);
    }

    registerBusMessageTypes();
    static std::once_flag shm_cleanup;
    std::call_once(shm_cleanup, [] { remove_stale_shm_segments_in("/dev/shm"); });

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    DomainParticipantQos qos;
    std::string profile_file = profile_file_from_environment();
    bool from_profile = false;
    if (!profile_file.empty()) {
        // Opt-in: the participant comes from the default participant profile
        // of the XML file named by the environment (to run across hosts).
        // This Fast DDS reads only the older variable name, and only when it
        // first loads its profiles.
        setenv("FASTRTPS_DEFAULT_PROFILES_FILE", profile_file.c_str(), 1);
        factory->load_profiles();
        factory->get_default_participant_qos(qos);
        if (qos == PARTICIPANT_QOS_DEFAULT) {
            // Nothing was loaded: never fall back to Fast DDS's own defaults,
            // which multicast on every interface.
            impl_->say("[ERROR] No default participant profile in " + profile_file +
                       "; using the local-only bus");
        } else {
            from_profile = true;
            qos.name(name);
        }
    }
    if (!from_profile) {
        qos = vantrel_local_participant_qos(name);
    }

    // Every message goes through a transport, even between endpoints of one
    // process. Fast DDS's intra-process shortcut delivers into the reader on
    // the writer's thread, and a publish from inside a callback (a service
    // answering a request) can then deadlock against the reader's own locks.
    eprosima::fastrtps::LibrarySettingsAttributes library;
    library.intraprocess_delivery = eprosima::fastrtps::INTRAPROCESS_OFF;
    eprosima::fastrtps::xmlparser::XMLProfileManager::library_settings(library);

    impl_->participant_listener.reset(new Impl::ParticipantListener(impl_->matching));
    handoff_release(impl_->participant_listener.get());
    StatusMask mask = StatusMask::none();
    const int shm_transports = shm_transports_in(qos);
    g_expected_shm_start_warnings += shm_transports;
    impl_->participant =
        factory->create_participant(domain, qos, impl_->participant_listener.get(), mask);
    if (!impl_->participant) {
        g_expected_shm_start_warnings -= shm_transports;
        impl_->say("[ERROR] Cannot create the bus participant for " + name);
        return;
    }
    {
        // Our own readers count as matched destinations too.
        std::lock_guard<std::mutex> lock(impl_->matching.mutex);
        impl_->matching.participant_names[prefix_of(impl_->participant->guid().guidPrefix)] = name;
    }
    if (impl_->type.register_type(impl_->participant) != ReturnCode_t::RETCODE_OK) {
        impl_->say("[ERROR] Cannot register the bus message type");
    }
    if (impl_->participant->register_content_filter_factory(FIELD_FILTER_CLASS, &field_filter_factory()) !=
        ReturnCode_t::RETCODE_OK) {
        impl_->say("[WARN] Cannot register the field filter; subscriptions use the SQL filter");
    }
    impl_->publisher = impl_->participant->create_publisher(PUBLISHER_QOS_DEFAULT);
    impl_->subscriber = impl_->participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT);
    if (!impl_->publisher || !impl_->subscriber) {
        impl_->say("[ERROR] Cannot create the bus publisher or subscriber");
    }
    if (settle_ms > 0) impl_->held_sender = std::thread([this] { impl_->send_held(); });
}

Vantrel::~Vantrel()
{
    if (impl_->held_sender.joinable()) {
        {
            std::lock_guard<std::mutex> lock(impl_->matching.mutex);
            impl_->matching.closing = true;
        }
        impl_->matching.changed.notify_all();
        impl_->held_sender.join();
    }
    {
        std::unique_lock<std::mutex> lock(impl_->delivery.mutex);
        impl_->delivery.closing = true;
        impl_->delivery.idle.wait(lock, [this] { return impl_->delivery.in_flight == 0; });
    }
    if (impl_->participant) {
        for (auto& s : impl_->subscriptions) {
            if (s.reader) s.reader->set_listener(nullptr);
        }
        for (auto& w : impl_->writers) {
            if (w.second.first) w.second.first->set_listener(nullptr);
        }
        impl_->participant->set_listener(nullptr);
        impl_->participant->delete_contained_entities();
        impl_->participant->unregister_content_filter_factory(FIELD_FILTER_CLASS);
        DomainParticipantFactory::get_instance()->delete_participant(impl_->participant);
        impl_->participant = nullptr;
    }
    // The library's threads are done with the listeners now.
    handoff_acquire(impl_->participant_listener.get());
    for (auto& w : impl_->writers) handoff_acquire(w.second.second.get());
    for (auto& s : impl_->subscriptions) handoff_acquire(s.listener.get());
    std::lock_guard<std::mutex> lock(g_log_mutex);
    for (auto it = g_log_sinks.begin(); it != g_log_sinks.end(); ++it) {
        if (it->first == this) {
            g_log_sinks.erase(it);
            break;
        }
    }
}

bool Vantrel::create_pub(std::string topic)
{
    std::lock_guard<std::mutex> creating(impl_->creation_mutex);
    if (!impl_->publisher) return false;
    if (impl_->writer_for(topic)) return true;
    Topic* t = impl_->topic_for(topic);
    if (!t) return false;
    std::unique_ptr<Impl::WriterListener> listener(new Impl::WriterListener(impl_->matching, topic));
    handoff_release(listener.get());
    DataWriter* writer = impl_->publisher->create_datawriter(
        t, vantrel_writer_qos(), listener.get(), StatusMask::publication_matched());
    if (!writer) {
        impl_->say("[ERROR] Cannot create a writer on topic " + topic);
        return false;
    }
    std::lock_guard<std::mutex> lock(impl_->entities_mutex);
    impl_->writers[topic] = std::make_pair(writer, std::move(listener));
    return true;
}

bool Vantrel::create_sub(std::string topic, Callback callback, std::string filter,
                         std::vector<std::string> parameters)
{
    std::lock_guard<std::mutex> creating(impl_->creation_mutex);
    if (!impl_->subscriber) return false;
    Topic* t = impl_->topic_for(topic);
    if (!t) return false;
    std::string cft_name =
        topic + "/" + impl_->name + "/" + std::to_string(++impl_->filter_serial);
    // A field equality goes to the endpoint's own filter; any other
    // expression to Fast DDS's SQL filter.
    ContentFilteredTopic* cft = nullptr;
    if (parameters.empty() && parse_field_equality(filter) &&
        impl_->participant->lookup_content_filter_factory(FIELD_FILTER_CLASS) != nullptr) {
        cft = impl_->participant->create_contentfilteredtopic(cft_name, t, filter, parameters, FIELD_FILTER_CLASS);
    }
    if (!cft) cft = impl_->participant->create_contentfilteredtopic(cft_name, t, filter, parameters);
    if (!cft) {
        impl_->say("[ERROR] Cannot create the filtered subscription on " + topic + " (" + filter + ")");
        return false;
    }
    Impl::Subscription sub;
    sub.filtered = cft;
    sub.listener.reset(new Impl::ReaderListener(impl_->delivery, std::move(callback), impl_->log));
    handoff_release(sub.listener.get());
    sub.reader = impl_->subscriber->create_datareader(cft, vantrel_reader_qos(), sub.listener.get(),
                                                      StatusMask::data_available());
    if (!sub.reader) {
        impl_->participant->delete_contentfilteredtopic(cft);
        impl_->say("[ERROR] Cannot create a reader on topic " + topic);
        return false;
    }
    std::lock_guard<std::mutex> lock(impl_->entities_mutex);
    impl_->subscriptions.push_back(std::move(sub));
    return true;
}

bool Vantrel::publish(std::string topic, std::string src, std::string dest, std::string type,
                      void* data, unsigned long size, std::string extra1, std::string extra2)
{
    DataWriter* writer = impl_->writer_for(topic);
    if (!writer) {
        impl_->say("[ERROR] No publisher for topic " + topic);
        return false;
    }
    if (size > 0 && data == nullptr) {
        impl_->say("[ERROR] Publish on " + topic + " without data");
        return false;
    }

    vantrel::BusMessage msg;
    msg.topic(topic);
    msg.src(std::move(src));
    msg.dest(dest);
    msg.type(std::move(type));
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    msg.payload(std::vector<uint8_t>(bytes, bytes + size));
    msg.extra1(std::move(extra1));
    msg.extra2(std::move(extra2));

    // During the settle window a message whose destination has no matched
    // reader yet is held, not lost to discovery: the sender writes it as soon
    // as the reader appears, or when the window ends. Later messages to the
    // same destination queue behind it, so each destination sees them in
    // publishing order; publish itself never waits.
    {
        std::lock_guard<std::mutex> lock(impl_->matching.mutex);
        auto key = std::make_pair(topic, dest);
        auto held = impl_->matching.held.find(key);
        bool queue_behind = held != impl_->matching.held.end() || impl_->matching.busy.count(key) > 0;
        bool in_window =
            impl_->held_sender.joinable() && !impl_->matching.closing && Clock::now() < impl_->settle_until;
        if (queue_behind || (in_window && !impl_->destination_matched(topic, dest))) {
            impl_->matching.held[key].push_back(std::move(msg));
            impl_->matching.changed.notify_all();
            return true;
        }
    }
    if (!writer->write(&msg)) {
        impl_->say("[ERROR] Publish on " + msg.topic() + " to " + msg.dest() + " failed");
        return false;
    }
    return true;
}

int vantrel_matched_readers(const Vantrel& endpoint, const std::string& topic, const std::string& dest)
{
    Vantrel::Impl& impl = *endpoint.impl_;
    std::lock_guard<std::mutex> lock(impl.matching.mutex);
    auto it = impl.matching.matched.find(topic);
    if (it == impl.matching.matched.end()) return 0;
    int n = 0;
    for (const Prefix& p : it->second) {
        auto name = impl.matching.participant_names.find(p);
        if (name != impl.matching.participant_names.end() && name->second == dest) ++n;
    }
    return n;
}
