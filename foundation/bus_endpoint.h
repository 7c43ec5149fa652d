// Vantrel: the publish/subscribe endpoint through which every bench program
// talks. One endpoint per program, named after the program's service name.
//
// Messages carry topic, source, destination, a type label, the payload bytes
// and two spare strings. Subscriptions are content-filtered (normally
// "dest = '<own name>'"), so a program only sees what is addressed to it.
//
// Routing: every message is written in the DDS partition named after its
// destination, and a "dest = '<name>'" subscription reads only partition
// <name>, so a message wakes only the program it is addressed to. Any other
// filter, and vantrel_observe_all, read every partition ("*").
//
// Callbacks run on a thread of their subscription (one per subscription),
// never on Fast DDS's own threads: a callback that takes long delays only
// later messages of its own subscription.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class Vantrel {
public:
    // source, destination, type label, two spare strings, payload (a copy owned
    // by the endpoint for the duration of the call).
    using Callback = std::function<void(std::string, std::string, std::string, std::string,
                                        std::string, std::vector<unsigned char>&)>;
    using LogFunction = std::function<void(const std::string&)>;

    // domain: DDS domain id.
    // settle_ms: start-up settle window. During the first settle_ms
    //   milliseconds of the endpoint's life, a message whose destination has
    //   no matched subscriber yet is held and sent when one appears (or when
    //   the window ends), so first messages are not lost to discovery; later
    //   messages to that destination queue behind it. publish never waits.
    // name: the program's service name (also the DDS participant name).
    // log: receives the endpoint's own messages and Fast DDS warnings/errors.
    Vantrel(unsigned int domain, unsigned short settle_ms, std::string name, LogFunction log);
    ~Vantrel();

    Vantrel(const Vantrel&) = delete;
    Vantrel& operator=(const Vantrel&) = delete;

    // Creates the writer for a topic; true on success (or if it exists).
    bool create_pub(std::string topic);
    // Creates one content-filtered subscription; true on success. Its
    // callback runs on the subscription's own thread, one message at a time
    // in arrival order.
    bool create_sub(std::string topic, Callback callback, std::string filter,
                    std::vector<std::string> parameters);
    // Copies `size` bytes from `data` and sends them. `data` is not used after
    // the call returns. True when the message was handed to the bus.
    bool publish(std::string topic, std::string src, std::string dest, std::string type,
                 void* data, unsigned long size, std::string extra1, std::string extra2);

    struct Impl;

private:
    friend int vantrel_matched_readers(const Vantrel& endpoint, const std::string& topic, const std::string& dest);
    friend bool vantrel_wait_acknowledged(const Vantrel& endpoint, const std::string& topic, const std::string& dest,
                                          unsigned timeout_ms);
    friend bool vantrel_create_request_sub(Vantrel& endpoint, std::string topic, Callback callback,
                                           std::string filter);
    friend bool vantrel_observe_all(Vantrel& endpoint, std::string topic, Callback callback);
    friend bool vantrel_create_subs_in_order(Vantrel& endpoint,
                                             const std::vector<std::pair<std::string, Callback>>& subs,
                                             std::string filter);
    std::unique_ptr<Impl> impl_;
};

// A subscription for requests: like create_sub (no parameters), and a
// message equal in every field (same requester, same payload) to one still
// waiting for the callback is not queued again; the waiting one is handled
// after both arrived, so its answer serves both. Never for commands.
bool vantrel_create_request_sub(Vantrel& endpoint, std::string topic, Vantrel::Callback callback,
                                std::string filter);

// Subscriptions (topic, callback), all with `filter`, whose callbacks run on
// one thread of theirs: messages are handled one at a time in the order the
// endpoint received them, across the topics (a monitor pairing a service's
// line statistics with the raw answer it sends right after on another
// topic). A callback that blocks delays them all.
bool vantrel_create_subs_in_order(Vantrel& endpoint,
                                  const std::vector<std::pair<std::string, Vantrel::Callback>>& subs,
                                  std::string filter);

// Every message on `topic`, whatever its destination (monitors, recorders,
// test observers). Changes nothing for the other programs.
bool vantrel_observe_all(Vantrel& endpoint, std::string topic, Vantrel::Callback callback);

// Diagnostics and tests: the number of subscriptions of the participant
// named `dest` that a message on `topic` to `dest` reaches now. Creates the
// endpoint's writer for that destination if it has none yet (the topic must
// have been passed to create_pub), so waiting on it is waiting for the match.
int vantrel_matched_readers(const Vantrel& endpoint, const std::string& topic, const std::string& dest);

// Waits until every subscription that the messages sent so far on `topic` to
// `dest` reach has acknowledged them (those still held by the settle window
// are sent first), or until `timeout_ms` passes; true when they have. A
// subscription matched on this side before the other side has matched this
// endpoint acknowledges, and receives them, once it has: a program that sends
// one message and leaves waits on this instead of the one second the
// destructor gives.
bool vantrel_wait_acknowledged(const Vantrel& endpoint, const std::string& topic, const std::string& dest,
                               unsigned timeout_ms);
