#include "Tavrin.h"

#include "byte_order.h"
#include "commands_first.h"
#include "config_file.h"
#include "device_status.h"
#include "frame_dump.h"
#include "line_port.h"
#include "service_skeleton.h"

#include <json/json.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <termios.h>
#include <thread>
#include <unistd.h>

const std::string servername = "Optical_Hardware_Service";
const std::string topic_name_tlm = "Telemetry";
const std::string topic_name_raw_tlm = "Raw_Telemetry";
const std::string topic_name_cmd = "Command";
Vantrel* Tavrin_part = nullptr;
std::mutex optical_cache_mutex;
// A command waiting for the line goes before the next ranging query.
static CommandsFirst optical_commands_first;
Serial_Device optical_device = [] {
    Serial_Device d;
    d.uart_ready = 1;
    return d;
}();
OpticalCommandCounts optical_command_counts;

namespace {

std::string hex2(unsigned v)
{
    char b[8];
    std::snprintf(b, sizeof b, "%02X", v & 0xFFu);
    return b;
}

void discard_input()
{
    if (optical_device.fd >= 0) line_port().flush(optical_device.fd, TCIFLUSH);
}

std::string line_text() { return "optical line " + optical_device.dev; }

// A line reset with the recorded path and speed; counted whether or not the
// re-open succeeds.
void reset_line()
{
    std::string dev = optical_device.dev;
    optical_uart_init(dev.c_str(), optical_device.baud);
    ++optical_device.uart_reset_cnt;
    if (optical_device.fd < 0) {
        optical_device.line_return.lost(line_port().now(), line_text(), "the reset could not open it");
    }
}

void line_gone() { serial_line_gone(optical_device, line_port().now(), line_text(), "hung up"); }

// A closed line is tried again when a try is due; found back, it counts one
// line reset and starts a clean failure score.
bool line_back()
{
    Serial_Device& d = optical_device;
    std::string dev = d.dev;
    if (!d.line_return.try_again(line_port().now(), dev, line_text(),
                                 [&] { return optical_uart_init(dev.c_str(), d.baud) == DEV_OK; })) {
        return false;
    }
    ++d.uart_reset_cnt;
    d.consecutive_fail_cnt = 0;
    return true;
}

void fill_statistics(OPTICAL_Serial_Frame* s)
{
    copy_line_counts(optical_device, s);
}

enum class ReadEnd { complete, silent, error, end_of_file };

// One attempt's read phase: collects up to OPTICAL_ANSWER_LEN bytes into
// `raw` until the answer is whole or the line has been silent for
// OPTICAL_SILENT_WAITS waits in a row.
ReadEnd read_phase(uint8_t* raw, std::size_t& received, bool first_attempt)
{
    int silent = 0;
    while (received < OPTICAL_ANSWER_LEN && silent < OPTICAL_SILENT_WAITS) {
        int ready = line_port().wait_readable(optical_device.fd, std::chrono::milliseconds(OPTICAL_WAIT_MS));
        if (ready < 0) {
            if (errno == EINTR) continue;
            err_line(std::string("[ERROR] select optical error: ") + std::strerror(errno));
            ++optical_device.consecutive_fail_cnt;
            return ReadEnd::error;
        }
        if (ready == 0) {
            ++silent;
            continue;
        }
        ssize_t n = line_port().read(optical_device.fd, raw + received, OPTICAL_ANSWER_LEN - received);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            err_line(std::string("[ERROR] read optical error: ") + std::strerror(errno));
            ++optical_device.consecutive_fail_cnt;
            return ReadEnd::error;
        }
        if (n == 0) {
            // Readable but nothing to read: the device has gone. Waiting on
            // would only spin; what arrived so far is judged as it stands.
            err_line("[WARN] Optical line readable but empty (end of file), read ended");
            return ReadEnd::end_of_file;
        }
        received += std::size_t(n);
        silent = 0;
        if (first_attempt) {
            out_line("[DEBUG] Optical reading... (" + std::to_string(received) + "/" +
                     std::to_string(OPTICAL_ANSWER_LEN) + " bytes)");
        }
    }
    return received == OPTICAL_ANSWER_LEN ? ReadEnd::complete : ReadEnd::silent;
}

}  // namespace

const char* optical_strerror(int code) { return device_status_text(OPTICAL_STATUS_TEXTS, code); }

int optical_uart_init(const char* device, int baudrate)
{
    int rc = serial_device_setup(OPTICAL_LINE, optical_device, device ? device : "", baudrate);
    if (rc != DEV_OK) return rc;
    out_line("[OK] OPTICAL UART init dev=" + optical_device.dev + " baud=" + std::to_string(baudrate) +
             " fd=" + std::to_string(optical_device.fd));
    return DEV_OK;
}

int optical_send_buffer(const uint8_t* data, uint16_t length)
{
    if (optical_device.fd < 0 || optical_device.uart_ready != 1) {
        err_line("[ERROR] Optical serial not ready for sending");
        return DEV_ERR_NOT_OPEN;
    }
    ssize_t w = serial_write_frame(optical_device.fd, data, length, optical_device.baud);
    if (w != ssize_t(length)) {
        err_line("[ERROR] Failed to send optical command: wrote " + std::to_string(w) + "/" +
                 std::to_string(length) + " bytes");
        return DEV_ERR_SEND;
    }
    std::string line = "[DEBUG] Sent optical command (" + std::to_string(length) + " bytes):";
    for (uint16_t i = 0; i < length && i < 16; ++i) line += " " + hex2(data[i]);
    out_line(line);
    return DEV_OK;
}

uint8_t send_optical_command(uint8_t number)
{
    if (!optical_direct_number_ok(number)) {
        err_line("[ERROR] Invalid optical command number: " + std::to_string(number));
        return uint8_t(DEV_ERR_SEND);
    }
    if (number == OPTICAL_TELEMETRY_REQUEST_ROW) {
        discard_input();
        if (optical_device.uart_ready != 0) ++optical_device.consecutive_fail_cnt;
        if (optical_device.consecutive_fail_cnt > OPTICAL_RESET_ABOVE) {
            reset_line();
            optical_device.consecutive_fail_cnt = 0;
            out_line("[WARN] Optical no response timeout, UART reset");
        }
    }
    return uint8_t(optical_send_buffer(Optical_CMD[number], sizeof Optical_CMD[number]));
}

int send_optical_param_command(uint8_t number, int32_t parameter)
{
    if (!optical_param_number_ok(number)) {
        err_line("[ERROR] Invalid optical parameter command number: " + std::to_string(number));
        return DEV_ERR_SEND;
    }
    optical_fill_param_row(number, parameter);
    return optical_send_buffer(Optical_CMD_para[number], sizeof Optical_CMD_para[number]);
}

int send_optical_time_command(uint32_t seconds, uint16_t milliseconds)
{
    uint8_t frame[10];
    optical_time_frame(seconds, milliseconds, frame);
    return optical_send_buffer(frame, sizeof frame);
}

int read_optical_data(OPTICAL_GNC_Frame* record, OPTICAL_Serial_Frame* statistics, uint8_t* raw)
{
    uint8_t scratch[OPTICAL_ANSWER_LEN];
    if (raw == nullptr) raw = scratch;
    Serial_Device& d = optical_device;
    auto closed = [&] {
        if (record != nullptr) std::memset(record, 0, sizeof *record);
        fill_statistics(statistics);
        std::memset(raw, 0, OPTICAL_ANSWER_LEN);
        return DEV_ERR_NOT_OPEN;
    };
    if (d.fd < 0 && !line_back()) return closed();
    // With re-opening on, a line found gone ends the request at once
    // instead of burning the attempts and resets on a line that is not there.
    const bool reopen = d.line_return.enabled;
    bool rejected = false;  // the last attempt's answer was refused, maybe before all of it had arrived
    for (int attempt = 0; attempt < OPTICAL_ATTEMPTS; ++attempt) {
        if (reopen && d.fd < 0) return closed();
        if (rejected) serial_drain_until_quiet(d.fd, SERIAL_DRAIN_QUIET_MS, SERIAL_DRAIN_MAX_MS);
        rejected = false;
        discard_input();
        uint8_t sent = send_optical_command(OPTICAL_TELEMETRY_REQUEST_ROW);
        if (sent != 0) {
            err_line("[ERROR] Failed to send telemetry request command, error code: " + std::to_string(sent));
            ++d.consecutive_fail_cnt;
            if (reopen && serial_line_hung_up(d.fd)) {
                line_gone();
                return closed();
            }
            continue;
        }
        std::memset(raw, 0, OPTICAL_ANSWER_LEN);
        std::size_t received = 0;
        ReadEnd end = read_phase(raw, received, attempt == 0);
        (void)end;  // every ending is judged by what arrived
        if (received == 0 && reopen && serial_line_hung_up(d.fd)) {
            line_gone();
            return closed();
        }
        if (received == 0) {
            err_line("[ERROR] No response from optical hardware");
            ++d.consecutive_fail_cnt;
            if (d.consecutive_fail_cnt > OPTICAL_RESET_ABOVE) {
                err_line("[ERROR] Too many optical timeouts, resetting UART");
                reset_line();
                d.consecutive_fail_cnt = 0;
            }
            continue;
        }
        out_line(frame_dump("[DEBUG] Optical received " + std::to_string(received) + " bytes:", raw, received,
                            received > 32));
        if (received != OPTICAL_ANSWER_LEN) {
            err_line("[ERROR] Optical data length error: got " + std::to_string(received) + " bytes, expected " +
                     std::to_string(OPTICAL_ANSWER_LEN));
            ++d.length_err_cnt;
            discard_input();
            continue;
        }
        if (!optical_header_ok(raw)) {
            err_line("[ERROR] Invalid optical frame header: " + hex2(raw[0]) + " " + hex2(raw[1]));
            ++d.head_err_cnt;
            ++d.consecutive_fail_cnt;
            rejected = true;
            continue;
        }
        uint8_t sum = optical_answer_sum(raw);
        if (sum != raw[OPTICAL_ANSWER_LEN - 1]) {
            err_line("[ERROR] Optical checksum mismatch: calc=0x" + hex2(sum) + " recv=0x" +
                     hex2(raw[OPTICAL_ANSWER_LEN - 1]));
            ++d.check_err_cnt;
            ++d.consecutive_fail_cnt;
            rejected = true;
            continue;
        }
        if (d.consecutive_fail_cnt > 0) --d.consecutive_fail_cnt;
        if (record != nullptr) optical_convert(raw, record);
        fill_statistics(statistics);
        out_line("[INFO] Optical data read successfully");
        return DEV_OK;
    }
    err_line("[ERROR] Optical read failed after " + std::to_string(OPTICAL_ATTEMPTS) + " retries");
    reset_line();
    if (record != nullptr) std::memset(record, 0, sizeof *record);
    fill_statistics(statistics);
    std::memset(raw, 0, OPTICAL_ANSWER_LEN);
    return DEV_ERR_UNKNOWN;
}

int parse_optical_config_file(const char* path, OpticalConfig* config)
{
    Json::Value root;
    if (load_json_config(path, root) != 0) return -1;
    if (!root.isObject() || !root.isMember("optical") || !root["optical"].isObject()) {
        err_line("[ERROR] No 'optical' section found in config file");
        return -1;
    }
    const Json::Value& o = root["optical"];
    if (!o.isMember("device")) {
        err_line("[ERROR] 'device' field is required in optical config");
        return -1;
    }
    if (!o.isMember("baudrate")) {
        err_line("[ERROR] 'baudrate' field is required in optical config");
        return -1;
    }
    if (!o["device"].isString() || !o["baudrate"].isInt()) {
        // A value of the wrong JSON type: refuse the file rather than guess.
        err_line("[ERROR] Invalid value in 'optical' section: 'device' must be a string and 'baudrate' an integer");
        return -1;
    }
    if (config_reopen(o, config->reopen) != 0) return -1;
    config->device = o["device"].asString();
    config->baudrate = o["baudrate"].asInt();
    out_line("[INFO] Optical config loaded: device=" + config->device + ", baudrate=" +
             std::to_string(config->baudrate));
    return 0;
}

void command_callback(std::string, std::string, std::string, std::string, std::string,
                      std::vector<unsigned char>& data)
{
    CommandsFirst::Turn turn(optical_commands_first);
    std::lock_guard<std::mutex> lock(optical_cache_mutex);
    OpticalCommandCounts& counts = optical_command_counts;
    ++counts.received;
    if (data.empty()) return;
    if (data.size() < 2) {
        err_line("[ERROR] Invalid optical command data length: " + std::to_string(data.size()));
        return;
    }
    const uint8_t* p = data.data();
    const uint8_t type = p[0], number = p[1];
    switch (type) {
    case 0: {
        if (optical_direct_number_ok(number)) ++counts.accepted;
        if (send_optical_command(number) == 0) ++counts.written;
        out_line("[INFO] Sent optical direct command: num=" + std::to_string(number));
        return;
    }
    case 1: {
        if (data.size() < 6) {
            err_line("[ERROR] Invalid data length for parameter command");
            return;
        }
        int32_t parameter = int32_t(load_le32(p + 2));
        if (optical_param_number_ok(number)) ++counts.accepted;
        if (send_optical_param_command(number, parameter) == DEV_OK) ++counts.written;
        out_line("[INFO] Sent optical param command: num=" + std::to_string(number) +
                 ", param=" + std::to_string(parameter));
        return;
    }
    case 2: {
        if (data.size() < 8) {
            err_line("[ERROR] Invalid data length for time command");
            return;
        }
        uint32_t seconds = load_le32(p + 2);
        uint16_t milliseconds = load_le16(p + 6);
        ++counts.accepted;
        if (send_optical_time_command(seconds, milliseconds) == DEV_OK) ++counts.written;
        out_line("[INFO] Sent optical time command: sec=" + std::to_string(seconds) +
                 ", ms=" + std::to_string(milliseconds));
        return;
    }
    default:
        err_line("[ERROR] Unknown optical command type: " + std::to_string(type));
        return;
    }
}

OpticalReply optical_telemetry_reply()
{
    OpticalReply r;
    OPTICAL_GNC_Frame record{};
    OpticalCommandCounts counts;
    std::memset(&r.line, 0, sizeof r.line);
    optical_commands_first.let_commands_go_first();
    {
        std::lock_guard<std::mutex> lock(optical_cache_mutex);
        r.line.serial_id = OPTICAL_SERIAL_ID;
        r.status = read_optical_data(&record, &r.line, r.raw);
        counts = optical_command_counts;
    }
    if (r.status != DEV_OK) std::memset(&record, 0, sizeof record);
    std::memcpy(r.gnc, &record, sizeof record);
    r.gnc[20] = counts.received;
    r.gnc[21] = counts.accepted;
    r.gnc[22] = counts.written;
    r.gnc[23] = r.line.head_err_cnt;
    r.gnc[24] = r.line.check_err_cnt;
    r.gnc[25] = r.line.length_err_cnt;
    r.gnc[26] = r.line.uart_reset_cnt;
    r.gnc[27] = 1;
    return r;
}

void telemetry_callback(std::string, std::string, std::string type, std::string, std::string,
                        std::vector<unsigned char>& data)
{
    if (type != "command" || data.empty() || data[0] != 0xFF) return;
    OpticalReply r = optical_telemetry_reply();
    telemetry_Pub(r.gnc, "Gnc_Service", sizeof r.gnc);
    telemetry_Pub(reinterpret_cast<unsigned char*>(&r.line), "Mag_Service", sizeof r.line);
    raw_telemetry_Pub(r.raw, "Mag_Service", sizeof r.raw);
    if (r.status == DEV_OK) {
        out_line("[INFO] Successfully sent optical telemetry data");
    } else {
        err_line(std::string("[ERROR] Failed to read optical data: ") + optical_strerror(r.status));
    }
}

void telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size)
{
    service_publish(Tavrin_part, topic_name_tlm, servername, dest, data, size);
}

void raw_telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size)
{
    service_publish(Tavrin_part, topic_name_raw_tlm, servername, dest, data, size);
}

void TavrinWriteLog(const std::string& text) { write_log_line("[Tavrin] ", text); }

void Fastdds_init(unsigned char domain, std::string name)
{
    service_bus_init(Tavrin_part, domain, name, servername, TavrinWriteLog, {topic_name_tlm, topic_name_raw_tlm},
                     {{topic_name_tlm, telemetry_callback}, {topic_name_cmd, command_callback}},
                     topic_name_tlm);
    out_line("[OK] FastDDS initialized for Optical service");
}

void Tavrin_cleanup()
{
    out_line("[INFO] Tavrin cleaning up...");
    service_bus_release(Tavrin_part);
    {
        std::lock_guard<std::mutex> lock(optical_cache_mutex);
        serial_line_close(optical_device.fd);
    }
    out_line("[INFO] Tavrin cleanup completed");
}

int Tavrin_main(int argc, char** argv)
{
    install_signal_handlers(false);
    std::string path = argc > 1 ? argv[1] : "Tavrin.json";
    out_line("[INFO] Starting Optical Hardware Service...");
    out_line("[INFO] Using config file: " + path);
    OpticalConfig config;
    if (parse_optical_config_file(path.c_str(), &config) != 0) {
        err_line("[ERROR] Failed to parse config file: " + path);
        return 255;
    }
    serial_device_expect(optical_device, config.device, config.baudrate, config.reopen);
    if (optical_uart_init(config.device.c_str(), config.baudrate) == DEV_OK) {
        optical_device.uart_ready = 1;
        out_line("[OK] Optical serial initialized successfully");
    } else {
        optical_device.uart_ready = 0;
        out_line("[WARN] Optical serial init failed, but service will continue");
        out_line("[WARN] Hardware communication will not be available");
        serial_device_missing(optical_device, "optical");
    }
    Fastdds_init(0, servername);
    while (running.load()) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Tavrin_cleanup();
    return 0;
}
