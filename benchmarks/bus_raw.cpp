// The raw Fast DDS baseline: the bench's message type (generated here from
// the same IDL), the endpoint's QoS and local transports, and nothing of
// libvantrel's own logic. The settings come from the one source file that
// defines them (foundation/bus_qos.cpp, compiled into this program too), so
// the baseline always runs with exactly what the endpoint runs with.
//
//   bus_raw --role requester --filter sql|none|shared [--count N] [--warmup N] [--warmup-ms N] [--messages N]
//       starts its own replier (this program, --role replier) and prints RESULT lines
//   bus_raw --role replier --filter sql|none
//   bus_raw --role idle                 one participant, two writers, two filtered readers; runs until stopped
//   bus_raw --role discover --name N    prints "MATCHED ns=<monotonic>" when its writer first reaches
//                                       another participant's reader, then runs until stopped
//
// --filter sql: one topic "Telemetry" both ways, each reader a content-filtered
// topic "dest = '<own name>'" evaluated by Fast DDS's SQL filter, exactly the
// shape of a Vantrel endpoint. --filter none: plain topics, one per direction
// ("Telemetry" to the replier, "Telemetry_reply" back), so that each reader
// gets only what is meant for it without any filter. --filter shared (not in
// the table, for looking into the difference): one plain topic both ways, each
// side dropping in its callback what is not addressed to it. --filter hop:
// as none, but each reader's listener only queues the message and a worker
// thread runs the handler, the endpoint's own dispatch (foundation/
// bus_dispatch.cpp, compiled in): the cost of that hand-over alone.
#include "BusMessage.h"
#include "BusMessagePubSubTypes.h"
#include "BusMessageTypeObject.h"
#include "bus_dispatch.h"
#include "bus_qos.h"
#include "bus_roles.h"

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
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

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>

using namespace eprosima::fastdds::dds;
using benchkit::Clock;

namespace {

bool same_prefix(const InstanceHandle_t& handle, const eprosima::fastrtps::rtps::GuidPrefix_t& prefix)
{
    return std::memcmp(handle.value, prefix.value, 12) == 0;
}

// One participant with its writers and readers.
class RawNode {
public:
    using Handler = std::function<void(const vantrel::BusMessage&)>;

    explicit RawNode(const std::string& name) : name_(name)
    {
        // Every message goes through a transport, as between the bench's
        // endpoints.
        eprosima::fastrtps::LibrarySettingsAttributes library;
        library.intraprocess_delivery = eprosima::fastrtps::INTRAPROCESS_OFF;
        eprosima::fastrtps::xmlparser::XMLProfileManager::library_settings(library);
        registerBusMessageTypes();
        participant_ = DomainParticipantFactory::get_instance()->create_participant(0, vantrel_local_participant_qos(name));
        if (!participant_) throw std::runtime_error("cannot create the participant");
        type_.register_type(participant_);
        publisher_ = participant_->create_publisher(PUBLISHER_QOS_DEFAULT);
        subscriber_ = participant_->create_subscriber(SUBSCRIBER_QOS_DEFAULT);
    }

    ~RawNode()
    {
        detach();
        participant_->delete_contained_entities();
        DomainParticipantFactory::get_instance()->delete_participant(participant_);
    }

    const std::string& name() const { return name_; }

    // No callback starts after this returns.
    void detach()
    {
        for (auto& r : readers_) r.first->set_listener(nullptr);
        for (auto& w : writers_) w.second.first->set_listener(nullptr);
    }

    DataWriter* add_writer(const std::string& topic)
    {
        std::unique_ptr<WriterListener> listener(new WriterListener(participant_->guid().guidPrefix));
        DataWriter* w = publisher_->create_datawriter(topic_for(topic), vantrel_writer_qos(), listener.get(),
                                                      StatusMask::publication_matched());
        if (!w) throw std::runtime_error("cannot create a writer on " + topic);
        writers_[topic] = {w, std::move(listener)};
        return w;
    }

    // An empty filter gives a plain reader on the topic. With `hop`, the
    // handler runs on the queue's thread.
    void add_reader(const std::string& topic, const std::string& filter, Handler handler,
                    std::shared_ptr<DispatchQueue> hop = nullptr)
    {
        TopicDescription* description = topic_for(topic);
        if (!filter.empty()) {
            description = participant_->create_contentfilteredtopic(
                topic + "/" + name_ + "/" + std::to_string(readers_.size() + 1), topic_for(topic), filter, {});
            if (!description) throw std::runtime_error("cannot create the filtered topic " + filter);
        }
        std::unique_ptr<ReaderListener> listener(new ReaderListener(std::move(handler), std::move(hop)));
        DataReader* r =
            subscriber_->create_datareader(description, vantrel_reader_qos(), listener.get(), StatusMask::data_available());
        if (!r) throw std::runtime_error("cannot create a reader on " + topic);
        readers_.emplace_back(r, std::move(listener));
    }

    // Readers of other participants matched to the topic's writer.
    int remote_readers(const std::string& topic)
    {
        auto it = writers_.find(topic);
        return it == writers_.end() ? 0 : it->second.second->remote.load();
    }
    Clock::time_point first_remote_match(const std::string& topic)
    {
        return writers_.at(topic).second->first_remote();
    }

private:
    class WriterListener : public DataWriterListener {
    public:
        explicit WriterListener(eprosima::fastrtps::rtps::GuidPrefix_t own) : own_(own) {}
        void on_publication_matched(DataWriter*, const PublicationMatchedStatus& s) override
        {
            if (same_prefix(s.last_subscription_handle, own_)) return;
            if (s.current_count_change > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (first_ == Clock::time_point()) first_ = Clock::now();
                ++remote;
            } else if (s.current_count_change < 0) {
                --remote;
            }
        }
        Clock::time_point first_remote()
        {
            std::lock_guard<std::mutex> lock(mutex_);
            return first_;
        }
        std::atomic<int> remote{0};

    private:
        eprosima::fastrtps::rtps::GuidPrefix_t own_;
        std::mutex mutex_;
        Clock::time_point first_{};
    };

    class ReaderListener : public DataReaderListener {
    public:
        ReaderListener(Handler h, std::shared_ptr<DispatchQueue> hop)
            : handler_(std::move(h)), hop_(std::move(hop)), queued_([this](BusEnvelope& e) {
                  vantrel::BusMessage m;
                  m.src(std::move(e.src));
                  m.dest(std::move(e.dest));
                  m.type(std::move(e.type));
                  m.payload(std::move(e.payload));
                  handler_(m);
              })
        {
        }
        void on_data_available(DataReader* reader) override
        {
            SampleInfo info;
            while (reader->take_next_sample(&msg_, &info) == ReturnCode_t::RETCODE_OK) {
                if (!info.valid_data) continue;
                if (!hop_) {
                    handler_(msg_);
                    continue;
                }
                BusEnvelope e;
                e.topic = msg_.topic();
                e.src = msg_.src();
                e.dest = msg_.dest();
                e.type = msg_.type();
                e.payload = msg_.payload();
                hop_->push(queued_, std::move(e));
            }
        }

    private:
        Handler handler_;
        std::shared_ptr<DispatchQueue> hop_;
        DispatchQueue::Handler queued_;
        vantrel::BusMessage msg_;
    };

    Topic* topic_for(const std::string& topic)
    {
        auto it = topics_.find(topic);
        if (it != topics_.end()) return it->second;
        Topic* t = participant_->create_topic(topic, type_.get_type_name(), TOPIC_QOS_DEFAULT);
        if (!t) throw std::runtime_error("cannot create the topic " + topic);
        topics_[topic] = t;
        return t;
    }

    std::string name_;
    DomainParticipant* participant_ = nullptr;
    Publisher* publisher_ = nullptr;
    Subscriber* subscriber_ = nullptr;
    TypeSupport type_{new vantrel::BusMessagePubSubType()};
    std::map<std::string, Topic*> topics_;
    std::map<std::string, std::pair<DataWriter*, std::unique_ptr<WriterListener>>> writers_;
    std::vector<std::pair<DataReader*, std::unique_ptr<ReaderListener>>> readers_;
};

// A side of the exchange: one writer towards the peer.
class RawSide : public busbench::Side {
public:
    RawSide(RawNode& node, DataWriter* writer, std::string topic, std::string peer)
        : node_(node), writer_(writer), topic_(std::move(topic)), peer_(std::move(peer))
    {
    }
    bool send(const std::string& type, const uint8_t* data, std::size_t size) override
    {
        vantrel::BusMessage msg;
        msg.topic(topic_);
        msg.src(node_.name());
        msg.dest(peer_);
        msg.type(type);
        msg.payload(std::vector<uint8_t>(data, data + size));
        return writer_->write(&msg);
    }
    bool peer_matched() override { return node_.remote_readers(topic_) > 0; }

private:
    RawNode& node_;
    DataWriter* writer_;
    std::string topic_, peer_;
};

const std::string REQUEST_TOPIC = "Telemetry";
const std::string REPLY_TOPIC_PLAIN = "Telemetry_reply";

// The replier is "X", the requester "R", as in the Vantrel program.
int run_exchange(const busbench::Args& a)
{
    const bool requester = a.role == "requester";
    const bool sql = a.filter == "sql";
    // "shared": one plain topic both ways, each side dropping what is not
    // addressed to it after delivery (to tell the cost of a side's own
    // messages coming back to it from the cost of a filter).
    const bool shared = a.filter == "shared";
    const bool hop = a.filter == "hop";
    if (!sql && !shared && !hop && a.filter != "none") {
        benchkit::note("--filter must be sql, none, shared or hop");
        return 2;
    }
    std::unique_ptr<benchkit::Child> replier;
    if (requester) {
        replier.reset(new benchkit::Child({busbench::self_path(), {"--role", "replier", "--filter", a.filter}, "",
                                           "/dev/null", ""},
                                          "raw replier"));
    }
    const std::string own = requester ? "R" : "X";
    const std::string peer = requester ? "X" : "R";
    const bool one_topic = sql || shared;
    const std::string write_topic = one_topic || requester ? REQUEST_TOPIC : REPLY_TOPIC_PLAIN;
    const std::string read_topic = one_topic ? REQUEST_TOPIC : (requester ? REPLY_TOPIC_PLAIN : REQUEST_TOPIC);

    busbench::Requester rq;
    busbench::Replier rp;
    const auto created = Clock::now();
    RawNode node(own);
    DataWriter* writer = node.add_writer(write_topic);
    RawSide side(node, writer, write_topic, peer);
    rq.attach(&side);
    rp.attach(&side);
    auto handler = [&](const vantrel::BusMessage& m) {
        if (shared && m.dest() != own) return;
        const std::vector<uint8_t>& p = m.payload();
        if (requester) {
            rq.on_message(m.type(), p.data(), p.size());
        } else {
            rp.on_message(m.type(), p.data(), p.size());
        }
    };
    std::shared_ptr<DispatchQueue> queue;
    if (hop) queue = std::make_shared<DispatchQueue>(false, nullptr);
    node.add_reader(read_topic, sql ? "dest = '" + own + "'" : "", handler, queue);

    int status = 0;
    if (requester) {
        status = rq.run(created, a.options);
    } else {
        while (benchkit::nap(std::chrono::milliseconds(200))) {
        }
    }
    node.detach();
    if (queue) queue->close();
    return status;
}

int run_idle()
{
    RawNode node("Idle_Baseline");
    node.add_writer("Telemetry");
    node.add_writer("Command");
    node.add_reader("Telemetry", "dest = 'Idle_Baseline'", [](const vantrel::BusMessage&) {});
    node.add_reader("Command", "dest = 'Idle_Baseline'", [](const vantrel::BusMessage&) {});
    std::printf("READY\n");
    std::fflush(stdout);
    // A baseline for idle cost: wake as seldom as the bench's programs do.
    while (!benchkit::stopping()) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return 0;
}

int run_discover(const std::string& name)
{
    RawNode node(name);
    node.add_writer("Telemetry");
    node.add_reader("Telemetry", "dest = '" + name + "'", [](const vantrel::BusMessage&) {});
    if (!benchkit::wait_until([&] { return node.remote_readers("Telemetry") > 0; }, std::chrono::seconds(30))) {
        return 1;
    }
    std::printf("MATCHED ns=%lld\n", (long long)benchkit::monotonic_ns(node.first_remote_match("Telemetry")));
    std::fflush(stdout);
    while (benchkit::nap(std::chrono::milliseconds(200))) {
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    benchkit::install_stop_handlers();
    busbench::Args a;
    if (!busbench::parse_args(argc, argv, a)) {
        std::fprintf(stderr, "usage: bus_raw --role requester|replier|idle|discover [--filter sql|none] ...\n");
        return 2;
    }
    try {
        if (a.role == "requester" || a.role == "replier") return run_exchange(a);
        if (a.role == "idle") return run_idle();
        if (a.role == "discover") return run_discover(a.name.empty() ? "Discovery_Probe" : a.name);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bus_raw: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "bus_raw: unknown role %s\n", a.role.c_str());
    return 2;
}
