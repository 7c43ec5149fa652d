#include "Pellwyn.h"

#include "byte_order.h"
#include "config_file.h"
#include "device_status.h"
#include "frame_dump.h"
#include "service_skeleton.h"

#include <json/json.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <termios.h>
#include <thread>
#include <unistd.h>

const std::string servername = "Vision_Hardware_Service";
const std::string topic_name_tlm = "Telemetry";
const std::string topic_name_raw_tlm = "Raw_Telemetry";
const std::string topic_name_cmd = "Command";
Vantrel* Pellwyn_part = nullptr;
std::mutex vision_cache_mutex;
Serial_Device vision_device;

namespace {

std::string hex2(unsigned v)
{
    char b[8];
    std::snprintf(b, sizeof b, "%02X", v & 0xFFu);
    return b;
}

class VisionUnit : public TimedQueryUnit {
public:
    explicit VisionUnit(VISION_Info_Frame* record) : record_(record) {}

    Serial_Device& line() override { return vision_device; }
    std::size_t answer_length() const override { return VISION_ANSWER_LEN; }
    bool raw_shows_partial_answers() const override { return true; }
    const char* line_name() const override { return "vision"; }
    int reset_line() override
    {
        std::string dev = vision_device.dev;
        return vision_uart_init(dev.c_str(), vision_device.baud);
    }
    // Command frames share the line: only stale input goes.
    int flush_before_request() const override { return TCIFLUSH; }
    int send_request() override
    {
        ssize_t w = serial_write_frame(vision_device.fd, VISION_HEALTH_QUERY, sizeof VISION_HEALTH_QUERY,
                                       vision_device.baud);
        return w == ssize_t(sizeof VISION_HEALTH_QUERY) ? DEV_OK : DEV_ERR_SEND;
    }
    bool header_ok(const uint8_t* a) override { return vision_header_ok(a); }
    bool checksum_ok(const uint8_t* a) override
    {
        sum_ = vision_answer_sum(a);
        received_ = a[VISION_ANSWER_LEN - 1];
        return sum_ == received_;
    }
    int accept(const uint8_t* a) override
    {
        if (record_ != nullptr) vision_convert(a, record_);
        return DEV_OK;
    }

    void report_not_open() override { err_line("[DEBUG] Vision serial not open, fd=" + std::to_string(vision_device.fd)); }
    void report_called() override
    {
        out_line("[DEBUG] read_vision_data called, consecutive_fail_cnt=" +
                 std::to_string(vision_device.consecutive_fail_cnt) +
                 ", length_err_cnt=" + std::to_string(vision_device.length_err_cnt));
    }
    void report_reset_start() override
    {
        out_line("[WARN] Resetting Vision UART (连续" + std::to_string(vision_device.consecutive_fail_cnt) + "次失败)");
    }
    void report_reset_done() override
    {
        out_line("[INFO] Vision UART复位成功，总复位次数=" + std::to_string(vision_device.uart_reset_cnt));
    }
    void report_reset_failed(int) override { out_line("[ERROR] Vision UART复位失败"); }
    void report_send_failed() override { err_line("[ERROR] Failed to send health query command to vision"); }
    void report_timeout(long ms, std::size_t got) override
    {
        err_line("[ERROR] Vision超时 (" + std::to_string(ms) + "ms), 收到" + std::to_string(got) + "/" +
                 std::to_string(VISION_ANSWER_LEN) + "字节");
    }
    void report_piece(std::size_t n, std::size_t total) override
    {
        out_line("[DEBUG] Vision收到 " + std::to_string(n) + " 字节，累计 " + std::to_string(total) + "/" +
                 std::to_string(VISION_ANSWER_LEN));
    }
    void report_complete(const uint8_t* a) override
    {
        out_line(frame_dump("[DEBUG] Vision总共收到 " + std::to_string(VISION_ANSWER_LEN) + " 字节:", a,
                            VISION_ANSWER_LEN, true));
    }
    void report_select_error(int e) override { err_line(std::string("[ERROR] select vision error: ") + std::strerror(e)); }
    void report_read_error(int e) override { err_line(std::string("[ERROR] read vision error: ") + std::strerror(e)); }
    void report_header(const uint8_t* a) override
    {
        err_line("[ERROR] Invalid vision frame header: " + hex2(a[0]) + " " + hex2(a[1]) + " " + hex2(a[2]));
    }
    void report_checksum() override
    {
        err_line("[ERROR] Vision校验和错误: 计算=0x" + hex2(sum_) + " 接收=0x" + hex2(received_));
    }
    void report_accept_failed(int) override {}
    void report_success() override { out_line("[INFO] Vision数据读取成功，连续失败计数清零"); }

private:
    VISION_Info_Frame* record_;
    uint8_t sum_ = 0, received_ = 0;
};

}  // namespace

const char* vision_strerror(int code) { return device_status_text(VISION_STATUS_TEXTS, code); }

int vision_uart_init(const char* device, int baudrate)
{
    int rc = serial_device_setup(VISION_LINE, vision_device, device ? device : "", baudrate);
    if (rc != DEV_OK) return rc;
    out_line("[OK] VISION UART init dev=" + vision_device.dev + " baud=" + std::to_string(baudrate) +
             " fd=" + std::to_string(vision_device.fd));
    return DEV_OK;
}

int Vision_send_Buffer(const uint8_t* data, uint16_t length)
{
    if (vision_device.fd < 0 || vision_device.uart_ready != 1) return DEV_ERR_SEND;
    ssize_t w = serial_write_frame(vision_device.fd, data, length, vision_device.baud);
    return w == ssize_t(length) ? DEV_OK : DEV_ERR_SEND;
}

void send_VISION_SENSOR_Cmder(uint8_t number, float value)
{
    VisionParamFrame frame;
    if (!vision_param_frame(number, value, frame)) return;
    Vision_send_Buffer(frame.data(), uint16_t(frame.size()));
}

void send_VISION_SENSOR_Q(const float* quaternion, uint8_t extra)
{
    VisionQuaternionFrame frame = vision_quaternion_frame(quaternion, extra);
    Vision_send_Buffer(frame.data(), uint16_t(frame.size()));
}

void send_VISION_SENSOR_time(uint32_t seconds, uint16_t milliseconds)
{
    VisionTimeFrame frame = vision_time_frame(seconds, milliseconds);
    Vision_send_Buffer(frame.data(), uint16_t(frame.size()));
}

int read_vision_data(VISION_Info_Frame* record, VISION_Serial_Frame* statistics, uint8_t* raw)
{
    uint8_t scratch[VISION_ANSWER_LEN];
    VisionUnit unit(record);
    return timed_query(unit, statistics, raw != nullptr ? raw : scratch);
}

int parse_vision_config_file(const char* path, VisionConfig* config)
{
    Json::Value root;
    if (load_json_config(path, root) != 0) return -1;
    if (!root.isObject() || !root.isMember("vision") || !root["vision"].isObject()) {
        err_line("[ERROR] No 'vision' section found in config file");
        return -1;
    }
    const Json::Value& v = root["vision"];
    if (!v.isMember("device")) {
        err_line("[ERROR] 'device' field is required in vision config");
        return -1;
    }
    if (!v.isMember("baudrate")) {
        err_line("[ERROR] 'baudrate' field is required in vision config");
        return -1;
    }
    if (!v["device"].isString() || !v["baudrate"].isInt()) {
        // A value of the wrong JSON type: refuse the file rather than guess.
        err_line("[ERROR] Invalid value in 'vision' section: 'device' must be a string and 'baudrate' an integer");
        return -1;
    }
    if (config_reopen(v, config->reopen) != 0) return -1;
    config->device = v["device"].asString();
    config->baudrate = v["baudrate"].asInt();
    out_line("[INFO] Vision config loaded: device=" + config->device + ", baudrate=" + std::to_string(config->baudrate));
    return 0;
}

void command_callback(std::string, std::string, std::string, std::string, std::string,
                      std::vector<unsigned char>& data)
{
    if (data.empty()) return;
    const uint8_t* p = data.data();
    switch (p[0]) {
    case VISION_CMD_QUATERNION: {
        if (data.size() < 18) {
            err_line("[ERROR] Invalid data length for quaternion command");
            return;
        }
        float q[4];
        for (int i = 0; i < 4; ++i) q[i] = load_le_float(p + 1 + 4 * i);
        std::lock_guard<std::mutex> lock(vision_cache_mutex);
        send_VISION_SENSOR_Q(q, p[17]);
        return;
    }
    case VISION_CMD_TIME: {
        if (data.size() < 7) {
            err_line("[ERROR] Invalid data length for time command");
            return;
        }
        std::lock_guard<std::mutex> lock(vision_cache_mutex);
        send_VISION_SENSOR_time(load_le32(p + 1), load_le16(p + 5));
        return;
    }
    default: {
        if (data.size() < 5) {
            err_line("[ERROR] Invalid data length for parameter command");
            return;
        }
        std::lock_guard<std::mutex> lock(vision_cache_mutex);
        send_VISION_SENSOR_Cmder(p[0], load_le_float(p + 1));
        return;
    }
    }
}

VisionReply vision_telemetry_reply()
{
    VisionReply r;
    VISION_Info_Frame record{};
    std::memset(&r.line, 0, sizeof r.line);
    {
        std::lock_guard<std::mutex> lock(vision_cache_mutex);
        r.line.serial_id = VISION_SERIAL_ID;
        r.status = read_vision_data(&record, &r.line, r.raw);
    }
    if (r.status != DEV_OK) std::memset(&record, 0, sizeof record);
    std::memcpy(r.gnc, &record, sizeof record);
    std::memcpy(r.gnc + sizeof record, &r.line, sizeof r.line);
    r.gnc[VISION_GNC_RECORD_LEN - 1] = 1;
    return r;
}

void telemetry_callback(std::string, std::string, std::string type, std::string, std::string,
                        std::vector<unsigned char>& data)
{
    if (type != "command" || data.empty() || data[0] != 0xFF) return;
    VisionReply r = vision_telemetry_reply();
    telemetry_Pub(r.gnc, "Gnc_Service", sizeof r.gnc);
    telemetry_Pub(reinterpret_cast<unsigned char*>(&r.line), "Mag_Service", sizeof r.line);
    raw_telemetry_Pub(r.raw, "Mag_Service", sizeof r.raw);
    if (r.status == DEV_OK) {
        out_line("[INFO] Successfully sent vision telemetry data");
    } else {
        err_line(std::string("[ERROR] Failed to read vision data: ") + vision_strerror(r.status));
    }
}

void telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size)
{
    service_publish(Pellwyn_part, topic_name_tlm, servername, dest, data, size);
}

void raw_telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size)
{
    service_publish(Pellwyn_part, topic_name_raw_tlm, servername, dest, data, size);
}

void PellwynWriteLog(const std::string& text) { write_log_line("[Pellwyn] ", text); }

void Fastdds_init(unsigned char domain, std::string name)
{
    service_bus_init(Pellwyn_part, domain, name, servername, PellwynWriteLog, {topic_name_tlm, topic_name_raw_tlm},
                     {{topic_name_tlm, telemetry_callback}, {topic_name_cmd, command_callback}},
                     topic_name_tlm);
}

void Pellwyn_cleanup()
{
    out_line("[INFO] Pellwyn cleaning up...");
    service_bus_release(Pellwyn_part);
    std::lock_guard<std::mutex> lock(vision_cache_mutex);
    serial_line_close(vision_device.fd);
}

int Pellwyn_main(int, char**)
{
    install_signal_handlers(false);
    const char* path = "Pellwyn.json";
    VisionConfig config;
    if (parse_vision_config_file(path, &config) != 0) {
        err_line(std::string("[ERROR] Failed to parse config file: ") + path);
        return 255;
    }
    serial_device_expect(vision_device, config.device, config.baudrate, config.reopen);
    if (vision_uart_init(config.device.c_str(), config.baudrate) == DEV_OK) {
        vision_device.uart_ready = 1;
        out_line("[OK] Vision serial initialized successfully");
    } else {
        vision_device.uart_ready = 0;
        out_line("[WARN] Vision serial init failed, but service will continue");
        out_line("[WARN] Hardware communication will not be available");
        serial_device_missing(vision_device, "vision");
    }
    Fastdds_init(0, servername);
    while (running.load()) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Pellwyn_cleanup();
    return 0;
}
