// What the line layer needs from a simulated device.
//
// A device sees only bytes: whatever the service wrote to the line arrives
// through receive(), and the device hands back the answer frames it would
// put on the wire. Pacing, fault injection and the pseudo-terminal itself
// belong to the line (sim_line.h), so a device kind is just framing,
// encoding and a little behaviour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace devsim {

class TruthModel;

using Bytes = std::vector<uint8_t>;

// Receives one log line without the "[SIM] <line> " prefix.
using LogSink = std::function<void(const std::string&)>;

struct Answer {
    Bytes bytes;
    // Logged by the line when (and only when) the answer goes out.
    std::string summary;
};

using AnswerSink = std::function<void(Answer)>;

class Device {
public:
    virtual ~Device() = default;

    // Kind name as given on the command line ("nano", "pico", ...).
    virtual const std::string& kind() const = 0;

    // Bits on the wire per byte, start and stop bits included (8N1 is 10).
    virtual int bits_per_byte() const = 0;

    // Bytes from the service side. `t` is seconds since the simulator
    // started; devices use it for their time-varying values. Each answer is
    // handed to `send` as soon as the command it answers is complete, so
    // that what the line logs about it stays in order with the device's own
    // log lines.
    virtual void receive(const uint8_t* data, std::size_t size, double t, const AnswerSink& send) = 0;

    // The line was hung up: forget any partly received command.
    virtual void reset_input() = 0;

    // Devices that talk without being asked (a wheel's status stream) say
    // here when, in the same seconds as receive()'s `t`, tick() next has
    // something to send. Devices that only answer keep the defaults.
    virtual std::optional<double> next_tick() const { return std::nullopt; }
    virtual void tick(double /*t*/, const AnswerSink& /*send*/) {}
};

// What a line's device is made from besides its kind.
struct DeviceSetup {
    unsigned index = 0;         // the line's position on the command line (varies phases)
    uint8_t hardware_id = 0;    // wheel: the id it answers to and sends
    double status_hz = 10.0;    // wheel: status frames per second
    // With a spacecraft model: what the devices read and drive. Sensors
    // find their mounting by line name; the k-th wheel line (from 0) is the
    // model's wheel k if it has one.
    std::shared_ptr<TruthModel> truth;
    std::string name;
    std::size_t wheel_number = 0;
};

// Creates a device of a kind.
using DeviceFactory = std::function<std::unique_ptr<Device>(const DeviceSetup& setup, LogSink log)>;

}  // namespace devsim
