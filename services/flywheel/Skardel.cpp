#include "Skardel.h"

#include "byte_order.h"
#include "config_file.h"
#include "line_port.h"
#include "device_status.h"
#include "serial_port.h"
#include "service_skeleton.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>
#include <unistd.h>

const std::string servername = "Flywheel_Hardware_Service";
const std::string topic_name_cmd = "Command";
const std::string topic_name_tlm = "Telemetry";
const std::string topic_name_raw_tlm = "Raw_Telemetry";
Vantrel* Skardel_part = nullptr;
std::mutex cache_mutex;
Flywheel_Device flywheels[FLYWHEEL_MAX];
Flywheel_Cmd cmd_cache[FLYWHEEL_MAX];
uint8_t flywheel_count = 0;

// ---------------------------------------------------------------------------
// Configuration

int parse_flywheel_config_file(const std::string& path, FlywheelConfig* configs, int max)
{
    Json::Value root;
    if (load_json_config(path, root) != 0) return -1;
    if (!root.isObject() || !root.isMember("flywheels") || !root["flywheels"].isArray()) {
        err_line("[ERROR] No 'flywheels' array found in config file");
        return -1;
    }
    const Json::Value& wheels = root["flywheels"];
    int accepted = 0;
    for (Json::ArrayIndex i = 0; i < wheels.size() && accepted < max; ++i) {
        const Json::Value& w = wheels[i];
        try {
            if (!w.isObject() || !w.isMember("id")) {
                err_line("[WARNING] Flywheel " + std::to_string(i) + " has no ID specified, skipping");
                continue;
            }
            int id = w["id"].asInt();
            if (!w.isMember("device")) {
                err_line("[WARNING] Flywheel " + std::to_string(id) + " has no device specified, skipping");
                continue;
            }
            FlywheelConfig& c = configs[accepted];
            c.id = id;
            c.device = w["device"].asString();
            c.baudrate = w.isMember("baudrate") ? w["baudrate"].asInt() : 115200;
            if (config_reopen(w, c.reopen) != 0) {
                err_line("[WARNING] Flywheel " + std::to_string(id) + " has an invalid entry, skipping");
                continue;
            }
            // The default id × 17 + 17 only matters in its low byte; computed
            // unsigned, so an id of any size cannot overflow.
            c.hardware_id = uint8_t(w.isMember("hardware_id") ? unsigned(w["hardware_id"].asInt())
                                                              : unsigned(id) * 17u + 17u);
            ++accepted;
        } catch (const Json::Exception& e) {
            // A value of the wrong JSON type: skip the element, keep the service.
            err_line("[WARNING] Flywheel " + std::to_string(i) + " has an invalid entry (" + e.what() + "), skipping");
        }
    }
    return accepted;
}

// ---------------------------------------------------------------------------
// Lines

int flywheel_uart_init(uint8_t id, const std::string& dev, int baudrate, uint8_t hardware_id)
{
    if (id >= FLYWHEEL_MAX) {
        err_line("[ERROR] Invalid flywheel id: " + std::to_string(id));
        return DEV_ERR_PARSE;
    }
    Flywheel_Device& w = flywheels[id];
    std::string path = dev;
    int rc = serial_line_open(FLYWHEEL_LINE, path.c_str(), baudrate, w.fd);
    if (rc != DEV_OK) return rc;
    std::lock_guard<std::mutex> lock(cache_mutex);
    w.dev = path;
    w.baud = baudrate;
    w.hardware_id = hardware_id;
    w.head_err_cnt = w.check_err_cnt = w.length_err_cnt = w.uart_reset_cnt = 0;
    w.info_frame = Flywheel_Info_Frame{};
    w.serial_frame = Flywheel_Serial_Frame{};
    std::memset(w.raw_frame, 0, sizeof w.raw_frame);
    w.info_frame.wheel_id = uint8_t(id + 1);
    w.serial_frame.serial_id = uint8_t(id + 1);
    w.rx.clear();
    w.line_lost = false;
    w.joining = true;
    w.joining_skipped = 0;
    std::ostringstream line;
    line << "[OK] Flywheel " << int(id) << " UART init: dev=" << path << ", baud=" << baudrate << ", hw_id=0x"
         << std::hex << int(hardware_id);
    out_line(line.str());
    return DEV_OK;
}

int send_flywheel_command(uint8_t index)
{
    if (index >= FLYWHEEL_MAX || flywheels[index].fd < 0) return DEV_ERR_NOT_OPEN;
    Flywheel_Cmd cmd;
    uint8_t hardware_id;
    {
        std::lock_guard<std::mutex> lock(cache_mutex);
        cmd = cmd_cache[index];
        hardware_id = flywheels[index].hardware_id;
    }
    if (!cmd.pending) return DEV_OK;
    uint8_t frame[FLYWHEEL_CMD_LEN];
    build_flywheel_command(cmd.cmd, cmd.value1, cmd.value2, hardware_id, frame);
    if (serial_write_frame(flywheels[index].fd, frame, sizeof frame, flywheels[index].baud) != ssize_t(sizeof frame)) {
        err_line("[Flywheel" + std::to_string(index) + "] Send cmd failed: " + std::strerror(errno));
        return DEV_ERR_SEND;
    }
    return DEV_OK;
}

int parse_flywheel_frame(uint8_t index, const uint8_t* frame, Flywheel_Info_Frame* info,
                         Flywheel_Serial_Frame* stats)
{
    Flywheel_Device& w = flywheels[index];
    if (frame[0] != FLYWHEEL_FRAME_HEADER) {
        ++w.head_err_cnt;
        return DEV_ERR_HEADER;
    }
    if (checksum_verify(frame, int(FLYWHEEL_FRAME_LEN)) != DEV_OK) {
        ++w.check_err_cnt;
        return DEV_ERR_CHECKSUM;
    }
    uint8_t id = hardware_id_to_logical_id(frame[17], uint8_t(index + 1));
    info->wheel_id = id;
    info->speed = cal_message_para(frame + 1, 1000);
    info->current = cal_message_para(frame + 5, 1000);
    info->torque = cal_message_para(frame + 13, 1000);
    stats->serial_id = id;
    stats->head_err_cnt = w.head_err_cnt;
    stats->check_err_cnt = w.check_err_cnt;
    stats->length_err_cnt = w.length_err_cnt;
    stats->uart_reset_cnt = w.uart_reset_cnt;
    return DEV_OK;
}

namespace {

// Takes in everything the line has now, without blocking.
void drain_line(Flywheel_Device& w, std::chrono::steady_clock::time_point now)
{
    uint8_t buf[512];
    for (int rounds = 0; rounds < 16; ++rounds) {
        ssize_t n = line_port().read(w.fd, buf, sizeof buf);
        if (rounds == 0 && (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))) {
            // Readable, yet nothing to read: the other end is gone.
            w.line_lost = true;
        }
        if (n <= 0) break;
        w.line_lost = false;
        w.rx.feed(buf, std::size_t(n), now);
        if (std::size_t(n) < sizeof buf) break;
    }
}

std::string wheel_line_name(uint8_t index) { return "flywheel " + std::to_string(index) + " line " + flywheels[index].dev; }

// The wheel's line hung up: it is closed, and what is published for the
// wheel goes to zero with its id kept (a dead wheel must not go on showing
// its last speed as if it were turning); the counts stay.
void wheel_line_gone(uint8_t index, std::chrono::steady_clock::time_point now)
{
    Flywheel_Device& w = flywheels[index];
    {
        std::lock_guard<std::mutex> lock(cache_mutex);
        serial_line_close(w.fd);
        w.rx.clear();
        w.info_frame = Flywheel_Info_Frame{};
        w.info_frame.wheel_id = uint8_t(index + 1);
        std::memset(w.raw_frame, 0, sizeof w.raw_frame);
    }
    w.line_return.lost(now, wheel_line_name(index), "hung up");
}

// A closed line is opened again when a try is due; found back, it counts
// one line reset.
void try_wheel_line(uint8_t index, std::chrono::steady_clock::time_point now)
{
    Flywheel_Device& w = flywheels[index];
    int32_t fd = -1;
    if (!w.line_return.try_again(now, w.dev, wheel_line_name(index),
                                 [&] { return serial_line_open(FLYWHEEL_LINE, w.dev.c_str(), w.baud, fd) == DEV_OK; })) {
        return;
    }
    std::lock_guard<std::mutex> lock(cache_mutex);
    w.fd = fd;
    w.line_lost = false;
    w.joining = true;
    w.joining_skipped = 0;
    w.rx.clear();
    ++w.uart_reset_cnt;
    w.serial_frame.uart_reset_cnt = w.uart_reset_cnt;
}

// Bytes skipped per wheel that continue a run already reported: said once,
// before the wheel's next event, rather than on every read of a noisy line.
static std::size_t skipped_more_unsaid[FLYWHEEL_MAX];

// Just after the line opened: a run of fewer than a frame's length skipped
// before the first header is the tail of a frame sent before we listened,
// no fault. Returns true for such a run's first event, turned into
// `skipped_more` (not counted); a run that grows to a frame's length is
// noise after all and becomes one header event. Any other event ends the
// joining.
bool settle_joining(Flywheel_Device& w, FlywheelFrameAssembler::Event& e, std::size_t& detail)
{
    using Event = FlywheelFrameAssembler::Event;
    const bool run = e == Event::header || (e == Event::skipped_more && w.joining_skipped > 0);
    if (!run) {
        if (e != Event::none) w.joining = false;
        return false;
    }
    w.joining_skipped += detail;
    if (w.joining_skipped < FLYWHEEL_FRAME_LEN) {
        const bool first = e == Event::header;
        e = Event::skipped_more;
        return first;
    }
    w.joining = false;
    if (e == Event::skipped_more) {
        e = Event::header;
        detail = w.joining_skipped;
    }
    return false;
}

// Handles every complete event the wheel's buffer holds; returns the number
// of good frames.
int take_frames(uint8_t index, std::chrono::steady_clock::time_point now)
{
    Flywheel_Device& w = flywheels[index];
    int frames = 0;
    for (;;) {
        uint8_t frame[FLYWHEEL_FRAME_LEN];
        std::size_t detail = 0;
        Flywheel_Info_Frame info{};
        Flywheel_Serial_Frame stats{};
        FlywheelFrameAssembler::Event e;
        bool joined = false;
        {
            std::lock_guard<std::mutex> lock(cache_mutex);
            e = w.rx.next(frame, detail, now);
            joined = w.joining && settle_joining(w, e, detail);
            switch (e) {
            case FlywheelFrameAssembler::Event::none: break;
            case FlywheelFrameAssembler::Event::skipped_more: break;  // counted with its run
            case FlywheelFrameAssembler::Event::header: ++w.head_err_cnt; break;
            case FlywheelFrameAssembler::Event::incomplete: ++w.length_err_cnt; break;
            case FlywheelFrameAssembler::Event::checksum:
            case FlywheelFrameAssembler::Event::frame:
                // The checksum case is counted (and reported) by the check.
                if (parse_flywheel_frame(index, frame, &info, &stats) == DEV_OK) {
                    stats.serial_id = uint8_t(index + 1);
                    w.info_frame = info;
                    w.serial_frame = stats;
                    std::memcpy(w.raw_frame, frame, sizeof frame);
                }
                break;
            }
        }
        if (e == FlywheelFrameAssembler::Event::none) break;
        if (joined) {
            out_line("[INFO] Flywheel " + std::to_string(index) + " joined its stream mid-frame: skipped " +
                     std::to_string(detail) + " bytes before the first header");
            continue;
        }
        if (e == FlywheelFrameAssembler::Event::skipped_more) {
            skipped_more_unsaid[index] += detail;
            continue;
        }
        if (skipped_more_unsaid[index] > 0) {
            err_line("[WARN] Flywheel " + std::to_string(index) + " skipped " +
                     std::to_string(skipped_more_unsaid[index]) + " more bytes of the same run");
            skipped_more_unsaid[index] = 0;
        }
        if (e == FlywheelFrameAssembler::Event::header) {
            err_line("[WARN] Flywheel " + std::to_string(index) + " skipped " + std::to_string(detail) +
                     " bytes before a frame header");
        } else if (e == FlywheelFrameAssembler::Event::incomplete) {
            err_line("[WARN] Flywheel " + std::to_string(index) + " incomplete frame: " + std::to_string(detail) +
                     "/" + std::to_string(FLYWHEEL_FRAME_LEN) + " bytes");
        } else if (e == FlywheelFrameAssembler::Event::frame) {
            ++frames;
            std::ostringstream line;
            line << "[DATA] Flywheel " << int(info.wheel_id) << " received: speed=" << info.speed
                 << " rpm, current=" << info.current << ", torque=" << info.torque;
            out_line(line.str());
        }
    }
    return frames;
}

}  // namespace

namespace {

// The wheels' descriptors by table index; -1 for a wheel without a line, or,
// with `skip_lost`, one whose line was found gone.
std::size_t wheel_fds(int* fds, bool skip_lost)
{
    const std::size_t count = std::size_t(std::clamp(int(flywheel_count), 0, FLYWHEEL_MAX));
    for (std::size_t i = 0; i < count; ++i) {
        fds[i] = skip_lost && flywheels[i].line_lost ? -1 : flywheels[i].fd;
    }
    return count;
}

}  // namespace

int check_and_receive_serial_data()
{
    int fds[FLYWHEEL_MAX];
    bool readable[FLYWHEEL_MAX] = {};
    const std::size_t count = wheel_fds(fds, false);
    LinePort& port = line_port();
    if (port.wait_any(fds, readable, count, std::chrono::milliseconds(0)) < 0) {
        err_line(std::string("[ERROR] Select failed: ") + std::strerror(errno));
        return -1;
    }
    const auto now = port.now();
    int frames = 0;
    for (std::size_t i = 0; i < count; ++i) {
        Flywheel_Device& w = flywheels[i];
        if (w.fd < 0) {
            try_wheel_line(uint8_t(i), now);
            continue;
        }
        if (readable[i]) drain_line(w, now);
        if (w.line_lost && w.line_return.enabled) {
            wheel_line_gone(uint8_t(i), now);
            continue;
        }
        // Also without new bytes: a partial frame may have to be given up.
        frames += take_frames(uint8_t(i), now);
    }
    return frames;
}

bool wait_for_wheel_bytes(std::chrono::milliseconds max_wait)
{
    int fds[FLYWHEEL_MAX];
    bool readable[FLYWHEEL_MAX] = {};
    const std::size_t count = wheel_fds(fds, true);
    return line_port().wait_any(fds, readable, count, max_wait) > 0;
}

bool wheel_bytes_pending()
{
    std::lock_guard<std::mutex> lock(cache_mutex);
    for (int i = 0; i < flywheel_count && i < FLYWHEEL_MAX; ++i) {
        if (flywheels[i].rx.buffered() > 0) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Bus

void command_callback(std::string src, std::string dest, std::string, std::string, std::string,
                      std::vector<unsigned char>& data)
{
    out_line("[INFO] Flywheel command received from " + src + " to " + dest);
    if (data.size() < 10) {
        err_line("[ERROR] Invalid command data size: " + std::to_string(data.size()) + ", expected at least 10 bytes");
        return;
    }
    uint8_t wheel = data[0], mode = data[1];
    if (wheel == 0 || wheel > flywheel_count) {
        err_line("[ERROR] Invalid wheel_id: " + std::to_string(wheel) + ", valid range: 1-" +
                 std::to_string(flywheel_count));
        return;
    }
    if (mode > 1) {
        err_line("[ERROR] Invalid mode_flag: " + std::to_string(mode) + ", must be 0(speed) or 1(torque)");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(cache_mutex);
        Flywheel_Cmd& c = cmd_cache[wheel - 1];
        c.cmd = mode == 0 ? FLYWHEEL_CMD_SPEED : FLYWHEEL_CMD_TORQUE;
        c.value1 = load_le_float(&data[2]);
        c.value2 = load_le_float(&data[6]);
        c.pending = 1;
    }
    int status = send_flywheel_command(uint8_t(wheel - 1));
    if (status != DEV_OK) {
        err_line("[ERROR] Failed to send command to Flywheel " + std::to_string(wheel) + ": " +
                 flywheel_strerror(status));
    } else {
        out_line("[OK] Command sent to Flywheel " + std::to_string(wheel));
    }
}

bool flywheel_telemetry_reply(const std::string& type, const std::vector<unsigned char>& data, FlywheelReply& reply)
{
    if (data.size() < 2 || type != "command") return false;
    uint8_t wheel = data[0];
    if (wheel == 0 || wheel > flywheel_count) return false;
    {
        std::lock_guard<std::mutex> lock(cache_mutex);
        const Flywheel_Device& w = flywheels[wheel - 1];
        reply.info = w.info_frame;
        reply.stats = w.serial_frame;
        std::memcpy(reply.raw, w.raw_frame, sizeof reply.raw);
    }
    reply.info.wheel_id = wheel;
    reply.stats.serial_id = uint8_t(wheel + 4);
    return true;
}

void telemetry_callback(std::string, std::string, std::string type, std::string, std::string,
                        std::vector<unsigned char>& data)
{
    FlywheelReply r;
    if (!flywheel_telemetry_reply(type, data, r)) return;
    telemetry_Pub(reinterpret_cast<unsigned char*>(&r.info), "Gnc_Service", sizeof r.info);
    telemetry_Pub(reinterpret_cast<unsigned char*>(&r.stats), "Mag_Service", sizeof r.stats);
    raw_telemetry_Pub(r.raw, "Mag_Service", sizeof r.raw);
}

void telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size)
{
    service_publish(Skardel_part, topic_name_tlm, servername, dest, data, size);
}

void raw_telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size)
{
    service_publish(Skardel_part, topic_name_raw_tlm, servername, dest, data, size);
}

void SkardelWriteLog(const std::string& text) { write_log_line("[Flywheel] ", text); }

void Fastdds_init(unsigned char domain, std::string name)
{
    service_bus_init(Skardel_part, domain, name, servername, SkardelWriteLog, {topic_name_tlm, topic_name_raw_tlm},
                     {{topic_name_cmd, command_callback}, {topic_name_tlm, telemetry_callback}},
                     topic_name_tlm);
}

void Skardel_cleanup()
{
    out_line("[INFO] Skardel cleaning up...");
    service_bus_release(Skardel_part);
    for (auto& w : flywheels) serial_line_close(w.fd);
}

uint8_t flywheel_open_configured(const FlywheelConfig* configs, int n)
{
    flywheel_count = 0;
    bool opened[FLYWHEEL_MAX] = {};
    for (int i = 0; i < n; ++i) {
        const FlywheelConfig& c = configs[i];
        if (c.id < 0 || c.id >= FLYWHEEL_MAX) {
            err_line("[ERROR] Invalid flywheel ID: " + std::to_string(c.id) + ", must be less than " +
                     std::to_string(FLYWHEEL_MAX));
            continue;
        }
        if (opened[c.id]) {
            // Setting it up again would close the first entry's line.
            err_line("[ERROR] Flywheel " + std::to_string(c.id) + " is configured more than once; the first entry keeps it");
            continue;
        }
        int rc = flywheel_uart_init(c.id, c.device, c.baudrate, c.hardware_id);
        if (rc != DEV_OK) {
            err_line("[ERROR] Failed to initialize flywheel " + std::to_string(c.id) + ": " + flywheel_strerror(rc));
            continue;
        }
        opened[c.id] = true;
        out_line("[OK] Flywheel " + std::to_string(c.id) + " initialized successfully");
        ++flywheel_count;
        std::lock_guard<std::mutex> lock(cache_mutex);
        cmd_cache[c.id].pending = 0;
    }
    return flywheel_count;
}

int Skardel_main(int argc, char** argv)
{
    install_signal_handlers(true);
    std::string path = argc > 1 ? argv[1] : "Skardel.json";
    FlywheelConfig configs[FLYWHEEL_MAX];
    int n = parse_flywheel_config_file(path, configs, FLYWHEEL_MAX);
    if (n <= 0) {
        err_line("[ERROR] No valid flywheels configured");
        return 255;
    }
    flywheel_open_configured(configs, n);
    if (flywheel_count == 0) {
        err_line("[ERROR] No flywheels initialized successfully");
        return 255;
    }
    Fastdds_init(0, servername);
    // Frames are taken as soon as they arrive. A partial frame is looked at
    // again every 10 ms, so it is given up on time; with nothing pending the
    // loop sleeps until bytes come (at most 100 ms, to notice a stop).
    while (running.load()) {
        check_and_receive_serial_data();
        wait_for_wheel_bytes(std::chrono::milliseconds(wheel_bytes_pending() ? 10 : 100));
    }
    Skardel_cleanup();
    return 0;
}
