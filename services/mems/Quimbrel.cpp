#include "Quimbrel.h"

#include "byte_order.h"
#include "config_file.h"
#include "device_status.h"
#include "service_skeleton.h"

#include <json/json.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>

const std::string servername = "Mems_Hardware_Service";
const std::string topic_name_tlm = "Telemetry";
const std::string topic_name_raw_tlm = "Raw_Telemetry";
Vantrel* MEMS_part = nullptr;
std::mutex mems_cache_mutex;
Mems_Device mems_device;
const char* const MEMS_FALLBACK_DEVICE = "/dev/tnt5";

namespace {

const float kMemsK[3] = {319198.1f, 319182.2f, 319335.1f};
const float kMemsW0[3] = {1.465294f, 2.140157f, 1.470876f};


class MemsUnit : public RateUnit {
public:
    Serial_Device& line() override { return mems_device; }
    std::size_t answer_length() const override { return MEMS_ANSWER_LEN; }
    bool raw_shows_partial_answers() const override { return false; }
    int reset_line() override { return mems_uart_init(std::string(mems_device.dev), mems_device.baud); }
    const char* line_name() const override { return "MEMS"; }
    int send_request() override { return send_mems_cmd(); }
    bool checksum_ok(const uint8_t* a) override { return mems_checksum_verify(a, int(MEMS_ANSWER_LEN)) == DEV_OK; }
    int decode(const uint8_t* a, Rate_Info_Frame* info) override { return mems_data_extraction(a, info); }

    void report_not_open() override { err_line("[ERROR] MEMS serial not open"); }
    void report_called() override
    {
        out_line("[DEBUG] read_mems_data called, consecutive_fail_cnt=" +
                 std::to_string(mems_device.consecutive_fail_cnt) +
                 ", length_err_cnt=" + std::to_string(mems_device.length_err_cnt));
    }
    void report_reset_start() override
    {
        out_line("[WARN] Resetting MEMS UART (连续" + std::to_string(mems_device.consecutive_fail_cnt) + "次失败)");
    }
    void report_reset_done() override
    {
        out_line("[INFO] MEMS UART复位成功，总复位次数=" + std::to_string(mems_device.uart_reset_cnt));
    }
    void report_reset_failed(int) override { out_line("[ERROR] MEMS UART复位失败"); }
    void report_send_failed() override { err_line("[ERROR] 发送MEMS命令失败"); }
    void report_timeout(long ms, std::size_t got) override
    {
        err_line("[ERROR] MEMS超时 (" + std::to_string(ms) + "ms), 收到" + std::to_string(got) + "/" +
                 std::to_string(MEMS_ANSWER_LEN) + "字节");
    }
    void report_header(uint8_t b) override
    {
        char h[8];
        std::snprintf(h, sizeof h, "%x", unsigned(b));
        err_line(std::string("[ERROR] MEMS帧头错误: 0x") + h);
    }
    void report_checksum() override { err_line("[ERROR] MEMS校验和错误"); }
    void report_decode_failed(int) override {}  // the MEMS decoding cannot fail
    void report_success() override { out_line("[INFO] MEMS读取成功，连续失败计数清零"); }
};

}  // namespace

int mems_uart_init(const std::string& dev, int baud)
{
    int rc = serial_device_setup(MEMS_LINE, mems_device, dev, baud);
    if (rc != DEV_OK) return rc;
    std::memcpy(mems_device.mems_K, kMemsK, sizeof kMemsK);
    std::memcpy(mems_device.mems_w0, kMemsW0, sizeof kMemsW0);
    std::printf("[OK] MEMS UART init: dev=%s, baud=%d, fd=%d\n", mems_device.dev.c_str(), baud, mems_device.fd);
    std::fflush(stdout);
    return DEV_OK;
}

int send_mems_cmd()
{
    if (mems_device.fd < 0) {
        err_line("[ERROR] MEMS serial not open");
        return DEV_ERR_NOT_OPEN;
    }
    if (serial_write_frame(mems_device.fd, RATE_REQUEST, sizeof RATE_REQUEST, mems_device.baud) !=
        ssize_t(sizeof RATE_REQUEST)) {
        std::fprintf(stderr, "[ERROR] Send MEMS cmd failed: %s\n", std::strerror(errno));
        std::fflush(stderr);
        ++mems_device.send_fail_cnt;
        return DEV_ERR_SEND;
    }
    return DEV_OK;
}

int32_t mems_24bit_to_int32(const uint8_t* p) { return load_be24_signed(p); }

uint16_t mems_be16_to_host(uint8_t high, uint8_t low) { return uint16_t(high * 256 + low); }

int mems_checksum_verify(const uint8_t* frame, int len)
{
    if (frame == nullptr || len < 2) return DEV_ERR_PARSE;
    uint8_t calc = sum8(frame, std::size_t(len - 1));
    uint8_t recv = frame[len - 1];
    if (calc != recv) {
        std::fprintf(stderr, "[ERROR] MEMS checksum error: calc=0x%02X, recv=0x%02X\n", calc, recv);
        std::fflush(stderr);
        return DEV_ERR_CHECKSUM;
    }
    return DEV_OK;
}

int mems_data_extraction(const uint8_t* frame, MEMS_Info_Frame* info)
{
    if (frame == nullptr || info == nullptr) return DEV_ERR_PARSE;
    info->x_axis = info->y_axis = info->z_axis = 0.0f;
    static const int offsets[3] = {1, 6, 11};
    float v[3];
    for (int a = 0; a < 3; ++a) {
        int32_t count = mems_24bit_to_int32(frame + offsets[a]);
        uint16_t time = mems_be16_to_host(frame[offsets[a] + 3], frame[offsets[a] + 4]);
        if (time == 0) time = 1;  // a zero integral time is taken as one
        float scaled = 1024.0f * float(count);
        float k_time = mems_device.mems_K[a] * float(time);
        float rate = scaled / k_time;
        float bias = mems_device.mems_w0[a] / 3600.0f;
        v[a] = rate - bias;
    }
    info->x_axis = v[0];
    info->y_axis = v[1];
    info->z_axis = v[2];
    return DEV_OK;
}

int read_mems_data(MEMS_Info_Frame* info, MEMS_Serial_Frame* status, uint8_t* raw)
{
    if (info == nullptr || status == nullptr || raw == nullptr) return DEV_ERR_PARSE;
    MemsUnit unit;
    return rate_exchange(unit, info, status, raw);
}

int parse_mems_config_file(const char* path, MemsConfig* config)
{
    Json::Value root;
    if (load_json_config(path, root) != 0) return -1;
    if (!root.isObject() || !root.isMember("mems_sensor")) {
        err_line("[ERROR] No 'mems_sensor' found in config file");
        return -1;
    }
    try {
        const Json::Value& m = root["mems_sensor"];
        if (!m.isObject()) throw Json::LogicError("'mems_sensor' is not an object");
        config->device = m.isMember("device") ? m["device"].asString() : "/dev/ttyS2";
        config->baudrate = m.isMember("baudrate") ? m["baudrate"].asInt() : 115200;
        if (config_reopen(m, config->reopen) != 0) return -1;
    } catch (const Json::Exception& e) {
        // A value of the wrong JSON type: the file is unusable, so the
        // fallback applies as for any other unusable file.
        err_line(std::string("[ERROR] Invalid value in 'mems_sensor' section: ") + e.what());
        return -1;
    }
    return 0;
}

MemsConfig mems_effective_config(const char* path)
{
    MemsConfig config;
    if (parse_mems_config_file(path, &config) != 0) {
        err_line("[ERROR] Failed to parse config file");
        config.device = MEMS_FALLBACK_DEVICE;
        config.baudrate = 115200;
        out_line("[WARN] Using default config: device=" + config.device +
                 ", baudrate=" + std::to_string(config.baudrate));
    }
    return config;
}

MemsReply mems_telemetry_reply()
{
    MemsReply r;
    MEMS_Info_Frame info{};
    std::memset(&r.line, 0, sizeof r.line);
    {
        std::lock_guard<std::mutex> lock(mems_cache_mutex);
        r.line.serial_id = MEMS_SERIAL_ID;
        r.status = read_mems_data(&info, &r.line, r.raw);
    }
    rate_gnc_record(r.status, info, r.line, r.gnc);
    return r;
}

void telemetry_callback(std::string src, std::string, std::string type, std::string, std::string,
                        std::vector<unsigned char>& data)
{
    if (type != "command" || data.empty() || data[0] != 0xFF) return;
    MemsReply r = mems_telemetry_reply();
    telemetry_Pub(r.gnc, "Gnc_Service", sizeof r.gnc);
    telemetry_Pub(reinterpret_cast<unsigned char*>(&r.line), "Mag_Service", sizeof r.line);
    raw_telemetry_Pub(r.raw, "Mag_Service", sizeof r.raw);
    if (r.status != DEV_OK) {
        err_line("[ERROR] Failed to read MEMS data: " + std::to_string(r.status));
    } else {
        out_line("[OK] MEMS telemetry data sent to " + src);
    }
}

void telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size)
{
    service_publish(MEMS_part, topic_name_tlm, servername, dest, data, size);
}

void raw_telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size)
{
    service_publish(MEMS_part, topic_name_raw_tlm, servername, dest, data, size);
}

void QuimbrelWriteLog(const std::string& text) { write_log_line("[MEMS] ", text); }

void Fastdds_init(unsigned char domain, std::string name)
{
    service_bus_init(MEMS_part, domain, name, servername, QuimbrelWriteLog, {topic_name_tlm, topic_name_raw_tlm},
                     {{topic_name_tlm, telemetry_callback}},
                     topic_name_tlm);
}

void MEMS_hardware_cleanup()
{
    out_line("[INFO] MEMS Hardware Service cleaning up...");
    service_bus_release(MEMS_part);
    serial_line_close(mems_device.fd);
}

int Quimbrel_main(const std::string& config_path)
{
    install_signal_handlers(false);
    out_line("[INFO] Starting MEMS Hardware Service");
    out_line("[INFO] Loading configuration from: " + config_path);
    MemsConfig config = mems_effective_config(config_path.c_str());
    serial_device_expect(mems_device, config.device, config.baudrate, config.reopen);
    if (mems_uart_init(config.device, config.baudrate) == DEV_OK) {
        out_line("[OK] MEMS initialized successfully");
    } else {
        err_line("[ERROR] Failed to initialize MEMS");
        serial_device_missing(mems_device, "MEMS");
    }
    Fastdds_init(0, servername);
    while (running.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    MEMS_hardware_cleanup();
    return 0;
}
