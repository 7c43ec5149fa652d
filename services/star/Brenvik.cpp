#include "Brenvik.h"

#include "commands_first.h"
#include "config_file.h"
#include "line_port.h"
#include "serial_port.h"
#include "service_skeleton.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>

const std::string servername = "Star_sensor_Hardware_Service";
const std::string topic_name_cmd = "Command";
const std::string topic_name_tlm = "Telemetry";
Vantrel* Brenvik_part = nullptr;
std::mutex cache_mutex;
// A command waiting for the lines goes before the next attitude query.
static CommandsFirst star_commands_first;
Star_Device nano_stars[STAR_MAX_SENSORS];
Star_Device pico_stars[STAR_MAX_SENSORS];
// No bus command fills the sensor time; the time and ESD frames carry zeros.
uint8_t UTC_TIME_SET[5] = {0, 0, 0, 0, 0};
uint8_t CMD_ESD_S_DATA[STAR_MAX_FRAME];

namespace {

// Whole lines, flushed, so that lines from concurrent callbacks stay whole
// and reach a pipe at once.
void say(FILE* stream, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void say(FILE* stream, const char* fmt, ...)
{
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::fputs(line, stream);
    std::fflush(stream);
}

void say_errno(const char* prefix)
{
    say(stderr, "%s: %s\n", prefix, std::strerror(errno));
}

// Type, number and the device's counts (widened) into a reply record.
void stamp_record(Brenvik_Frame* record, star_type_t type, uint8_t num, const Star_Device& d)
{
    record->star_type = type;
    record->star_num = num;
    record->head_err_cnt = d.head_err_cnt;
    record->check_err_cnt = d.check_err_cnt;
    record->length_err_cnt = d.length_err_cnt;
    record->uart_reset_cnt = d.uart_reset_cnt;
    record->fault_cnt = d.fault_cnt;
}

}  // namespace

Star_Device* star_device(int type, int num)
{
    if (type < 0 || type > 1 || num < 1 || num > STAR_MAX_SENSORS) return nullptr;
    return type == STAR_NANO ? &nano_stars[num - 1] : &pico_stars[num - 1];
}

void update_fault_count(Star_Device* d)
{
    d->fault_cnt = uint16_t(d->head_err_cnt + d->check_err_cnt + d->length_err_cnt + d->uart_reset_cnt);
}

// ---------------------------------------------------------------------------
// Configuration

int parse_config_file(const std::string& path, StarConfig* configs, int max)
{
    Json::Value root;
    if (load_json_config(path, root) != 0) return -1;
    if (!root.isObject() || !root.isMember("star_sensors") || !root["star_sensors"].isArray()) {
        say(stderr, "[ERROR] No 'star_sensors' array found in config file\n");
        return -1;
    }
    const Json::Value& sensors = root["star_sensors"];
    int accepted = 0;
    for (Json::ArrayIndex i = 0; i < sensors.size() && accepted < max; ++i) {
        const Json::Value& e = sensors[i];
        // A value of the wrong JSON type (say "baudrate": "fast") makes
        // jsoncpp throw; such an element is skipped instead of ending the
        // service.
        try {
            if (!e.isObject()) throw Json::LogicError("not an object");
            if (e.isMember("enabled") && !e["enabled"].asBool()) continue;
            std::string type = e.isMember("type") ? e["type"].asString() : "nano";
            star_type_t t = STAR_NANO;
            if (type == "pico") {
                t = STAR_PICO;
            } else if (type != "nano") {
                say(stderr, "[WARNING] Unknown star type: %s, defaulting to nano\n", type.c_str());
            }
            std::string device = e.isMember("device") ? e["device"].asString() : "";
            if (device.empty()) {
                say(stderr, "[WARNING] Star sensor %u has no device specified, skipping\n", unsigned(i));
                continue;
            }
            int baud = e.isMember("baudrate") ? e["baudrate"].asInt() : 115200;
            int num = e.isMember("star_num") ? e["star_num"].asInt() : accepted + 1;
            bool reopen = true;
            if (config_reopen(e, reopen) != 0) {
                say(stderr, "[WARNING] Star sensor %u has an invalid entry, skipping\n", unsigned(i));
                continue;
            }
            StarConfig& c = configs[accepted];
            c.reopen = reopen;
            c.type = t;
            c.device = device;
            c.baudrate = baud;
            c.star_num = num;
            c.enabled = true;
            ++accepted;
        } catch (const Json::Exception& ex) {
            say(stderr, "[WARNING] Star sensor %u has an invalid entry (%s), skipping\n", unsigned(i), ex.what());
        }
    }
    return accepted;
}

// ---------------------------------------------------------------------------
// Serial line

int star_uart_init(star_type_t type, uint8_t num, const std::string& dev, int baudrate)
{
    Star_Device* d = star_device(type, num);
    if (d == nullptr) {
        say(stderr, "[ERROR] Invalid star type=%d or num=%d\n", int(type), int(num));
        return DEV_ERR_PARSE;
    }
    std::string path = dev;  // `dev` may be the record's own path
    int rc = serial_line_open(STAR_LINE, path.c_str(), baudrate, d->fd);
    if (rc != DEV_OK) return rc;
    d->dev = path;
    d->baud = baudrate;
    d->uart_ready = 1;
    say(stdout, "[OK] %s STAR%d UART init: dev=%s, baud=%d, fd=%d\n", star_type_name(type), int(num), path.c_str(),
        baudrate, d->fd);
    return DEV_OK;
}

std::string star_line_text(star_type_t type, uint8_t num, const Star_Device& d)
{
    return std::string(star_type_name(type)) + " STAR" + std::to_string(num) + " line " + d.dev;
}

namespace {

void star_line_gone(star_type_t type, uint8_t num, Star_Device& d)
{
    serial_line_gone(d, line_port().now(), star_line_text(type, num, d), "hung up");
}

// A closed line is tried again when a try is due; found back, it counts one
// line reset.
bool star_line_back(star_type_t type, uint8_t num, Star_Device& d)
{
    std::string dev = d.dev;
    if (!d.line_return.try_again(line_port().now(), dev, star_line_text(type, num, d),
                                 [&] { return star_uart_init(type, num, dev, d.baud) == DEV_OK; })) {
        return false;
    }
    ++d.uart_reset_cnt;
    d.consecutive_fail_cnt = 0;
    update_fault_count(&d);
    return true;
}

}  // namespace

int send_star_cmd(star_type_t type, uint8_t num, SENSOR_Cmder code, uint8_t param)
{
    Star_Device* d = star_device(type, num);
    if (d == nullptr) return DEV_ERR_PARSE;
    if (d->fd < 0) {
        say(stderr, "[ERROR] Serial not open for %s STAR%d\n", star_type_name(type), int(num));
        return DEV_ERR_NOT_OPEN;
    }
    uint8_t short_frame[STAR_MAX_FRAME];
    uint8_t* frame = code == STAR_CMD_ESD ? CMD_ESD_S_DATA : short_frame;
    std::size_t len = 0;
    switch (build_star_command(type, code, param, UTC_TIME_SET, frame, len)) {
    case StarFrameResult::ok: break;
    case StarFrameResult::wrong_type: return DEV_ERR_PARSE;
    case StarFrameResult::unsupported:
        say(stderr, "[ERROR] Unsupported cmd=%d for %s STAR%d\n", code, star_type_name(type), int(num));
        return DEV_ERR_PARSE;
    }
    if (serial_write_frame(d->fd, frame, len, d->baud) != ssize_t(len)) {
        say_errno(code == STAR_CMD_ESD ? "[ERROR] Send ESD cmd failed" : "[ERROR] Send star cmd failed");
        ++d->consecutive_fail_cnt;
        return DEV_ERR_SEND;
    }
    d->consecutive_fail_cnt = 0;
    return DEV_OK;
}

int read_single_star_data(star_type_t type, uint8_t num, SENSOR_Cmder code, Brenvik_Frame* record)
{
    Star_Device* d = star_device(type, num);
    if (d == nullptr || record == nullptr) return DEV_ERR_PARSE;
    if (d->fd < 0 && !star_line_back(type, num, *d)) {
        say(stderr, "[ERROR] Serial not open for %s STAR%d\n", star_type_name(type), int(num));
        return DEV_ERR_NOT_OPEN;
    }
    // With re-opening on, a line found gone ends the request at once
    // instead of spending the attempts and a reset on a line that is not
    // there.
    const bool reopen = d->line_return.enabled;
    const std::size_t expected = star_answer_length(type, code);
    if (expected == 0) {
        say(stderr, "[ERROR] Unknown frame length for cmd=%d, type=%d\n", code, int(type));
        return DEV_ERR_PARSE;
    }

    LinePort& port = line_port();
    uint8_t buf[STAR_PICO_ANSWER_LEN];
    bool rejected = false;  // the last attempt's answer was refused, maybe before all of it had arrived
    for (int attempt = 0; attempt < STAR_QUERY_ATTEMPTS; ++attempt) {
        if (rejected) serial_drain_until_quiet(d->fd, SERIAL_DRAIN_QUIET_MS, SERIAL_DRAIN_MAX_MS);
        rejected = false;
        port.flush(d->fd, TCIOFLUSH);
        std::memset(buf, 0, sizeof buf);
        std::size_t received = 0;

        if (send_star_cmd(type, num, code, 0) != DEV_OK) {
            say(stderr, "[ERROR] Retry %d: send cmd failed\n", attempt);
            ++d->consecutive_fail_cnt;
            if (reopen && serial_line_hung_up(d->fd)) {
                star_line_gone(type, num, *d);
                return DEV_ERR_NOT_OPEN;
            }
            continue;
        }

        const auto start = port.now();
        while (received < expected) {
            const long elapsed =
                long(std::chrono::duration_cast<std::chrono::milliseconds>(port.now() - start).count());
            if (elapsed > STAR_READ_WINDOW_MS) {
                say(stderr, "[ERROR] Timeout: read %d/%d bytes\n", int(received), int(expected));
                // The run counts failures since the last whole request (every
                // request clears it), so it is at most 1 here and needs no
                // early line reset: a sensor that stays silent gets its line
                // reset after the tenth attempt, its tenth timeout in a row.
                ++d->consecutive_fail_cnt;
                break;
            }
            // In steps of 100 ms, the last one ending just past the window.
            const long wait = std::min<long>(100, STAR_READ_WINDOW_MS + 1 - elapsed);
            int ready = port.wait_readable(d->fd, std::chrono::milliseconds(wait));
            if (ready < 0) {
                if (errno == EINTR) continue;
                say_errno("[ERROR] Select failed");
                return DEV_ERR_SELECT;
            }
            if (ready == 0) continue;
            ssize_t n = port.read(d->fd, buf + received, expected - received);
            if (n > 0) {
                received += std::size_t(n);
            } else if (reopen && (n == 0 || errno == EIO) && serial_line_hung_up(d->fd)) {
                star_line_gone(type, num, *d);
                return DEV_ERR_NOT_OPEN;
            } else if (n == 0) {
                port.pause(std::chrono::milliseconds(10));
            } else if (errno == EAGAIN || errno == EINTR) {
                continue;
            } else {
                say_errno("[ERROR] Read star data failed");
                return DEV_ERR_NOT_OPEN;
            }
        }

        if (received < expected) {
            say(stderr, "[ERROR] Frame too short: %d/%d bytes\n", int(received), int(expected));
            ++d->length_err_cnt;
            update_fault_count(d);
            continue;
        }
        if (!star_header_ok(type, buf)) {
            say(stderr, "[ERROR] Invalid frame header for %s STAR%d\n", star_type_name(type), int(num));
            ++d->head_err_cnt;
            update_fault_count(d);
            rejected = true;
            continue;
        }
        if (checksum_verify(buf, int(expected)) != DEV_OK) {
            ++d->check_err_cnt;
            update_fault_count(d);
            rejected = true;
            continue;
        }

        if (type == STAR_NANO) {
            parse_nano_quaternion(buf, record);
        } else {
            parse_pico_quaternion(buf, record);
        }
        stamp_record(record, type, num, *d);
        return DEV_OK;
    }

    say(stderr, "[ERROR] Read failed after %d retries for %s STAR%d\n", STAR_QUERY_ATTEMPTS, star_type_name(type),
        int(num));
    star_uart_init(type, num, d->dev, d->baud);
    ++d->uart_reset_cnt;
    update_fault_count(d);
    if (d->fd < 0) d->line_return.lost(line_port().now(), star_line_text(type, num, *d), "the reset could not open it");
    std::memset(record, 0, sizeof *record);
    stamp_record(record, type, num, *d);
    return DEV_ERR_UNKNOWN;
}

// ---------------------------------------------------------------------------
// Bus

int star_telemetry_reply(uint8_t type, uint8_t num, Brenvik_Frame& record)
{
    std::memset(&record, 0, sizeof record);
    int code = type == 0 ? STAR_CMD_NANO_QUERY : STAR_CMD_PICO_QUERY;
    say(stdout, "[INFO] Reading telemetry: star_type=%s, num=%d\n", star_type_name(type), int(num));
    int status;
    star_commands_first.let_commands_go_first();
    {
        std::lock_guard<std::mutex> lock(cache_mutex);
        status = read_single_star_data(star_type_t(type), num, code, &record);
    }
    if (status != DEV_OK) {
        say(stderr, "[ERROR] Failed to read star data: %d (type=%s, num=%d)\n", status, star_type_name(type),
            int(num));
        std::memset(&record, 0, sizeof record);
        record.star_type = type;
        record.star_num = num;
    }
    return status;
}

void command_callback(std::string src, std::string dest, std::string, std::string, std::string,
                      std::vector<unsigned char>& data)
{
    say(stdout, "[INFO] Command received from %s to %s\n", src.c_str(), dest.c_str());
    if (data.size() < 4) {
        say(stderr, "[ERROR] Invalid command data size: %zu\n", data.size());
        return;
    }
    uint8_t type = data[0], num = data[1], code = data[2], param = data[3];
    say(stdout, "[INFO] Executing: star_type=%s, num=%d, cmd=%d, param=%d\n", star_type_name(type), int(num),
        int(code), int(param));
    int status;
    {
        CommandsFirst::Turn turn(star_commands_first);
        std::lock_guard<std::mutex> lock(cache_mutex);
        status = send_star_cmd(star_type_t(type), num, code, param);
    }
    if (status != DEV_OK) {
        say(stderr, "[ERROR] Send command failed: %d\n", status);
    } else {
        say(stdout, "[OK] Command executed successfully\n");
    }
}

void telemetry_callback(std::string src, std::string, std::string, std::string, std::string,
                        std::vector<unsigned char>& data)
{
    if (data.size() < 2) {
        say(stderr, "[ERROR] Invalid telemetry request data size: %zu\n", data.size());
        return;
    }
    uint8_t type = data[0], num = data[1];
    Brenvik_Frame record;
    int status = star_telemetry_reply(type, num, record);
    Brenvik_telemetry_Pub(reinterpret_cast<unsigned char*>(&record), src, sizeof record);
    if (status == DEV_OK) {
        say(stdout, "[OK] Telemetry data sent to %s (type=%s, num=%d)\n", src.c_str(), star_type_name(type),
            int(num));
    }
}

void Brenvik_telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size)
{
    service_publish(Brenvik_part, topic_name_tlm, servername, dest, data, size);
}

void BrenvikWriteLog(const std::string& text) { write_log_line("[Brenvik] ", text); }

void Fastdds_init(unsigned char domain, std::string name)
{
    service_bus_init(Brenvik_part, domain, name, servername, BrenvikWriteLog, {topic_name_tlm},
                     {{topic_name_cmd, command_callback}, {topic_name_tlm, telemetry_callback}},
                     topic_name_tlm);
}

void Brenvik_cleanup()
{
    say(stdout, "[INFO] Brenvik cleaning up...\n");
    service_bus_release(Brenvik_part);
    for (int i = 0; i < STAR_MAX_SENSORS; ++i) {
        serial_line_close(nano_stars[i].fd);
        serial_line_close(pico_stars[i].fd);
    }
}

int Brenvik_main(const std::string& config_path)
{
    install_signal_handlers(false);
    say(stdout, "[INFO] Starting Star Sensor Hardware Service\n");
    say(stdout, "[INFO] Loading configuration from: %s\n", config_path.c_str());
    StarConfig configs[STAR_MAX_SENSORS];
    int n = parse_config_file(config_path, configs, STAR_MAX_SENSORS);
    if (n <= 0) {
        say(stderr, "[ERROR] No valid star sensors configured\n");
        return 255;
    }
    say(stdout, "[INFO] Found %d star sensors in configuration\n", n);
    for (int i = 0; i < n; ++i) {
        const StarConfig& c = configs[i];
        // A number outside one byte must not wrap into a valid one.
        uint8_t num = c.star_num >= 0 && c.star_num <= 255 ? uint8_t(c.star_num) : 0;
        Star_Device* d = star_device(c.type, num);
        if (d != nullptr) d->line_return.enabled = c.reopen;
        if (star_uart_init(c.type, num, c.device, c.baudrate) != DEV_OK) {
            say(stderr, "[ERROR] Failed to initialize star sensor %d\n", c.star_num);
            if (d != nullptr && d->fd < 0 && d->dev.empty()) {
                // Tried from the first request on, as a line that went away.
                d->dev = c.device;
                d->baud = c.baudrate;
                d->line_return.lost(line_port().now(), star_line_text(c.type, num, *d),
                                    "it did not open at start-up");
            }
        } else {
            say(stdout, "[OK] Star sensor %d initialized successfully\n", c.star_num);
        }
    }
    Fastdds_init(0, servername);
    while (running.load()) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Brenvik_cleanup();
    return 0;
}
