// Vantrel on Fast DDS: creating and tearing down the DDS entities.
//
// One participant per endpoint, named after the service. One DDS topic per bus
// topic, all of the generated BusMessage type.
//
// Writers: one per (topic, destination), in a publisher whose partition is
// the destination's name, created at the first message to it. Readers: a
// content-filtered topic with the caller's expression plus a data reader, in
// a subscriber whose partition is the name a "dest = '<name>'" filter names
// ("*" for any other filter and for observe-all). A field equality is
// evaluated by the endpoint's own filter (bus_field_filter.h), anything else
// by Fast DDS's SQL filter.
//
// What the endpoint does between the program and those entities lives
// beside this file: Fast DDS's log (bus_log), shared-memory housekeeping
// (bus_shm), messages waiting for their destination (bus_hold_queue) and
// each subscription's delivery thread (bus_dispatch). QoS and transports:
// bus_qos.cpp. A Fast DDS XML profile file named in the environment replaces
// the participant's settings (across hosts, security).

#include "bus_endpoint.h"
#include "bus_dispatch.h"
#include "bus_endpoint_detail.h"
#include "bus_field_filter.h"
#include "bus_filter.h"
#include "bus_hold_queue.h"
#include "bus_log.h"
#include "handoff.h"

#include "BusMessage.h"
#include "BusMessagePubSubTypes.h"
#include "BusMessageTypeObject.h"

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/domain/DomainParticipantListener.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/DataWriterListener.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/ContentFilteredTopic.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>
#include <fastrtps/attributes/LibrarySettingsAttributes.h>
#include <fastrtps/xmlparser/XMLProfileManager.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

using namespace eprosima::fastdds::dds;
using eprosima::fastrtps::rtps::GuidPrefix_t;
using eprosima::fastrtps::rtps::ParticipantDiscoveryInfo;

namespace {

using Clock = std::chrono::steady_clock;
using Prefix = std::array<unsigned char, 12>;
using Key = HoldQueue::Key;  // topic, destination

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

// The partition a subscription reads: the destination its filter names,
// or every partition.
const char* const ALL_PARTITIONS = "*";

std::string partition_for_filter(const std::string& filter)
{
    auto eq = parse_field_equality(filter);
    if (eq && eq->field == BusField::dest) return eq->value;
    return ALL_PARTITIONS;
}

BusEnvelope envelope_of(vantrel::BusMessage& msg)
{
    BusEnvelope e;
    e.topic = std::move(msg.topic());
    e.src = std::move(msg.src());
    e.dest = std::move(msg.dest());
    e.type = std::move(msg.type());
    e.extra1 = std::move(msg.extra1());
    e.extra2 = std::move(msg.extra2());
    e.payload.assign(msg.payload().begin(), msg.payload().end());
    return e;
}

vantrel::BusMessage message_of(BusEnvelope& e)
{
    vantrel::BusMessage msg;
    msg.topic(std::move(e.topic));
    msg.src(std::move(e.src));
    msg.dest(std::move(e.dest));
    msg.type(std::move(e.type));
    msg.payload(std::vector<uint8_t>(e.payload.begin(), e.payload.end()));
    msg.extra1(std::move(e.extra1));
    msg.extra2(std::move(e.extra2));
    return msg;
}

}  // namespace

struct Vantrel::Impl {
    // Match bookkeeping shared with the Fast DDS listener threads, and the
    // messages that wait for a match.
    struct Matching {
        std::mutex mutex;
        std::condition_variable changed;
        std::map<Prefix, std::string> participant_names;
        std::map<Key, std::multiset<Prefix>> matched;  // writer -> matched reader prefixes
        HoldQueue held;
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
        WriterListener(Matching& m, Key key) : m_(m), key_(std::move(key)) {}
        void on_publication_matched(DataWriter*, const PublicationMatchedStatus& status) override
        {
            HandoffScope scope(this);
            Prefix p = prefix_of(status.last_subscription_handle);
            std::lock_guard<std::mutex> lock(m_.mutex);
            auto& set = m_.matched[key_];
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
        Key key_;
    };

    // Readers' listener calls in progress. The endpoint deletes its readers
    // only when none is: Fast DDS aborts when a reader goes while one of its
    // threads is still taking from it.
    struct Takers {
        std::mutex mutex;
        std::condition_variable idle;
        bool closing = false;
        int in_flight = 0;
    };

    // Takes what a reader received and queues it for the subscription's
    // thread. One take at a time per reader: Fast DDS may call from its
    // shared-memory and its UDP threads at once, and messages must keep
    // their order.
    class ReaderListener : public DataReaderListener {
    public:
        ReaderListener(DispatchQueue& queue, const DispatchQueue::Handler& handler, Takers& takers)
            : queue_(queue), handler_(handler), takers_(takers)
        {
        }
        void on_data_available(DataReader* reader) override
        {
            HandoffScope scope(this);
            {
                std::lock_guard<std::mutex> lock(takers_.mutex);
                if (takers_.closing) return;
                ++takers_.in_flight;
            }
            {
                std::lock_guard<std::mutex> lock(take_mutex_);
                vantrel::BusMessage msg;
                SampleInfo info;
                while (reader->take_next_sample(&msg, &info) == ReturnCode_t::RETCODE_OK) {
                    // A peer's unregister or dispose of the keyless topic's
                    // one instance carries no message.
                    if (!info.valid_data) continue;
                    queue_.push(handler_, envelope_of(msg));
                }
            }
            std::lock_guard<std::mutex> lock(takers_.mutex);
            if (--takers_.in_flight == 0) takers_.idle.notify_all();
        }

    private:
        DispatchQueue& queue_;
        const DispatchQueue::Handler& handler_;
        Takers& takers_;
        std::mutex take_mutex_;
    };

    struct Subscription {
        ContentFilteredTopic* filtered = nullptr;  // null for observe-all
        DataReader* reader = nullptr;
        std::unique_ptr<DispatchQueue::Handler> handler;
        std::shared_ptr<DispatchQueue> queue;  // its own, or shared with subscriptions kept in order
        std::unique_ptr<ReaderListener> listener;
    };

    struct Writer {
        DataWriter* writer = nullptr;
        std::unique_ptr<WriterListener> listener;
        // One write at a time per writer: when two threads write into a
        // full history at once, Fast DDS 2.9 asserts (or miscounts its
        // payload pool and asserts when the endpoint is deleted), and every
        // subscription's thread may answer to the same destination.
        std::mutex write_mutex;
    };

    std::string name;
    LogFunction log;
    std::chrono::milliseconds settle{0};

    DomainParticipant* participant = nullptr;
    TypeSupport type{new vantrel::BusMessagePubSubType()};

    Matching matching;
    Takers takers;
    std::thread held_sender;  // sends held messages
    std::unique_ptr<ParticipantListener> participant_listener;

    // Entity creation one at a time. Callbacks run on the subscriptions' own
    // threads, so a callback that publishes to a new destination (and so
    // creates a writer) only waits here for a creation in progress.
    std::mutex creation_mutex;
    std::map<std::string, Topic*> topics;                // under creation_mutex
    std::map<std::string, Publisher*> publishers;        // by partition, under creation_mutex
    std::map<std::string, Subscriber*> subscribers;      // by partition, under creation_mutex
    unsigned filter_serial = 0;                          // under creation_mutex

    std::mutex entities_mutex;  // held only briefly
    std::set<std::string> published_topics;
    std::map<Key, Writer> writers;
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

    Publisher* publisher_for(const std::string& partition)
    {
        auto it = publishers.find(partition);
        if (it != publishers.end()) return it->second;
        PublisherQos qos = PUBLISHER_QOS_DEFAULT;
        qos.partition().push_back(partition.c_str());
        Publisher* p = participant->create_publisher(qos);
        if (p) publishers[partition] = p;
        return p;
    }

    Subscriber* subscriber_for(const std::string& partition)
    {
        auto it = subscribers.find(partition);
        if (it != subscribers.end()) return it->second;
        SubscriberQos qos = SUBSCRIBER_QOS_DEFAULT;
        qos.partition().push_back(partition.c_str());
        Subscriber* s = participant->create_subscriber(qos);
        if (s) subscribers[partition] = s;
        return s;
    }

    bool destination_matched(const Key& key)
    {
        auto it = matching.matched.find(key);
        if (it == matching.matched.end()) return false;
        for (const Prefix& p : it->second) {
            auto n = matching.participant_names.find(p);
            if (n != matching.participant_names.end() && n->second == key.second) return true;
        }
        return false;
    }

    // Entries are never removed before the endpoint goes, so the pointer
    // stays valid.
    Writer* existing_writer(const Key& key)
    {
        std::lock_guard<std::mutex> lock(entities_mutex);
        auto it = writers.find(key);
        return it != writers.end() ? &it->second : nullptr;
    }

    // The writer for one destination on one topic, created at first use;
    // null when the topic has no create_pub or creation fails.
    Writer* writer_for(const Key& key)
    {
        if (Writer* w = existing_writer(key)) return w;
        std::lock_guard<std::mutex> creating(creation_mutex);
        {
            std::lock_guard<std::mutex> lock(entities_mutex);
            if (!published_topics.count(key.first)) return nullptr;
            auto it = writers.find(key);
            if (it != writers.end()) return &it->second;
        }
        Topic* t = topic_for(key.first);
        Publisher* publisher = t ? publisher_for(key.second) : nullptr;
        if (!publisher) {
            say("[ERROR] Cannot create a publisher for " + key.second);
            return nullptr;
        }
        std::unique_ptr<WriterListener> listener(new WriterListener(matching, key));
        handoff_release(listener.get());
        if (settle.count() > 0) {
            // Until the new writer is matched, hold what is sent to it.
            std::lock_guard<std::mutex> lock(matching.mutex);
            matching.held.open_window(key, Clock::now(), settle);
        }
        DataWriter* writer =
            publisher->create_datawriter(t, vantrel_writer_qos(), listener.get(), StatusMask::publication_matched());
        if (!writer) {
            say("[ERROR] Cannot create a writer on topic " + key.first + " for " + key.second);
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(entities_mutex);
        Writer& entry = writers[key];
        entry.writer = writer;
        entry.listener = std::move(listener);
        return &entry;
    }

    bool write(Writer& writer, BusEnvelope& e)
    {
        vantrel::BusMessage msg = message_of(e);
        std::lock_guard<std::mutex> lock(writer.write_mutex);
        if (writer.writer->write(&msg)) return true;
        say("[ERROR] Publish on " + msg.topic() + " to " + msg.dest() + " failed");
        return false;
    }

    // Sends each destination's held messages as soon as its reader is
    // matched or its window ends, and everything still held when the
    // endpoint closes, in publishing order.
    void send_held()
    {
        std::unique_lock<std::mutex> lock(matching.mutex);
        auto ready = [this](const Key& key) { return destination_matched(key); };
        for (;;) {
            auto batch = matching.held.take(ready, Clock::now(), matching.closing);
            if (!batch) {
                if (matching.closing) return;
                auto deadline = matching.held.next_deadline(Clock::now());
                if (deadline == Clock::time_point::max()) {
                    matching.changed.wait(lock);
                } else {
                    matching.changed.wait_until(lock, deadline);
                }
                continue;
            }
            lock.unlock();
            for (auto& [key, e] : batch->messages) {
                if (Writer* writer = existing_writer(key)) write(*writer, e);
            }
            lock.lock();
            matching.held.done(batch->dest);
        }
    }

    bool subscribe(const std::string& topic, Callback callback, const std::string& filter,
                   const std::vector<std::string>& parameters, bool merge_repeats, bool observe_all,
                   std::shared_ptr<DispatchQueue> queue = nullptr)
    {
        std::lock_guard<std::mutex> creating(creation_mutex);
        if (!participant) return false;
        Topic* t = topic_for(topic);
        if (!t) return false;
        const std::string partition = observe_all ? ALL_PARTITIONS : partition_for_filter(filter);
        Subscriber* subscriber = subscriber_for(partition);
        if (!subscriber) {
            say("[ERROR] Cannot create a subscriber for " + partition);
            return false;
        }
        ContentFilteredTopic* cft = nullptr;
        if (!observe_all) {
            std::string cft_name = topic + "/" + name + "/" + std::to_string(++filter_serial);
            // A field equality goes to the endpoint's own filter; any other
            // expression to Fast DDS's SQL filter.
            if (parameters.empty() && parse_field_equality(filter) &&
                participant->lookup_content_filter_factory(FIELD_FILTER_CLASS) != nullptr) {
                cft = participant->create_contentfilteredtopic(cft_name, t, filter, parameters, FIELD_FILTER_CLASS);
            }
            if (!cft) cft = participant->create_contentfilteredtopic(cft_name, t, filter, parameters);
            if (!cft) {
                say("[ERROR] Cannot create the filtered subscription on " + topic + " (" + filter + ")");
                return false;
            }
        }
        Subscription sub;
        sub.filtered = cft;
        sub.handler.reset(new DispatchQueue::Handler([cb = std::move(callback)](BusEnvelope& e) {
            cb(std::move(e.src), std::move(e.dest), std::move(e.type), std::move(e.extra1), std::move(e.extra2),
               e.payload);
        }));
        sub.queue = queue ? std::move(queue) : std::make_shared<DispatchQueue>(merge_repeats, log);
        sub.listener.reset(new ReaderListener(*sub.queue, *sub.handler, takers));
        handoff_release(sub.listener.get());
        TopicDescription* description = cft ? static_cast<TopicDescription*>(cft) : t;
        sub.reader = subscriber->create_datareader(description, vantrel_reader_qos(), sub.listener.get(),
                                                   StatusMask::data_available());
        if (!sub.reader) {
            if (sub.queue.use_count() == 1) sub.queue->close();
            if (cft) participant->delete_contentfilteredtopic(cft);
            say("[ERROR] Cannot create a reader on topic " + topic);
            return false;
        }
        std::lock_guard<std::mutex> lock(entities_mutex);
        subscriptions.push_back(std::move(sub));
        return true;
    }
};

Vantrel::Vantrel(unsigned int domain, unsigned short settle_ms, std::string name, LogFunction log)
    : impl_(new Impl)
{
    bus_log_install();
    impl_->name = name;
    impl_->log = log;
    impl_->settle = std::chrono::milliseconds(settle_ms);
    if (log) bus_log_add_sink(this, log);

    registerBusMessageTypes();
    // Other DDS implementations reject the type information this Fast DDS
    // attaches to endpoint announcements; the type is matched by name and
    // layout, and our own filters use the locally registered type object.
    impl_->type->auto_fill_type_information(false);
    static std::once_flag shm_cleanup;
    std::call_once(shm_cleanup, [] { vantrel_remove_stale_shm_segments("/dev/shm"); });

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
    // the writer's thread, against the reader's own locks.
    eprosima::fastrtps::LibrarySettingsAttributes library;
    library.intraprocess_delivery = eprosima::fastrtps::INTRAPROCESS_OFF;
    eprosima::fastrtps::xmlparser::XMLProfileManager::library_settings(library);

    impl_->participant_listener.reset(new Impl::ParticipantListener(impl_->matching));
    handoff_release(impl_->participant_listener.get());
    const int shm_transports = bus_log_expect_shm_start_warnings(qos);
    impl_->participant =
        factory->create_participant(domain, qos, impl_->participant_listener.get(), StatusMask::none());
    if (!impl_->participant) {
        bus_log_forget_shm_start_warnings(shm_transports);
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
    // No callback starts from now on; the running ones finish first.
    for (auto& s : impl_->subscriptions) s.queue->close();
    {
        std::unique_lock<std::mutex> lock(impl_->takers.mutex);
        impl_->takers.closing = true;
        impl_->takers.idle.wait(lock, [this] { return impl_->takers.in_flight == 0; });
    }
    if (impl_->participant) {
        // What the last callbacks sent (a service's answer to the request it
        // was serving when it was told to stop) reaches its readers before
        // the writers go: a reader repairs a lost sample from its writer, and
        // shared-memory samples live in this participant's segment. At most
        // one second in all.
        const auto acked_by = Clock::now() + std::chrono::seconds(1);
        for (auto& w : impl_->writers) {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(acked_by - Clock::now()).count();
            if (left <= 0 || !w.second.writer) break;
            w.second.writer->wait_for_acknowledgments(
                eprosima::fastrtps::Duration_t(int32_t(left / 1000000000), uint32_t(left % 1000000000)));
        }
        for (auto& s : impl_->subscriptions) {
            if (s.reader) s.reader->set_listener(nullptr);
        }
        for (auto& w : impl_->writers) {
            if (w.second.writer) w.second.writer->set_listener(nullptr);
        }
        impl_->participant->set_listener(nullptr);
        impl_->participant->delete_contained_entities();
        impl_->participant->unregister_content_filter_factory(FIELD_FILTER_CLASS);
        DomainParticipantFactory::get_instance()->delete_participant(impl_->participant);
        impl_->participant = nullptr;
    }
    // The library's threads are done with the listeners now.
    handoff_acquire(impl_->participant_listener.get());
    for (auto& w : impl_->writers) handoff_acquire(w.second.listener.get());
    for (auto& s : impl_->subscriptions) handoff_acquire(s.listener.get());
    bus_log_remove_sink(this);
}

bool Vantrel::create_pub(std::string topic)
{
    std::lock_guard<std::mutex> creating(impl_->creation_mutex);
    if (!impl_->participant) return false;
    Topic* t = impl_->topic_for(topic);
    if (!t) return false;
    // Writers are made per destination at their first message. Make one
    // now and drop it, so that what refuses a writer on this topic (access
    // control on a secured bus) refuses it here, where the program checks.
    Publisher* publisher = impl_->publisher_for(impl_->name);
    DataWriter* probe = publisher ? publisher->create_datawriter(t, vantrel_writer_qos(), nullptr) : nullptr;
    if (!probe) {
        impl_->say("[ERROR] Cannot create a writer on topic " + topic);
        return false;
    }
    publisher->delete_datawriter(probe);
    std::lock_guard<std::mutex> lock(impl_->entities_mutex);
    impl_->published_topics.insert(topic);
    return true;
}

bool Vantrel::create_sub(std::string topic, Callback callback, std::string filter,
                         std::vector<std::string> parameters)
{
    return impl_->subscribe(topic, std::move(callback), filter, parameters, false, false);
}

bool vantrel_create_request_sub(Vantrel& endpoint, std::string topic, Vantrel::Callback callback,
                                std::string filter)
{
    return endpoint.impl_->subscribe(topic, std::move(callback), filter, {}, true, false);
}

bool vantrel_observe_all(Vantrel& endpoint, std::string topic, Vantrel::Callback callback)
{
    return endpoint.impl_->subscribe(topic, std::move(callback), "", {}, false, true);
}

bool vantrel_create_subs_in_order(Vantrel& endpoint, const std::vector<std::pair<std::string, Vantrel::Callback>>& subs,
                                  std::string filter)
{
    auto queue = std::make_shared<DispatchQueue>(false, endpoint.impl_->log);
    for (const auto& sub : subs) {
        if (!endpoint.impl_->subscribe(sub.first, sub.second, filter, {}, false, false, queue)) return false;
    }
    return true;
}

bool Vantrel::publish(std::string topic, std::string src, std::string dest, std::string type,
                      void* data, unsigned long size, std::string extra1, std::string extra2)
{
    if (size > 0 && data == nullptr) {
        impl_->say("[ERROR] Publish on " + topic + " without data");
        return false;
    }
    const Key key(topic, dest);
    Vantrel::Impl::Writer* writer = impl_->writer_for(key);
    if (!writer) {
        impl_->say("[ERROR] No publisher for topic " + topic);
        return false;
    }

    BusEnvelope e;
    e.topic = std::move(topic);
    e.src = std::move(src);
    e.dest = std::move(dest);
    e.type = std::move(type);
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    e.payload.assign(bytes, bytes + size);
    e.extra1 = std::move(extra1);
    e.extra2 = std::move(extra2);

    // A message to a destination whose reader is not matched yet waits
    // (bus_hold_queue.h); publish itself never does.
    {
        std::lock_guard<std::mutex> lock(impl_->matching.mutex);
        if (impl_->held_sender.joinable() && !impl_->matching.closing &&
            impl_->matching.held.hold(key, e, impl_->destination_matched(key), Clock::now())) {
            impl_->matching.changed.notify_all();
            return true;
        }
    }
    return impl_->write(*writer, e);
}

int vantrel_matched_readers(const Vantrel& endpoint, const std::string& topic, const std::string& dest)
{
    Vantrel::Impl& impl = *endpoint.impl_;
    const Key key(topic, dest);
    impl.writer_for(key);
    std::lock_guard<std::mutex> lock(impl.matching.mutex);
    auto it = impl.matching.matched.find(key);
    if (it == impl.matching.matched.end()) return 0;
    int n = 0;
    for (const Prefix& p : it->second) {
        auto name = impl.matching.participant_names.find(p);
        if (name != impl.matching.participant_names.end() && name->second == dest) ++n;
    }
    return n;
}

bool vantrel_wait_acknowledged(const Vantrel& endpoint, const std::string& topic, const std::string& dest,
                               unsigned timeout_ms)
{
    Vantrel::Impl& impl = *endpoint.impl_;
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    {
        // Held messages are not written yet; they go when their destination
        // matches or their window ends.
        std::unique_lock<std::mutex> lock(impl.matching.mutex);
        if (!impl.matching.changed.wait_until(lock, until, [&] { return impl.matching.held.empty(); })) return false;
    }
    Vantrel::Impl::Writer* w = impl.existing_writer(Key(topic, dest));
    if (!w || !w->writer) return true;  // nothing was ever sent there
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now()).count();
    if (left < 0) left = 0;
    return w->writer->wait_for_acknowledgments(eprosima::fastrtps::Duration_t(
               int32_t(left / 1000000000), uint32_t(left % 1000000000))) == ReturnCode_t::RETCODE_OK;
}
