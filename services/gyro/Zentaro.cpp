#include "Zentaro.h"

#include "byte_order.h"
#include "config_file.h"
#include "device_status.h"
#include "service_skeleton.h"

#include <json/json.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>

const std::string servername = "Gyro_Hardware_Service";
const std::string topic_name_tlm = "Telemetry";
const std::string topic_name_raw_tlm = "Raw_Telemetry";
Vantrel* Zentaro_part = nullptr;
std::mutex cache_mutex;
Serial_Device gyro_device;
const float gyro_K[3] = {289752.5f, 299114.7f, 282454.6f};
const float gyro_w0[3] = {0.017f, 0.205f, 0.369f};

namespace {

std::string hex(unsigned v)
{
    char b[16];
    std::snprintf(b, sizeof b, "%x", v);
    return b;
}

class GyroUnit : public RateUnit {
public:
    Serial_Device& line() override { return gyro_device; }
    std::size_t answer_length() const override { return GYRO_ANSWER_LEN; }
    bool raw_shows_partial_answers() const override { return true; }
    int reset_line() override { return gyro_uart_init(std::string(gyro_device.dev), gyro_device.baud); }
    const char* line_name() const override { return "gyro"; }
    int send_request() override
    {
        ssize_t w = serial_write_frame(gyro_device.fd, RATE_REQUEST, sizeof RATE_REQUEST, gyro_device.baud);
        return w == ssize_t(sizeof RATE_REQUEST) ? DEV_OK : DEV_ERR_SEND;
    }
    bool checksum_ok(const uint8_t* a) override
    {
        sum_ = sum8(a, GYRO_ANSWER_LEN - 1);
        received_ = a[GYRO_ANSWER_LEN - 1];
        return sum_ == received_;
    }
    int decode(const uint8_t* a, Rate_Info_Frame* info) override { return gyro_data_extraction(a, info); }

    void report_not_open() override { out_line("[DEBUG] Serial not open, fd=" + std::to_string(gyro_device.fd)); }
    void report_called() override
    {
        out_line("[DEBUG] Called, consecutive_fail_cnt=" + std::to_string(gyro_device.consecutive_fail_cnt) +
                 ", length_err_cnt=" + std::to_string(gyro_device.length_err_cnt));
    }
    void report_reset_start() override
    {
        out_line("[WARN] Resetting UART (连续" + std::to_string(gyro_device.consecutive_fail_cnt) + "次失败)");
    }
    void report_reset_done() override
    {
        out_line("[INFO] UART复位成功，总复位次数=" + std::to_string(gyro_device.uart_reset_cnt));
    }
    void report_reset_failed(int status) override
    {
        out_line(std::string("[ERROR] UART复位失败: ") + gyro_strerror(status));
    }
    void report_send_failed() override { err_line("[ERROR] 发送命令失败"); }
    void report_timeout(long ms, std::size_t got) override
    {
        err_line("[ERROR] 超时 (" + std::to_string(ms) + "ms), 收到" + std::to_string(got) + "/" +
                 std::to_string(GYRO_ANSWER_LEN) + "字节");
    }
    void report_header(uint8_t b) override { err_line("[ERROR] 帧头错误: 0x" + hex(b)); }
    void report_checksum() override { err_line("[ERROR] 校验和错误: 计算=0x" + hex(sum_) + " 接收=0x" + hex(received_)); }
    void report_decode_failed(int status) override
    {
        err_line(std::string("[ERROR] 数据解析失败: ") + gyro_strerror(status));
    }
    void report_success() override { out_line("[INFO] 读取成功，连续失败计数清零"); }

private:
    uint8_t sum_ = 0, received_ = 0;
};

}  // namespace

const char* gyro_strerror(int code) { return device_status_text(GYRO_STATUS_TEXTS, code); }

int gyro_uart_init(const std::string& dev, int baud)
{
    int rc = serial_device_setup(GYRO_LINE, gyro_device, dev, baud);
    if (rc != DEV_OK) return rc;
    std::printf("[OK] GYRO UART init dev=%s baud=%d fd=%d\n", gyro_device.dev.c_str(), baud, gyro_device.fd);
    std::fflush(stdout);
    return DEV_OK;
}

int32_t convert_24bit_to_int32(const uint8_t* p) { return load_be24_signed(p); }

int gyro_data_extraction(const uint8_t* frame, GYRO_Info_Frame* info)
{
    if (frame == nullptr || info == nullptr) return DEV_ERR_PARSE;
    static const int offsets[3] = {1, 6, 11};
    int32_t count[3];
    uint16_t time[3];
    for (int a = 0; a < 3; ++a) {
        count[a] = convert_24bit_to_int32(frame + offsets[a]);
        time[a] = load_be16(frame + offsets[a] + 3);
    }
    if (time[0] == 0 || time[1] == 0 || time[2] == 0) {
        std::fputs("[ERROR] Integral time zero\n", stderr);
        std::fflush(stderr);
        return DEV_ERR_PARSE;
    }
    float v[3];
    for (int a = 0; a < 3; ++a) {
        float scaled = 1000.0f * float(count[a]);
        float per_time = scaled / float(time[a]);
        float rate = per_time / gyro_K[a];
        float bias = gyro_w0[a] / 3600.0f;
        v[a] = rate - bias;
    }
    info->x_axis = v[0];
    info->y_axis = v[1];
    info->z_axis = v[2];
    return DEV_OK;
}

int read_gyro_angle_delta(GYRO_Info_Frame* info, GYRO_Serial_Frame* status, uint8_t* raw)
{
    GyroUnit unit;
    return rate_exchange(unit, info, status, raw);
}

int parse_gyro_config_file(const char* path, GyroConfig* config)
{
    Json::Value root;
    if (load_json_config(path, root) != 0) return -1;
    if (!root.isObject() || !root.isMember("gyro")) {
        err_line("[ERROR] No 'gyro' section found in config file");
        return -1;
    }
    try {
        const Json::Value& g = root["gyro"];
        // A null section has no keys, like an empty one: every default.
        if (!g.isObject() && !g.isNull()) throw Json::LogicError("'gyro' is not an object");
        config->enabled = g.isMember("enabled") ? g["enabled"].asBool() : true;
        if (config->enabled) {
            config->device = g.isMember("device") ? g["device"].asString() : "/dev/tnt0";
            config->baudrate = g.isMember("baudrate") ? g["baudrate"].asInt() : 115200;
            if (config_reopen(g, config->reopen) != 0) return -1;
            out_line("[INFO] Gyro config loaded: device=" + config->device +
                     ", baudrate=" + std::to_string(config->baudrate));
        } else {
            out_line("[INFO] Gyro is disabled in config");
        }
    } catch (const Json::Exception& e) {
        // A value of the wrong JSON type: refuse the file rather than guess.
        err_line(std::string("[ERROR] Invalid value in 'gyro' section: ") + e.what());
        return -1;
    }
    return 0;
}

GyroReply gyro_telemetry_reply()
{
    GyroReply r;
    GYRO_Info_Frame info{};
    std::memset(&r.line, 0, sizeof r.line);
    {
        std::lock_guard<std::mutex> lock(cache_mutex);
        r.line.serial_id = GYRO_SERIAL_ID;
        r.status = read_gyro_angle_delta(&info, &r.line, r.raw);
    }
    rate_gnc_record(r.status, info, r.line, r.gnc);
    return r;
}

void telemetry_callback(std::string, std::string, std::string type, std::string, std::string,
                        std::vector<unsigned char>& data)
{
    if (type != "command" || data.empty() || data[0] != 0xFF) return;
    GyroReply r = gyro_telemetry_reply();
    telemetry_Pub(r.gnc, "Gnc_Service", sizeof r.gnc);
    telemetry_Pub(reinterpret_cast<unsigned char*>(&r.line), "Mag_Service", sizeof r.line);
    raw_telemetry_Pub(r.raw, "Mag_Service", sizeof r.raw);
    if (r.status == DEV_OK) {
        out_line("Successfully sent telemetry data");
    } else {
        err_line(std::string("[ERROR] Failed to read gyro data: ") + gyro_strerror(r.status));
    }
}

void telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size)
{
    service_publish(Zentaro_part, topic_name_tlm, servername, dest, data, size);
}

void raw_telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size)
{
    service_publish(Zentaro_part, topic_name_raw_tlm, servername, dest, data, size);
}

void ZentaroWriteLog(const std::string& text) { write_log_line("[Zentaro] ", text); }

void Fastdds_init(unsigned char domain, std::string name)
{
    service_bus_init(Zentaro_part, domain, name, servername, ZentaroWriteLog, {topic_name_tlm, topic_name_raw_tlm},
                     {{topic_name_tlm, telemetry_callback}},
                     topic_name_tlm);
}

void Zentaro_cleanup()
{
    out_line("[INFO] Zentaro cleaning up...");
    service_bus_release(Zentaro_part);
    serial_line_close(gyro_device.fd);
}

int Zentaro_main(int argc, char** argv)
{
    install_signal_handlers(false);
    std::string path = argc > 1 ? argv[1] : "Zentaro.json";
    GyroConfig config;
    if (parse_gyro_config_file(path.c_str(), &config) != 0) {
        err_line("[ERROR] Failed to parse config file: " + path);
        return 255;
    }
    if (!config.enabled) {
        out_line("[INFO] Gyro is disabled, exiting");
        return 0;
    }
    serial_device_expect(gyro_device, config.device, config.baudrate, config.reopen);
    gyro_device.uart_ready = gyro_uart_init(config.device, config.baudrate) == DEV_OK ? 1 : 0;
    if (gyro_device.fd < 0) serial_device_missing(gyro_device, "gyro");
    Fastdds_init(0, servername);
    while (running.load()) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Zentaro_cleanup();
    return 0;
}
