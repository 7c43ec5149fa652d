// Device telemetry latency: the simulator paced at 115200 bit/s, the six real
// services, and an endpoint in this program that plays the console: it binds
// as "Gnc_Service", publishes the console's telemetry requests (type
// "command", the console's payloads) and takes the records addressed to it.
// One request is outstanding at a time; requests go round the devices the
// way the console's cycle does.
//
// For each device: latency from publishing the request to the record's
// arrival, the time the request and the answer spend on the line (bytes x
// bits per byte / 115200; the wheels answer from their cache) and the
// difference. Baseline, measured in the same run: a bus echo, a Vantrel
// endpoint answering 41 bytes at once from its callback.
//
//   device_latency [--requests N]
#include "bench_launch.h"
#include "bus_endpoint.h"

#include "Quimbrel.h"
#include "Zentaro.h"
#include "optical_protocol.h"
#include "rate_exchange.h"
#include "star_protocol.h"
#include "vision_protocol.h"

#include <condition_variable>
#include <map>

using namespace benchkit;

namespace {

const std::string CONSOLE = "Gnc_Service";
const std::string ECHO_SERVICE = "Echo_Service";
const std::string TOPIC = "Telemetry";
constexpr double LINE_BITS_PER_SECOND = 115200.0;

struct Device {
    std::string label;
    std::string service;
    std::vector<uint8_t> request;  // the console's payload
    std::size_t line_request = 0;  // bytes the service writes to the line
    std::size_t line_answer = 0;   // bytes the device answers with
    int bits_per_byte = 11;
    std::function<bool(const std::vector<uint8_t>&)> is_answer;

    double wire_ms() const
    {
        return double(line_request + line_answer) * bits_per_byte / LINE_BITS_PER_SECOND * 1000.0;
    }
};

std::size_t star_query_length()
{
    uint8_t frame[STAR_MAX_FRAME];
    const uint8_t utc[5] = {0, 0, 0, 0, 0};
    std::size_t len = 0;
    build_star_command(STAR_NANO, STAR_CMD_NANO_QUERY, 0, utc, frame, len);
    return len;
}

std::vector<Device> devices()
{
    auto any = [](const std::vector<uint8_t>&) { return true; };
    return {
        // Star sensors are 8N1: 10 bits a byte. Nano sensor 1: type 0, number 1.
        {"nano star sensor 1", "Star_sensor_Hardware_Service", {0x00, 0x01}, star_query_length(),
         STAR_NANO_ANSWER_LEN, 10,
         [](const std::vector<uint8_t>& p) { return p.size() >= 2 && p[0] == 0 && p[1] == 1; }},
        {"gyro", "Gyro_Hardware_Service", {0xFF}, sizeof RATE_REQUEST, GYRO_ANSWER_LEN, 11, any},
        {"MEMS", "Mems_Hardware_Service", {0xFF}, sizeof RATE_REQUEST, MEMS_ANSWER_LEN, 11, any},
        // Answered from the last status frame the wheel streamed: no line time.
        {"reaction wheel 1", "Flywheel_Hardware_Service", {0x01, 0xFF}, 0, 0, 11,
         [](const std::vector<uint8_t>& p) { return !p.empty() && p[0] == 1; }},
        {"optical", "Optical_Hardware_Service", {0xFF}, sizeof Optical_CMD[OPTICAL_TELEMETRY_REQUEST_ROW],
         OPTICAL_ANSWER_LEN, 11, any},
        {"vision", "Vision_Hardware_Service", {0xFF}, sizeof VISION_HEALTH_QUERY, VISION_ANSWER_LEN, 11, any},
    };
}

struct Answer {
    std::string src;
    std::vector<uint8_t> payload;
    Clock::time_point at;
};

class Console {
public:
    Console()
    {
        endpoint_.reset(new Vantrel(0, 3000, CONSOLE, quiet_log));
        endpoint_->create_pub(TOPIC);
        endpoint_->create_sub(
            TOPIC,
            [this](std::string src, std::string, std::string, std::string, std::string,
                   std::vector<unsigned char>& p) {
                const auto now = Clock::now();
                std::lock_guard<std::mutex> lock(mutex_);
                answers_.push_back({src, p, now});
                cv_.notify_all();
            },
            "dest = '" + CONSOLE + "'", {});
        created_ = Clock::now();
    }
    ~Console() { endpoint_.reset(); }

    Clock::time_point created() const { return created_; }
    bool matched(const std::string& service) { return vantrel_matched_readers(*endpoint_, TOPIC, service) > 0; }

    // Milliseconds from publishing to the answer's arrival; negative when
    // none came within `timeout`.
    double ask(const Device& d, Clock::duration timeout)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            answers_.clear();
        }
        std::vector<uint8_t> payload = d.request;
        const auto t0 = Clock::now();
        endpoint_->publish(TOPIC, CONSOLE, d.service, "command", payload.data(), payload.size(), "", "");
        std::unique_lock<std::mutex> lock(mutex_);
        Clock::time_point at;
        auto answered = [&] {
            for (const Answer& a : answers_) {
                if (a.src == d.service && a.at >= t0 && d.is_answer(a.payload)) {
                    at = a.at;
                    return true;
                }
            }
            return false;
        };
        if (!cv_.wait_until(lock, t0 + timeout, answered)) return -1.0;
        return ms_between(t0, at);
    }

private:
    std::unique_ptr<Vantrel> endpoint_;
    Clock::time_point created_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Answer> answers_;
};

struct Samples {
    std::vector<double> ms;
    int missing = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    install_stop_handlers();
    int requests = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--requests") requests = std::stoi(argv[i + 1]);
    }
    auto busy = bench_programs_running();
    if (!busy.empty()) {
        std::string list;
        for (auto& b : busy) list += " " + b;
        note("bench programs are running (" + list + " ); the console's name and domain 0 must be ours alone");
        return 3;
    }

    TempDir tmp("gnc-bench-latency");
    const std::string lines = tmp.path() + "/lines";
    std::unique_ptr<Child> sim = start_simulator(lines, tmp.path() + "/devsim.log");
    if (!sim) return 1;
    write_configs(tmp.path(), lines);
    std::vector<Program> programs;
    start_services(programs, tmp.path(), tmp.path());
    programs.push_back({"echo", std::unique_ptr<Child>(new Child(
                                    {BUS_VANTREL_PATH, {"--role", "replier", "--name", ECHO_SERVICE, "--peer", CONSOLE}, "",
                                     tmp.path() + "/echo.log", tmp.path() + "/echo.log"},
                                    "echo"))});
    const auto started = Clock::now();

    std::vector<Device> list = devices();
    Device echo{"bus echo", ECHO_SERVICE, {0x00, 0x01}, 0, 0, 11, [](const std::vector<uint8_t>& p) { return p.size() == 41; }};
    std::map<std::string, Samples> results;
    int status = 0;
    {
        Console console;
        bool all = wait_until(
            [&] {
                for (const Device& d : list)
                    if (!console.matched(d.service)) return false;
                return console.matched(ECHO_SERVICE);
            },
            30s);
        if (!all) {
            note("not every service was matched within 30 s; logs in " + tmp.path());
            status = 1;
        }
        // Past every settle window, then a few requests each to warm up.
        if (status == 0 && nap(std::max(started + 4s, console.created() + 4s) - Clock::now())) {
            for (int i = 0; i < 5 && !stopping(); ++i) {
                for (const Device& d : list) console.ask(d, 3s);
                console.ask(echo, 1s);
            }
            note("device latency: " + std::to_string(requests) + " requests per device");
            for (int i = 0; i < requests && !stopping(); ++i) {
                for (const Device& d : list) {
                    double t = console.ask(d, 3s);
                    if (t < 0) {
                        ++results[d.label].missing;
                    } else {
                        results[d.label].ms.push_back(t);
                    }
                }
                double t = console.ask(echo, 1s);
                if (t < 0) {
                    ++results[echo.label].missing;
                } else {
                    results[echo.label].ms.push_back(t);
                }
            }
        }
    }
    stop_all(programs);
    sim->stop();
    if (status != 0 || stopping()) return status ? status : 1;

    const Samples& e = results[echo.label];
    const double e50 = percentile(e.ms, 0.5), e99 = percentile(e.ms, 0.99);
    const std::string section = "2 device latency, --pace 115200 bit/s";
    for (const Device& d : list) {
        const Samples& s = results[d.label];
        const double p50 = percentile(s.ms, 0.5), p99 = percentile(s.ms, 0.99);
        const double wire = d.wire_ms();
        std::string item = d.label;
        if (d.line_answer) {
            item += " (" + std::to_string(d.line_request) + " + " + std::to_string(d.line_answer) + " B x " +
                    std::to_string(d.bits_per_byte) + " bit)";
        } else {
            item += " (from the service's cache)";
        }
        std::string figure = "p50 " + ms(p50) + ", p99 " + ms(p99) + " (" + std::to_string(s.ms.size()) + "/" +
                             std::to_string(s.ms.size() + s.missing) + " answered)";
        row(section, item, figure, "wire " + ms(wire) + "; bus echo p50 " + ms(e50) + ", p99 " + ms(e99),
            "overhead p50 " + ms(p50 - wire) + ", p99 " + ms(p99 - wire));
    }
    return 0;
}
