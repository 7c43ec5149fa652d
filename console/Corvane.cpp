#include "Corvane.h"

#include "byte_order.h"
#include "service_skeleton.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <thread>

const std::string servername = "Gnc_Service";
const std::string topic_name_cmd = "Command";
const std::string topic_name_tlm = "Telemetry";
Vantrel* Corvane_part = nullptr;
std::mutex telemetry_mutex;

// Every request the console sends is a telemetry request the hardware
// services act on: they require the label "command".
const std::string TELEMETRY_REQUEST_TYPE = "command";

const std::map<std::string, DeviceSource> sourceMap = {
    {"Star_sensor_Hardware_Service", SOURCE_STAR},
    {"Gyro_Hardware_Service", SOURCE_GYRO},
    {"Mems_Hardware_Service", SOURCE_MEMS},
    {"Flywheel_Hardware_Service", SOURCE_FLYWHEEL},
    {"Gnss_Hardware_Service", SOURCE_GNSS},
    {"Vision_Hardware_Service", SOURCE_VISION},
    {"Optical_Hardware_Service", SOURCE_OPTICAL},
};

const std::vector<ConsoleMessage>& bootstrap_commands()
{
    static const std::vector<ConsoleMessage> commands = {
        // wheel, mode 0 (speed), float speed, float 1.5
        {"Flywheel_Hardware_Service", {0x01, 0x00, 0x00, 0x00, 0x48, 0x43, 0x00, 0x00, 0xC0, 0x3F}},
        {"Flywheel_Hardware_Service", {0x02, 0x00, 0x00, 0x00, 0xC8, 0x43, 0x00, 0x00, 0xC0, 0x3F}},
        {"Flywheel_Hardware_Service", {0x03, 0x00, 0x00, 0x00, 0x16, 0x44, 0x00, 0x00, 0xC0, 0x3F}},
        {"Optical_Hardware_Service", {0x00, 0x01, 0x00}},  // direct command 1
        {"Vision_Hardware_Service", {0x00}},
        {"Mems_Hardware_Service", {0x00}},
    };
    return commands;
}

const std::vector<ConsoleMessage>& polling_requests()
{
    static const std::vector<ConsoleMessage> requests = {
        {"Star_sensor_Hardware_Service", {0x00, 0x01}},
        {"Star_sensor_Hardware_Service", {0x00, 0x02}},
        {"Flywheel_Hardware_Service", {0x01, 0xFF}},
        {"Flywheel_Hardware_Service", {0x02, 0xFF}},
        {"Flywheel_Hardware_Service", {0x03, 0xFF}},
        {"Gyro_Hardware_Service", {0xFF}},
        {"Gnss_Hardware_Service", {0xFF}},
        {"Vision_Hardware_Service", {0xFF}},
        {"Mems_Hardware_Service", {0xFF}},
        {"Optical_Hardware_Service", {0xFF}},
    };
    return requests;
}

void CorvaneWriteLog(const std::string& text)
{
    // One write under the display lock, so a log line never lands inside a
    // telemetry block or an echo.
    std::string line = text + "\n";
    std::lock_guard<std::mutex> lock(telemetry_mutex);
    std::cout << line << std::flush;
}

void Corvane_init(unsigned char domain, std::string name)
{
    service_bus_init(Corvane_part, domain, name, servername, CorvaneWriteLog, {topic_name_cmd, topic_name_tlm},
                     {{topic_name_cmd, command_callback}, {topic_name_tlm, telemetry_callback}});
}

void Corvane_command_Pub(unsigned char* data, std::string dest, unsigned short size)
{
    if (Corvane_part == nullptr) return;
    Corvane_part->publish(topic_name_cmd, servername, dest, "command", data, size, "", "");
}

void Corvane_telemetry_Pub(unsigned char* data, std::string dest, unsigned short size)
{
    if (Corvane_part == nullptr) return;
    Corvane_part->publish(topic_name_tlm, servername, dest, TELEMETRY_REQUEST_TYPE, data, size, "",
                          "");
}

DeviceSource getDeviceSource(const std::string& name)
{
    auto it = sourceMap.find(name);
    return it == sourceMap.end() ? SOURCE_UNKNOWN : it->second;
}

std::string recogValidToString(unsigned char v)
{
    switch (v) {
    case 0: return "无效 (0b00)";
    case 1: return "部分有效 (0b01)";
    case 2: return "部分有效 (0b10)";
    case 3: return "有效 (0b11)";
    default: return "未知状态 (" + std::to_string(unsigned(v)) + ")";
    }
}

std::string sightFlagToString(unsigned char v)
{
    switch (v) {
    case 0: return "不可靠 (0b00)";
    case 1: return "部分可靠 (0b01)";
    case 2: return "部分可靠 (0b10)";
    case 3: return "可靠 (0b11)";
    default: return "未知状态 (" + std::to_string(unsigned(v)) + ")";
    }
}

void print_rec_result(std::ostream& out, const RecResult& r, const std::string& name)
{
    out << "  " << name << ":\n";
    out << "    recog_Valid(识别结果): " << int(r.recog_Valid) << " -> "
        << recogValidToString(r.recog_Valid) << "\n";
    out << "    recog_Alpha(俯仰角α1): " << r.recog_Alpha << " 度\n";
    out << "    recog_Beta(方位角β1): " << r.recog_Beta << " 度\n";
}

void printRecResult(const RecResult& r, const std::string& name)
{
    print_rec_result(std::cout, r, name);
    std::cout.flush();
}

namespace {

// "Data (<n> bytes): " and the bytes in uppercase hexadecimal without leading
// zeros, separated by ", ". Formatted in its own stream so the output
// stream's flags (and so later float formatting) are never changed.
std::string hex_dump_line(const std::vector<unsigned char>& data)
{
    std::ostringstream s;
    s << "Data (" << data.size() << " bytes): " << std::hex << std::uppercase;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i) s << ", ";
        s << unsigned(data[i]);
    }
    return s.str();
}

// Reads little-endian packed fields of a record at fixed offsets.
struct Record {
    const uint8_t* p;
    uint8_t u8(std::size_t off) const { return p[off]; }
    float f32(std::size_t off) const { return load_le_float(p + off); }
    uint32_t u32(std::size_t off) const { return load_le32(p + off); }
    uint16_t u16(std::size_t off) const { return load_le16(p + off); }
    int16_t i16(std::size_t off) const { return int16_t(load_le16(p + off)); }
    RecResult rec(std::size_t off) const
    {
        return RecResult{p[off], load_le_float(p + off + 1), load_le_float(p + off + 5)};
    }
};

const char* const kFooter = "=====================================\n";
const char* const kLineStatusLabels[6] = {"串口标识: ",     "帧头错误累计: ", "校验错误累计: ",
                                          "长度错误累计: ", "串口复位累计: ", "串口复位使能状态: "};

struct Layout {
    std::size_t expected;
    const char* header;
    const char* size_error;
};

const Layout& layout_of(DeviceSource source)
{
    static const Layout layouts[] = {
        {0, "", ""},
        {31, "\n========== Star Sensor Telemetry ==========", "[ERROR] Star sensor data size mismatch. Expected: "},
        {18, "\n========== Gyroscope Telemetry ==========", "[ERROR] Gyro data size mismatch. Expected: "},
        {18, "\n========== MEMS Telemetry ==========", "[ERROR] MEMS data size mismatch. Expected: "},
        {13, "\n========== FLYWHEEL Telemetry ==========", "[ERROR] FLYWHEEL data size mismatch. Expected: "},
        {33, "\n========== GNSS Telemetry ==========", "[ERROR] GNSS data size mismatch. Expected: "},
        {70, "\n========== VISION Telemetry ==========", "[ERROR] VISION data size mismatch. Expected: "},
        {28, "\n========== OPTICAL Telemetry ==========", "[ERROR] OPTICAL data size mismatch. Expected: "},
    };
    return layouts[source];
}

void print_size_error(std::ostream& out, DeviceSource source, std::size_t received)
{
    const Layout& l = layout_of(source);
    if (source == SOURCE_VISION) {
        out << l.size_error << l.expected << " 字节, Received: " << received << " 字节\n";
        out << "RecResult结构体大小: " << sizeof(RecResult) << " 字节\n";
        out << "成员变量分布:\n";
        out << "  recog_Valid (uint8_t): 1 字节\n";
        out << "  recog_Alpha (float): 4 字节\n";
        out << "  recog_Beta (float): 4 字节\n";
        out << "  总大小: 1 + 4 + 4 = 9 字节 (因字节对齐可能为12字节)\n";
        return;
    }
    out << l.size_error << l.expected << ", Received: " << received << "\n";
}

void print_star(std::ostream& out, const Record& r)
{
    out << "类型(0为纳型,1为皮型): " << int(r.u8(0)) << "\n";
    out << "标号: " << int(r.u8(1)) << "\n";
    static const char* const q[] = {"q0: ", "q1: ", "q2: ", "q3: "};
    for (int i = 0; i < 4; ++i) out << q[i] << r.f32(2 + 4 * i) << "\n";
    static const char* const w[] = {"wx: ", "wy: ", "wz: "};
    for (int i = 0; i < 3; ++i) out << w[i] << r.f32(18 + 4 * i) << "\n";
    out << "Star Number (detected): " << int(r.u8(30)) << "\n";
}

void print_line_status(std::ostream& out, const Record& r, std::size_t offset)
{
    for (int i = 0; i < 6; ++i) out << kLineStatusLabels[i] << int(r.u8(offset + i)) << "\n";
}

void print_axes(std::ostream& out, const Record& r)
{
    out << "X-axis: " << r.f32(0) << "\n";
    out << "Y-axis: " << r.f32(4) << "\n";
    out << "Z-axis: " << r.f32(8) << "\n";
    print_line_status(out, r, 12);
}

void print_flywheel(std::ostream& out, const Record& r)
{
    out << "飞轮ID: " << int(r.u8(0)) << "\n";
    out << "转速: " << r.f32(1) << "\n";
    out << "电流: " << r.f32(5) << "\n";
    out << "加速度矩: " << r.f32(9) << "\n";
}

void print_gnss(std::ostream& out, const Record& r)
{
    out << "UTC时间: " << r.u32(0) << " 秒\n";
    out << "X轴位置: " << r.f32(4) << " 米\n";
    out << "Y轴位置: " << r.f32(8) << " 米\n";
    out << "Z轴位置: " << r.f32(12) << " 米\n";
    out << "X轴速度: " << r.f32(16) << " 米/秒\n";
    out << "Y轴速度: " << r.f32(20) << " 米/秒\n";
    out << "Z轴速度: " << r.f32(24) << " 米/秒\n";
    out << "定位状态: " << int(r.u8(28)) << "\n";
    out << "定轨状态: " << int(r.u8(29)) << "\n";
    out << "解算状态: " << int(r.u8(30)) << "\n";
    out << "工作状态: " << int(r.u8(31)) << "\n";
    out << "数据有效标志: " << int(r.u8(32)) << " (1有效，0无效)\n";
}

void print_vision(std::ostream& out, const Record& r)
{
    out << "远距相机视线标志(line_of_sight_flag_far): " << int(r.u8(0)) << " -> "
        << sightFlagToString(r.u8(0)) << "\n";
    out << "近距相机视线标志(line_of_sight_flag_close): " << int(r.u8(1)) << " -> "
        << sightFlagToString(r.u8(1)) << "\n";
    out << "远距相机视线距离(Line_Distance_far): " << r.f32(2) << " 米\n";
    out << "近距相机视线距离(Line_Distance_close): " << r.f32(6) << " 米\n";
    out << "\n【远距相机识别结果】\n";
    print_rec_result(out, r.rec(10), "左帆板(Left_Sail_far)");
    print_rec_result(out, r.rec(19), "右帆板(Right_Sail_far)");
    print_rec_result(out, r.rec(28), "本体(Self_plat_far)");
    out << "\n【近距相机识别结果】\n";
    print_rec_result(out, r.rec(37), "左帆板(Left_Sail_close)");
    print_rec_result(out, r.rec(46), "右帆板(Right_Sail_close)");
    print_rec_result(out, r.rec(55), "本体(Self_plat_close)");
    print_line_status(out, r, 64);
}

void print_optical(std::ostream& out, const Record& r)
{
    out << "远距离测距(m): " << r.f32(0) << "\n";
    out << "近距离测距(m) " << r.f32(4) << "\n";
    out << "远距离摆镜水平角（角秒）:" << r.i16(8) << "\n";
    out << "近距离摆镜俯仰角（角秒）:" << r.i16(10) << "\n";
    out << "接收指令计数:" << int(r.u8(12)) << "\n";
    out << "遥测计数:" << int(r.u8(13)) << "\n";
    out << "激光测距有效时间整秒:" << r.u32(14) << "\n";
    out << "激光测距有效时间毫秒: " << r.u16(18) << "\n";
    out << "软件接收指令计数: " << int(r.u8(20)) << "\n";
    out << "接收正确指令计数: " << int(r.u8(21)) << "\n";
    out << "指令下发串口计数: " << int(r.u8(22)) << "\n";
    for (int i = 1; i < 6; ++i) out << kLineStatusLabels[i] << int(r.u8(22 + i)) << "\n";
}

}  // namespace

void print_command_echo(std::ostream& out, const std::string& src, const std::string& dest,
                        const std::string& type, const std::vector<unsigned char>& data)
{
    out << "Command received from " << src << " to " << dest << "\n";
    out << "Type: " << type << "\n";
    out << hex_dump_line(data) << "\n";
}

void print_telemetry(std::ostream& out, const std::string& src, const std::vector<unsigned char>& data)
{
    DeviceSource source = getDeviceSource(src);
    if (source == SOURCE_UNKNOWN) {
        out << "[WARNING] Unknown source device or command data: " << src << "\n";
        out << hex_dump_line(data) << "\n";
        return;
    }
    const Layout& l = layout_of(source);
    if (data.size() < l.expected) {
        print_size_error(out, source, data.size());
        return;
    }
    Record r{data.data()};
    out << l.header << "\n";
    switch (source) {
    case SOURCE_STAR: print_star(out, r); break;
    case SOURCE_GYRO:
    case SOURCE_MEMS: print_axes(out, r); break;
    case SOURCE_FLYWHEEL: print_flywheel(out, r); break;
    case SOURCE_GNSS: print_gnss(out, r); break;
    case SOURCE_VISION: print_vision(out, r); break;
    case SOURCE_OPTICAL: print_optical(out, r); break;
    default: break;
    }
    out << kFooter << "\n";
}

void command_callback(std::string src, std::string dest, std::string type, std::string,
                      std::string, std::vector<unsigned char>& data)
{
    // Formatted whole, then written at once, so an echo never tears a
    // telemetry block apart.
    std::ostringstream text;
    print_command_echo(text, src, dest, type, data);
    std::lock_guard<std::mutex> lock(telemetry_mutex);
    std::cout << text.str() << std::flush;
}

void telemetry_callback(std::string src, std::string, std::string, std::string, std::string,
                        std::vector<unsigned char>& data)
{
    std::lock_guard<std::mutex> lock(telemetry_mutex);
    std::ostringstream text;
    print_telemetry(text, src, data);
    std::cout << text.str() << std::flush;
}

unsigned polling_period_ms()
{
    // A soak run polls faster; the console itself has no options.
    const char* v = std::getenv("CORVANE_POLL_PERIOD_MS");
    if (v == nullptr || *v == '\0') return 1000;
    char* end = nullptr;
    unsigned long ms = std::strtoul(v, &end, 10);
    if (*end != '\0' || ms < 10 || ms > 60000) {
        CorvaneWriteLog(std::string("[WARN] Ignoring CORVANE_POLL_PERIOD_MS=") + v + " (10 to 60000); polling every 1000 ms");
        return 1000;
    }
    return unsigned(ms);
}

std::chrono::steady_clock::time_point next_polling_cycle(std::chrono::steady_clock::time_point due,
                                                         std::chrono::steady_clock::time_point now,
                                                         std::chrono::milliseconds period)
{
    return std::max(due + period, now);
}

void Corvane_run(unsigned long cycles)
{
    Corvane_init(0, servername);
    for (const auto& c : bootstrap_commands()) {
        std::vector<unsigned char> payload = c.payload;
        Corvane_command_Pub(payload.data(), c.dest, static_cast<unsigned short>(payload.size()));
        CorvaneWriteLog("[INFO] Bootstrap command sent to " + c.dest + " (" +
                        std::to_string(payload.size()) + " bytes)");
    }
    const unsigned period_ms = polling_period_ms();
    CorvaneWriteLog("[INFO] Polling " + std::to_string(polling_requests().size()) +
                    " telemetry requests every " + std::to_string(period_ms) + " ms");
    // One cycle a second on a fixed cadence that does not catch up after a
    // stall; a stop request (SIGINT/SIGTERM) is noticed within 100 ms.
    using Clock = std::chrono::steady_clock;
    auto next_cycle = Clock::now();
    for (unsigned long n = 0; running && (cycles == 0 || n < cycles); ++n) {
        for (const auto& r : polling_requests()) {
            std::vector<unsigned char> payload = r.payload;
            Corvane_telemetry_Pub(payload.data(), r.dest, static_cast<unsigned short>(payload.size()));
        }
        next_cycle = next_polling_cycle(next_cycle, Clock::now(), std::chrono::milliseconds(period_ms));
        while (running && Clock::now() < next_cycle) {
            auto left = next_cycle - Clock::now();
            std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(100)));
        }
    }
}

void Corvane_stop()
{
    service_bus_release(Corvane_part);
}
