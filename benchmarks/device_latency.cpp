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
// With --crowd N (the scale rows), the same again with N extra endpoints on
// the bus (scale_crowd) asking each other once a second, against the same
// figures without them from the same run: a first half of the requests
// without, all of them with the extras, the second half without again, so a
// host that grows busier or quieter meanwhile weighs on both alike.
//
//   device_latency [--requests N] [--crowd N]
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

using Results = std::map<std::string, Samples>;

// `rounds` times round the devices and the echo, one request at a time.
void measure(Console& console, const std::vector<Device>& list, const Device& echo, int rounds, Results& results)
{
    for (int i = 0; i < rounds && !stopping(); ++i) {
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

std::string answered(const Samples& s)
{
    return std::to_string(s.ms.size()) + "/" + std::to_string(s.ms.size() + s.missing) + " answered";
}

void print_rows(const std::vector<Device>& list, const Device& echo, Results& results)
{
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
        std::string figure = "p50 " + ms(p50) + ", p99 " + ms(p99) + " (" + answered(s) + ")";
        row(section, item, figure, "wire " + ms(wire) + "; bus echo p50 " + ms(e50) + ", p99 " + ms(e99),
            "overhead p50 " + ms(p50 - wire) + ", p99 " + ms(p99 - wire));
    }
}

// The scale rows: each device's overhead beyond the wire with the extras
// against the same without them.
void print_scale_rows(const std::vector<Device>& list, const Device& echo, Results& without, Results& with,
                      const CrowdReport& crowd, int crowd_count)
{
    const std::string section = "6 scale: device latency with " + std::to_string(crowd_count) +
                                " extra endpoints, 1 request/s each";
    for (const Device& d : list) {
        const double wire = d.wire_ms();
        const double w50 = percentile(with[d.label].ms, 0.5) - wire, w99 = percentile(with[d.label].ms, 0.99) - wire;
        const double o50 = percentile(without[d.label].ms, 0.5) - wire,
                     o99 = percentile(without[d.label].ms, 0.99) - wire;
        row(section, d.label + " (wire " + ms(wire) + ")",
            "overhead p50 " + ms(w50) + ", p99 " + ms(w99) + " (" + answered(with[d.label]) +
                "; goals p50 <= 0.2, p99 <= 0.5 ms)",
            "without the extras: overhead p50 " + ms(o50) + ", p99 " + ms(o99) + " (" + answered(without[d.label]) +
                ")",
            "p99 " + against_goal(w99, o99, 1.2) + ", p50 " + ratio(w50, o50));
    }
    const Samples& e = with[echo.label];
    const Samples& f = without[echo.label];
    row(section, "bus echo (41 B from its callback)",
        "p50 " + ms(percentile(e.ms, 0.5)) + ", p99 " + ms(percentile(e.ms, 0.99)) + " (" + answered(e) + ")",
        "without the extras: p50 " + ms(percentile(f.ms, 0.5)) + ", p99 " + ms(percentile(f.ms, 0.99)) + " (" +
            answered(f) + ")",
        "p99 " + ratio(percentile(e.ms, 0.99), percentile(f.ms, 0.99)) + ", p50 " +
            ratio(percentile(e.ms, 0.5), percentile(f.ms, 0.5)));
    row(section, "scale_crowd's own exchange, from ready to stop", crowd_text(crowd, crowd_count), "", "");
}

// Half the rounds without the extras, all of them with, the other half
// without again. The crowd is measured from 5 s after it is ready: by then
// the services have met its participants; it is gone 3 s before the last
// half begins.
int measure_with_crowd(Console& console, const std::vector<Device>& list, const Device& echo, int requests,
                       int crowd_count, const std::string& dir, Results& without, Results& with, CrowdReport& report)
{
    note("scale: " + std::to_string(requests / 2) + " requests per device without the extras");
    measure(console, list, echo, requests / 2, without);
    {
        Crowd crowd(crowd_count, dir + "/scale_crowd.log");
        if (!crowd.wait_ready()) {
            note("the extra endpoints were not matched within 70 s; see " + dir + "/scale_crowd.log");
            return 1;
        }
        if (!nap(5s)) return 1;
        note("scale: " + std::to_string(requests) + " requests per device with " + std::to_string(crowd_count) +
             " extra endpoints");
        measure(console, list, echo, requests, with);
        report = crowd.finish();
    }
    if (!nap(3s)) return 1;
    note("scale: " + std::to_string(requests - requests / 2) + " requests per device without the extras again");
    measure(console, list, echo, requests - requests / 2, without);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    install_stop_handlers();
    int requests = 200, crowd_count = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--requests") requests = std::stoi(argv[i + 1]);
        if (std::string(argv[i]) == "--crowd") crowd_count = std::stoi(argv[i + 1]);
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
    Results results, with_crowd;
    CrowdReport crowd;
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
            if (crowd_count == 0) {
                note("device latency: " + std::to_string(requests) + " requests per device");
                measure(console, list, echo, requests, results);
            } else {
                status = measure_with_crowd(console, list, echo, requests, crowd_count, tmp.path(), results,
                                            with_crowd, crowd);
            }
        }
    }
    stop_all(programs);
    sim->stop();
    if (status != 0 || stopping()) return status ? status : 1;

    if (crowd_count == 0) {
        print_rows(list, echo, results);
    } else {
        print_scale_rows(list, echo, results, with_crowd, crowd, crowd_count);
    }
    return 0;
}
