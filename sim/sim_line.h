// One simulated serial line: a pseudo-terminal whose master side the
// simulator owns and whose slave side a service opens through a symlink in
// the run directory.
//
// The line is the same for every device kind. It feeds what the service
// writes to its device, applies the faults set on it to the device's
// answers, and writes them out, paced like a real UART when asked. A hang-up
// closes the master (the service's descriptor sees a hang-up) and removes the
// symlink; after the hang-up time a new pseudo-terminal is opened and the
// symlink published again.
#pragma once

#include "device.h"
#include "faults.h"
#include "wire_queue.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace devsim {

struct WireSettings {
    bool pace = false;
    int baud = 115200;
    // Paced lines are written in runs of at most this long (see WireQueue).
    std::chrono::microseconds batch{1000};
    std::chrono::milliseconds hangup_time{2000};
};

class SimLine {
public:
    // `log` receives whole lines without the "[SIM] " prefix.
    SimLine(std::string name, std::unique_ptr<Device> device, std::string run_dir, WireSettings wire,
            uint64_t seed, std::function<void(const std::string&)> log);
    ~SimLine();
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    // Opens the pseudo-terminal and publishes the symlink.
    bool open(std::string& error);

    // Closes the pseudo-terminal and removes the symlink if it is still ours.
    void close();

    const std::string& name() const { return name_; }
    const std::string& link_path() const { return link_path_; }
    const std::string& slave_path() const { return slave_path_; }

    // Master descriptor, -1 while hung up.
    int fd() const { return master_; }
    // Events to poll the master for.
    short poll_events() const;

    // The master is readable: hand the bytes to the device and queue its
    // answers.
    void on_readable(Clock::time_point now, double t);

    // Lets a device that sends on its own (see Device::tick) queue what is
    // due at `t`.
    void tick(Clock::time_point now, double t);

    // Writes what is due, and brings the line back after a hang-up.
    void service(Clock::time_point now);

    // Earliest time service() or tick() has something to do; `epoch` is
    // the time the device's `t` counts from.
    std::optional<Clock::time_point> next_deadline(Clock::time_point epoch) const;

    void set_fault(FaultKind kind, FaultMode mode) { faults_.set(kind, mode); }

private:
    void say(const std::string& text) const { log_(name_ + " " + text); }
    bool open_pty(std::string& error);
    void close_pty();
    void send(Answer answer, Clock::time_point now);
    void hang_up(Clock::time_point now);

    std::string name_;
    std::unique_ptr<Device> device_;
    std::string run_dir_;
    std::string link_path_;
    WireSettings wire_;
    std::function<void(const std::string&)> log_;
    std::mt19937_64 rng_;
    FaultPlan faults_;
    WireQueue out_;

    int master_ = -1;
    int slave_ = -1;  // kept open so the master never sees the last slave close
    std::string slave_path_;
    bool write_blocked_ = false;
    std::optional<Clock::time_point> back_at_;
    // A frame hit by backtoback: its pieces wait to go out with the next one.
    std::vector<Bytes> held_;
};

}  // namespace devsim
