#include "Corvane.h"

#include "service_skeleton.h"
#include "telemetry_records.h"

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
    // Nano sensors 1 and 2, wheels 1 to 3, then one request per service.
    static const std::vector<ConsoleMessage> requests = [] {
        std::vector<ConsoleMessage> v;
        for (const char* device :
             {"nano1", "nano2", "wheel1", "wheel2", "wheel3", "gyro", "gnss", "vision", "mems", "optical"}) {
            auto a = telemetry::device_address(device);
            v.push_back({a->service, a->request});
        }
        return v;
    }();
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

const char* const kFooter = "=====================================\n";

// How the console shows one field of a record.
enum class Show {
    Value,      // label, value, suffix
    SightFlag,  // label, value, " -> ", its reliability text
    Result,     // a recognition result: fields <key>_valid, _alpha, _beta
};

struct Line {
    const char* key;
    const char* label;
    const char* suffix = "";
    Show show = Show::Value;
    const char* heading = nullptr;  // a line printed before this one
};

// The console's block for one device kind. Fields a record carries but the
// console does not list (the star sensor's line counts) are not shown.
struct Presentation {
    const char* header;
    const char* size_error;
    std::vector<Line> lines;
};

const std::vector<Line> kLineStatus = {
    {"line_id", "串口标识: "},           {"header_errors", "帧头错误累计: "},
    {"check_errors", "校验错误累计: "},  {"length_errors", "长度错误累计: "},
    {"resets", "串口复位累计: "},        {"reset_enabled", "串口复位使能状态: "},
};

std::vector<Line> rate_lines()
{
    std::vector<Line> lines = {{"x", "X-axis: "}, {"y", "Y-axis: "}, {"z", "Z-axis: "}};
    lines.insert(lines.end(), kLineStatus.begin(), kLineStatus.end());
    return lines;
}

const Presentation& presentation(telemetry::Kind kind)
{
    using telemetry::Kind;
    static const Presentation star = {
        "\n========== Star Sensor Telemetry ==========",
        "[ERROR] Star sensor data size mismatch. Expected: ",
        {{"type", "类型(0为纳型,1为皮型): "},
         {"number", "标号: "},
         {"q0", "q0: "},
         {"q1", "q1: "},
         {"q2", "q2: "},
         {"q3", "q3: "},
         {"wx", "wx: "},
         {"wy", "wy: "},
         {"wz", "wz: "},
         {"detected_stars", "Star Number (detected): "}}};
    static const Presentation gyro = {"\n========== Gyroscope Telemetry ==========",
                                      "[ERROR] Gyro data size mismatch. Expected: ", rate_lines()};
    static const Presentation mems = {"\n========== MEMS Telemetry ==========",
                                      "[ERROR] MEMS data size mismatch. Expected: ", rate_lines()};
    static const Presentation wheel = {
        "\n========== FLYWHEEL Telemetry ==========",
        "[ERROR] FLYWHEEL data size mismatch. Expected: ",
        {{"wheel_id", "飞轮ID: "}, {"speed", "转速: "}, {"current", "电流: "}, {"torque", "加速度矩: "}}};
    static const Presentation gnss = {"\n========== GNSS Telemetry ==========",
                                      "[ERROR] GNSS data size mismatch. Expected: ",
                                      {{"utc_time", "UTC时间: ", " 秒"},
                                       {"pos_x", "X轴位置: ", " 米"},
                                       {"pos_y", "Y轴位置: ", " 米"},
                                       {"pos_z", "Z轴位置: ", " 米"},
                                       {"vel_x", "X轴速度: ", " 米/秒"},
                                       {"vel_y", "Y轴速度: ", " 米/秒"},
                                       {"vel_z", "Z轴速度: ", " 米/秒"},
                                       {"position_status", "定位状态: "},
                                       {"orbit_status", "定轨状态: "},
                                       {"solution_status", "解算状态: "},
                                       {"work_status", "工作状态: "},
                                       {"data_valid", "数据有效标志: ", " (1有效，0无效)"}}};
    static const Presentation vision = [] {
        Presentation p = {
            "\n========== VISION Telemetry ==========",
            "[ERROR] VISION data size mismatch. Expected: ",
            {{"line_of_sight_flag_far", "远距相机视线标志(line_of_sight_flag_far): ", "", Show::SightFlag},
             {"line_of_sight_flag_close", "近距相机视线标志(line_of_sight_flag_close): ", "", Show::SightFlag},
             {"line_distance_far", "远距相机视线距离(Line_Distance_far): ", " 米"},
             {"line_distance_close", "近距相机视线距离(Line_Distance_close): ", " 米"},
             {"left_sail_far", "左帆板(Left_Sail_far)", "", Show::Result, "\n【远距相机识别结果】"},
             {"right_sail_far", "右帆板(Right_Sail_far)", "", Show::Result},
             {"self_plat_far", "本体(Self_plat_far)", "", Show::Result},
             {"left_sail_close", "左帆板(Left_Sail_close)", "", Show::Result, "\n【近距相机识别结果】"},
             {"right_sail_close", "右帆板(Right_Sail_close)", "", Show::Result},
             {"self_plat_close", "本体(Self_plat_close)", "", Show::Result}}};
        p.lines.insert(p.lines.end(), kLineStatus.begin(), kLineStatus.end());
        return p;
    }();
    static const Presentation optical = {"\n========== OPTICAL Telemetry ==========",
                                         "[ERROR] OPTICAL data size mismatch. Expected: ",
                                         {{"far_range", "远距离测距(m): "},
                                          {"near_range", "近距离测距(m) "},
                                          {"far_mirror_azimuth", "远距离摆镜水平角（角秒）:"},
                                          {"near_mirror_pitch", "近距离摆镜俯仰角（角秒）:"},
                                          {"cmd_recv_count", "接收指令计数:"},
                                          {"tlm_count", "遥测计数:"},
                                          {"ranging_time_sec", "激光测距有效时间整秒:"},
                                          {"ranging_time_ms", "激光测距有效时间毫秒: "},
                                          {"service_cmd_received", "软件接收指令计数: "},
                                          {"service_cmd_accepted", "接收正确指令计数: "},
                                          {"service_cmd_written", "指令下发串口计数: "},
                                          {"header_errors", "帧头错误累计: "},
                                          {"check_errors", "校验错误累计: "},
                                          {"length_errors", "长度错误累计: "},
                                          {"resets", "串口复位累计: "},
                                          {"reset_enabled", "串口复位使能状态: "}}};
    switch (kind) {
    case Kind::Star: return star;
    case Kind::Gyro: return gyro;
    case Kind::Mems: return mems;
    case Kind::Wheel: return wheel;
    case Kind::Gnss: return gnss;
    case Kind::Vision: return vision;
    case Kind::Optical: return optical;
    }
    return gyro;
}

void print_size_error(std::ostream& out, telemetry::Kind kind, std::size_t expected, std::size_t received)
{
    const char* text = presentation(kind).size_error;
    if (kind == telemetry::Kind::Vision) {
        out << text << expected << " 字节, Received: " << received << " 字节\n";
        out << "RecResult结构体大小: " << sizeof(RecResult) << " 字节\n";
        out << "成员变量分布:\n";
        out << "  recog_Valid (uint8_t): 1 字节\n";
        out << "  recog_Alpha (float): 4 字节\n";
        out << "  recog_Beta (float): 4 字节\n";
        out << "  总大小: 1 + 4 + 4 = 9 字节 (因字节对齐可能为12字节)\n";
        return;
    }
    out << text << expected << ", Received: " << received << "\n";
}

// A field as the console prints it: whole numbers in decimal (never as a
// character), floats in the stream's default format, as the single-precision
// values they were sent as.
void print_value(std::ostream& out, const telemetry::Record& r, const std::string& key)
{
    const telemetry::Field* f = r.field(key);
    if (f == nullptr) return;
    if (f->integer) {
        out << static_cast<long long>(f->value);
    } else {
        out << static_cast<float>(f->value);
    }
}

void print_record(std::ostream& out, const telemetry::Record& r)
{
    for (const Line& l : presentation(r.kind).lines) {
        if (l.heading != nullptr) out << l.heading << "\n";
        const std::string key = l.key;
        switch (l.show) {
        case Show::Value:
            out << l.label;
            print_value(out, r, key);
            out << l.suffix << "\n";
            break;
        case Show::SightFlag: {
            out << l.label;
            print_value(out, r, key);
            out << " -> " << sightFlagToString(static_cast<unsigned char>(r.value(key).value_or(0))) << "\n";
            break;
        }
        case Show::Result: {
            RecResult result{static_cast<uint8_t>(r.value(key + "_valid").value_or(0)),
                             static_cast<float>(r.value(key + "_alpha").value_or(0)),
                             static_cast<float>(r.value(key + "_beta").value_or(0))};
            print_rec_result(out, result, l.label);
            break;
        }
        }
    }
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
    const telemetry::Decoded d = telemetry::decode(src, data);
    switch (d.error) {
    case telemetry::DecodeError::UnknownSource:
        out << "[WARNING] Unknown source device or command data: " << src << "\n";
        out << hex_dump_line(data) << "\n";
        return;
    case telemetry::DecodeError::TooShort: print_size_error(out, d.record.kind, d.expected, data.size()); return;
    case telemetry::DecodeError::None: break;
    }
    out << presentation(d.record.kind).header << "\n";
    print_record(out, d.record);
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
