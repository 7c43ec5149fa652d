// Vantrel: the publish/subscribe endpoint through which every bench program
// talks. One endpoint per program, named after the program's service name.
//
// Messages carry topic, source, destination, a type label, the payload bytes
// and two spare strings. Subscriptions are content-filtered (normally
// "dest = '<own name>'"), so a program only sees what is addressed to it.
#pragma once

#include <functional>
#include <memory>
#include <string>
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
    // Creates one content-filtered subscription; true on success.
    bool create_sub(std::string topic, Callback callback, std::string filter,
                    std::vector<std::string> parameters);
    // Copies `size` bytes from `data` and sends them. `data` is not used after
    // the call returns. True when the message was handed to the bus.
    bool publish(std::string topic, std::string src, std::string dest, std::string type,
                 void* data, unsigned long size, std::string extra1, std::string extra2);

    struct Impl;

private:
    friend int vantrel_matched_readers(const Vantrel& endpoint, const std::string& topic, const std::string& dest);
    std::unique_ptr<Impl> impl_;
};

// Diagnostics and tests: the number of subscriptions matched to the
// endpoint's writer for `topic` whose participant is named `dest`.
int vantrel_matched_readers(const Vantrel& endpoint, const std::string& topic, const std::string& dest);
