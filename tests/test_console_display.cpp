// Golden-output checks for the console's display: every telemetry block,
// the size errors, the unknown-source dump, the command echo, the status
// texts and the fixed bootstrap and polling messages.
//
// Payloads are assembled field by field in little-endian order with a
// distinct value at every offset, so a field read from the wrong place,
// printed in the wrong order or with the wrong number format changes the
// text.

#include "Corvane.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Builds a packed little-endian record.
class Record {
public:
    Record& u8(uint8_t v) {
        bytes_.push_back(v);
        return *this;
    }
    Record& u16(uint16_t v) { return le(v, 2); }
    Record& i16(int16_t v) { return le(static_cast<uint16_t>(v), 2); }
    Record& u32(uint32_t v) { return le(v, 4); }
    Record& f32(float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        return le(bits, 4);
    }
    Record& rec(uint8_t valid, float alpha, float beta) { return u8(valid).f32(alpha).f32(beta); }
    const Bytes& bytes() const { return bytes_; }

private:
    Record& le(uint32_t v, int n) {
        for (int i = 0; i < n; ++i) bytes_.push_back(static_cast<unsigned char>(v >> (8 * i)));
        return *this;
    }
    Bytes bytes_;
};

std::string telemetry_text(const std::string& src, const Bytes& data) {
    std::ostringstream out;
    print_telemetry(out, src, data);
    return out.str();
}

const char* const kFooter = "=====================================\n\n";

// ---------------------------------------------------------------------------
// Star sensor

Bytes star_record_41() {
    Record r;
    r.u8(1)              // star type: pico
        .u8(200)         // star number
        .f32(0.5f)       // q0
        .f32(-0.25f)     // q1
        .f32(0.1f)       // q2
        .f32(-2e-13f)    // q3
        .f32(1e8f)       // wx
        .f32(2.50f)      // wy
        .f32(123456.7f)  // wz, rounds to six digits
        .u8(37);         // detected stars
    // The ten trailing bytes of the service record are not displayed.
    for (unsigned char b = 0x41; b <= 0x4A; ++b) r.u8(b);
    return r.bytes();
}

const char* const kStarBlock =
    "\n========== Star Sensor Telemetry ==========\n"
    "类型(0为纳型,1为皮型): 1\n"
    "标号: 200\n"
    "q0: 0.5\n"
    "q1: -0.25\n"
    "q2: 0.1\n"
    "q3: -2e-13\n"
    "wx: 1e+08\n"
    "wy: 2.5\n"
    "wz: 123457\n"
    "Star Number (detected): 37\n";

TEST(ConsoleTelemetryBlock, StarRecordOf41BytesShowsOnlyTheFirst31) {
    const Bytes data = star_record_41();
    ASSERT_EQ(data.size(), 41u);
    EXPECT_EQ(telemetry_text("Star_sensor_Hardware_Service", data),
              std::string(kStarBlock) + kFooter);
}

TEST(ConsoleTelemetryBlock, StarRecordOfExactly31BytesIsAccepted) {
    Bytes data = star_record_41();
    data.resize(31);
    EXPECT_EQ(telemetry_text("Star_sensor_Hardware_Service", data),
              std::string(kStarBlock) + kFooter);
}

// ---------------------------------------------------------------------------
// Gyro and MEMS share one layout under different headers.

TEST(ConsoleTelemetryBlock, Gyro) {
    const Bytes data = Record()
                           .f32(0.1f)     // X
                           .f32(-3.75f)   // Y
                           .f32(1e-6f)    // Z
                           .u8(3)         // serial id
                           .u8(250)       // header errors
                           .u8(17)        // checksum errors
                           .u8(4)         // length errors
                           .u8(129)       // line resets
                           .u8(1)         // reset enable
                           .bytes();
    ASSERT_EQ(data.size(), 18u);
    EXPECT_EQ(telemetry_text("Gyro_Hardware_Service", data),
              "\n========== Gyroscope Telemetry ==========\n"
              "X-axis: 0.1\n"
              "Y-axis: -3.75\n"
              "Z-axis: 1e-06\n"
              "串口标识: 3\n"
              "帧头错误累计: 250\n"
              "校验错误累计: 17\n"
              "长度错误累计: 4\n"
              "串口复位累计: 129\n"
              "串口复位使能状态: 1\n" +
                  std::string(kFooter));
}

TEST(ConsoleTelemetryBlock, Mems) {
    const Bytes data = Record()
                           .f32(200.0f)
                           .f32(-2e-13f)
                           .f32(65536.0f)
                           .u8(2)
                           .u8(11)
                           .u8(222)
                           .u8(33)
                           .u8(44)
                           .u8(0)
                           .u8(0x99)  // beyond the layout: ignored
                           .bytes();
    EXPECT_EQ(telemetry_text("Mems_Hardware_Service", data),
              "\n========== MEMS Telemetry ==========\n"
              "X-axis: 200\n"
              "Y-axis: -2e-13\n"
              "Z-axis: 65536\n"
              "串口标识: 2\n"
              "帧头错误累计: 11\n"
              "校验错误累计: 222\n"
              "长度错误累计: 33\n"
              "串口复位累计: 44\n"
              "串口复位使能状态: 0\n" +
                  std::string(kFooter));
}

// ---------------------------------------------------------------------------

TEST(ConsoleTelemetryBlock, Flywheel) {
    const Bytes data = Record()
                           .u8(3)           // wheel
                           .f32(1500.5f)    // speed
                           .f32(0.75f)      // current
                           .f32(-0.0125f)   // torque
                           .bytes();
    ASSERT_EQ(data.size(), 13u);
    EXPECT_EQ(telemetry_text("Flywheel_Hardware_Service", data),
              "\n========== FLYWHEEL Telemetry ==========\n"
              "飞轮ID: 3\n"
              "转速: 1500.5\n"
              "电流: 0.75\n"
              "加速度矩: -0.0125\n" +
                  std::string(kFooter));
}

TEST(ConsoleTelemetryBlock, Gnss) {
    const Bytes data = Record()
                           .u32(4000000000u)  // UTC: above INT32_MAX
                           .f32(6.5e6f)
                           .f32(-1234.5f)
                           .f32(0.001f)
                           .f32(7.5f)
                           .f32(-0.5f)
                           .f32(1e8f)
                           .u8(1)    // position
                           .u8(2)    // orbit
                           .u8(3)    // solution
                           .u8(254)  // work
                           .u8(1)    // data valid
                           .bytes();
    ASSERT_EQ(data.size(), 33u);
    EXPECT_EQ(telemetry_text("Gnss_Hardware_Service", data),
              "\n========== GNSS Telemetry ==========\n"
              "UTC时间: 4000000000 秒\n"
              "X轴位置: 6.5e+06 米\n"
              "Y轴位置: -1234.5 米\n"
              "Z轴位置: 0.001 米\n"
              "X轴速度: 7.5 米/秒\n"
              "Y轴速度: -0.5 米/秒\n"
              "Z轴速度: 1e+08 米/秒\n"
              "定位状态: 1\n"
              "定轨状态: 2\n"
              "解算状态: 3\n"
              "工作状态: 254\n"
              "数据有效标志: 1 (1有效，0无效)\n" +
                  std::string(kFooter));
}

TEST(ConsoleTelemetryBlock, VisionWithRecognitionResults) {
    const Bytes data = Record()
                           .u8(3)        // far sight flag
                           .u8(1)        // close sight flag
                           .f32(152.25f) // far distance
                           .f32(2.5f)    // close distance
                           .rec(3, 1.25f, -2.5f)       // left far
                           .rec(2, 10.5f, -20.75f)     // right far
                           .rec(1, 0.1f, 45.0f)        // self far
                           .rec(0, -2e-13f, 1e8f)      // left close
                           .rec(5, 3.5f, -7.0f)        // right close
                           .rec(3, 90.0f, -180.0f)     // self close
                           .u8(4)        // serial id
                           .u8(201)      // header errors
                           .u8(20)       // checksum errors
                           .u8(30)       // length errors
                           .u8(40)       // line resets
                           .u8(1)        // reset enable
                           .bytes();
    ASSERT_EQ(data.size(), 70u);
    EXPECT_EQ(telemetry_text("Vision_Hardware_Service", data),
              "\n========== VISION Telemetry ==========\n"
              "远距相机视线标志(line_of_sight_flag_far): 3 -> 可靠 (0b11)\n"
              "近距相机视线标志(line_of_sight_flag_close): 1 -> 部分可靠 (0b01)\n"
              "远距相机视线距离(Line_Distance_far): 152.25 米\n"
              "近距相机视线距离(Line_Distance_close): 2.5 米\n"
              "\n【远距相机识别结果】\n"
              "  左帆板(Left_Sail_far):\n"
              "    recog_Valid(识别结果): 3 -> 有效 (0b11)\n"
              "    recog_Alpha(俯仰角α1): 1.25 度\n"
              "    recog_Beta(方位角β1): -2.5 度\n"
              "  右帆板(Right_Sail_far):\n"
              "    recog_Valid(识别结果): 2 -> 部分有效 (0b10)\n"
              "    recog_Alpha(俯仰角α1): 10.5 度\n"
              "    recog_Beta(方位角β1): -20.75 度\n"
              "  本体(Self_plat_far):\n"
              "    recog_Valid(识别结果): 1 -> 部分有效 (0b01)\n"
              "    recog_Alpha(俯仰角α1): 0.1 度\n"
              "    recog_Beta(方位角β1): 45 度\n"
              "\n【近距相机识别结果】\n"
              "  左帆板(Left_Sail_close):\n"
              "    recog_Valid(识别结果): 0 -> 无效 (0b00)\n"
              "    recog_Alpha(俯仰角α1): -2e-13 度\n"
              "    recog_Beta(方位角β1): 1e+08 度\n"
              "  右帆板(Right_Sail_close):\n"
              "    recog_Valid(识别结果): 5 -> 未知状态 (5)\n"
              "    recog_Alpha(俯仰角α1): 3.5 度\n"
              "    recog_Beta(方位角β1): -7 度\n"
              "  本体(Self_plat_close):\n"
              "    recog_Valid(识别结果): 3 -> 有效 (0b11)\n"
              "    recog_Alpha(俯仰角α1): 90 度\n"
              "    recog_Beta(方位角β1): -180 度\n"
              "串口标识: 4\n"
              "帧头错误累计: 201\n"
              "校验错误累计: 20\n"
              "长度错误累计: 30\n"
              "串口复位累计: 40\n"
              "串口复位使能状态: 1\n" +
                  std::string(kFooter));
}

TEST(ConsoleTelemetryBlock, OpticalSignedAnglesAndIrregularColons) {
    const Bytes data = Record()
                           .f32(1234.5f)       // far range
                           .f32(12.75f)        // near range
                           .i16(-12345)        // far mirror horizontal angle
                           .i16(-300)          // near mirror pitch angle
                           .u8(7)              // received commands
                           .u8(250)            // telemetry count
                           .u32(3000000000u)   // laser valid time, seconds
                           .u16(65000)         // laser valid time, milliseconds
                           .u8(21)             // software received commands
                           .u8(22)             // correct commands
                           .u8(23)             // commands sent on the line
                           .u8(31)             // header errors
                           .u8(131)            // checksum errors
                           .u8(33)             // length errors
                           .u8(34)             // line resets
                           .u8(0)              // reset enable
                           .bytes();
    ASSERT_EQ(data.size(), 28u);
    EXPECT_EQ(telemetry_text("Optical_Hardware_Service", data),
              "\n========== OPTICAL Telemetry ==========\n"
              "远距离测距(m): 1234.5\n"
              "近距离测距(m) 12.75\n"
              "远距离摆镜水平角（角秒）:-12345\n"
              "近距离摆镜俯仰角（角秒）:-300\n"
              "接收指令计数:7\n"
              "遥测计数:250\n"
              "激光测距有效时间整秒:3000000000\n"
              "激光测距有效时间毫秒: 65000\n"
              "软件接收指令计数: 21\n"
              "接收正确指令计数: 22\n"
              "指令下发串口计数: 23\n"
              "帧头错误累计: 31\n"
              "校验错误累计: 131\n"
              "长度错误累计: 33\n"
              "串口复位累计: 34\n"
              "串口复位使能状态: 0\n" +
                  std::string(kFooter));
}

// ---------------------------------------------------------------------------
// Size errors: one line, nothing of the block.

TEST(ConsoleTelemetrySizeError, OneLinePerKindWhenPayloadIsShort) {
    struct Case {
        const char* src;
        size_t size;
        const char* expected;
    };
    const Case cases[] = {
        {"Star_sensor_Hardware_Service", 30,
         "[ERROR] Star sensor data size mismatch. Expected: 31, Received: 30\n"},
        {"Star_sensor_Hardware_Service", 0,
         "[ERROR] Star sensor data size mismatch. Expected: 31, Received: 0\n"},
        {"Gyro_Hardware_Service", 12,
         "[ERROR] Gyro data size mismatch. Expected: 18, Received: 12\n"},
        {"Mems_Hardware_Service", 17,
         "[ERROR] MEMS data size mismatch. Expected: 18, Received: 17\n"},
        {"Flywheel_Hardware_Service", 12,
         "[ERROR] FLYWHEEL data size mismatch. Expected: 13, Received: 12\n"},
        {"Gnss_Hardware_Service", 32,
         "[ERROR] GNSS data size mismatch. Expected: 33, Received: 32\n"},
        {"Optical_Hardware_Service", 20,
         "[ERROR] OPTICAL data size mismatch. Expected: 28, Received: 20\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.src) + " with " + std::to_string(c.size) + " bytes");
        EXPECT_EQ(telemetry_text(c.src, Bytes(c.size, 0x5A)), c.expected);
    }
}

TEST(ConsoleTelemetrySizeError, VisionExplainsTheRecordLayout) {
    const std::string layout =
        "RecResult结构体大小: 9 字节\n"
        "成员变量分布:\n"
        "  recog_Valid (uint8_t): 1 字节\n"
        "  recog_Alpha (float): 4 字节\n"
        "  recog_Beta (float): 4 字节\n"
        "  总大小: 1 + 4 + 4 = 9 字节 (因字节对齐可能为12字节)\n";
    EXPECT_EQ(telemetry_text("Vision_Hardware_Service", Bytes(64, 0x01)),
              "[ERROR] VISION data size mismatch. Expected: 70 字节, Received: 64 字节\n" + layout);
    EXPECT_EQ(telemetry_text("Vision_Hardware_Service", Bytes(69, 0x01)),
              "[ERROR] VISION data size mismatch. Expected: 70 字节, Received: 69 字节\n" + layout);
}

// ---------------------------------------------------------------------------
// Unknown sources are dumped in hexadecimal.

TEST(ConsoleUnknownSource, WarningAndHexDump) {
    EXPECT_EQ(telemetry_text("Mag_Service", {0x0A, 0xFF, 0x00, 0x10, 0xAB, 0x07}),
              "[WARNING] Unknown source device or command data: Mag_Service\n"
              "Data (6 bytes): A, FF, 0, 10, AB, 7\n");
}

TEST(ConsoleUnknownSource, EmptyPayload) {
    EXPECT_EQ(telemetry_text("Mag_Service", {}),
              "[WARNING] Unknown source device or command data: Mag_Service\n"
              "Data (0 bytes): \n");
}

TEST(ConsoleUnknownSource, NameMustMatchExactly) {
    // A near miss of a known name is not decoded, even with a full record.
    EXPECT_EQ(telemetry_text("gyro_hardware_service", Bytes(18, 0x01)),
              "[WARNING] Unknown source device or command data: gyro_hardware_service\n"
              "Data (18 bytes): 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1\n");
}

// ---------------------------------------------------------------------------
// The hexadecimal output must not leak into what is printed afterwards.

Bytes gyro_with_small_z() {
    return Record().f32(1.5f).f32(-2.0f).f32(1e-6f).u8(10).u8(11).u8(12).u8(13).u8(14).u8(15).bytes();
}

const char* const kGyroSmallZ =
    "\n========== Gyroscope Telemetry ==========\n"
    "X-axis: 1.5\n"
    "Y-axis: -2\n"
    "Z-axis: 1e-06\n"
    "串口标识: 10\n"
    "帧头错误累计: 11\n"
    "校验错误累计: 12\n"
    "长度错误累计: 13\n"
    "串口复位累计: 14\n"
    "串口复位使能状态: 15\n"
    "=====================================\n\n";

TEST(ConsoleStreamState, BlockAfterHexDumpIsDecimalWithLowercaseExponent) {
    std::ostringstream out;
    const auto flags_before = out.flags();
    print_telemetry(out, "Mag_Service", {0xAB, 0x0C});
    EXPECT_EQ(out.flags(), flags_before);
    print_telemetry(out, "Gyro_Hardware_Service", gyro_with_small_z());
    EXPECT_EQ(out.str(),
              "[WARNING] Unknown source device or command data: Mag_Service\n"
              "Data (2 bytes): AB, C\n" +
                  std::string(kGyroSmallZ));
}

TEST(ConsoleStreamState, BlockAfterCommandEchoIsDecimalWithLowercaseExponent) {
    std::ostringstream out;
    const auto flags_before = out.flags();
    print_command_echo(out, "Mag_Service", "Gnc_Service", "command", {0xEF});
    EXPECT_EQ(out.flags(), flags_before);
    print_telemetry(out, "Gyro_Hardware_Service", gyro_with_small_z());
    EXPECT_EQ(out.str(),
              "Command received from Mag_Service to Gnc_Service\n"
              "Type: command\n"
              "Data (1 bytes): EF\n" +
                  std::string(kGyroSmallZ));
}

// ---------------------------------------------------------------------------
// Command echo

TEST(ConsoleCommandEcho, ThreeLinesWithUnpaddedUppercaseHex) {
    std::ostringstream out;
    print_command_echo(out, "Vision_Hardware_Service", "Gnc_Service", "telemetry",
                       {0x0A, 0xFF, 0x00, 0x1F});
    EXPECT_EQ(out.str(),
              "Command received from Vision_Hardware_Service to Gnc_Service\n"
              "Type: telemetry\n"
              "Data (4 bytes): A, FF, 0, 1F\n");
}

TEST(ConsoleCommandEcho, EmptyPayloadEndsAfterTheColon) {
    std::ostringstream out;
    print_command_echo(out, "Flywheel_Hardware_Service", "Gnc_Service", "command", {});
    EXPECT_EQ(out.str(),
              "Command received from Flywheel_Hardware_Service to Gnc_Service\n"
              "Type: command\n"
              "Data (0 bytes): \n");
}

TEST(ConsoleCommandEcho, ByteCountIsDecimal) {
    // 16 bytes: the count must not come out as "10".
    Bytes data(16, 0x00);
    data[15] = 0x0A;
    std::ostringstream out;
    print_command_echo(out, "a", "b", "c", data);
    EXPECT_EQ(out.str(),
              "Command received from a to b\n"
              "Type: c\n"
              "Data (16 bytes): 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, A\n");
}

// ---------------------------------------------------------------------------
// Status texts and recognition results

TEST(ConsoleStatusText, RecognitionValidity) {
    EXPECT_EQ(recogValidToString(0), "无效 (0b00)");
    EXPECT_EQ(recogValidToString(1), "部分有效 (0b01)");
    EXPECT_EQ(recogValidToString(2), "部分有效 (0b10)");
    EXPECT_EQ(recogValidToString(3), "有效 (0b11)");
    EXPECT_EQ(recogValidToString(5), "未知状态 (5)");
    EXPECT_EQ(recogValidToString(255), "未知状态 (255)");
}

TEST(ConsoleStatusText, SightFlag) {
    EXPECT_EQ(sightFlagToString(0), "不可靠 (0b00)");
    EXPECT_EQ(sightFlagToString(1), "部分可靠 (0b01)");
    EXPECT_EQ(sightFlagToString(2), "部分可靠 (0b10)");
    EXPECT_EQ(sightFlagToString(3), "可靠 (0b11)");
    EXPECT_EQ(sightFlagToString(5), "未知状态 (5)");
    EXPECT_EQ(sightFlagToString(200), "未知状态 (200)");
}

TEST(ConsoleRecResult, FourLinesWithNameAndDegrees) {
    std::ostringstream out;
    print_rec_result(out, RecResult{2, -0.5f, 1e-6f}, "测试(Name)");
    EXPECT_EQ(out.str(),
              "  测试(Name):\n"
              "    recog_Valid(识别结果): 2 -> 部分有效 (0b10)\n"
              "    recog_Alpha(俯仰角α1): -0.5 度\n"
              "    recog_Beta(方位角β1): 1e-06 度\n");
}

// ---------------------------------------------------------------------------
// Source names

TEST(ConsoleSourceMap, KnownNamesAndUnknown) {
    EXPECT_EQ(getDeviceSource("Star_sensor_Hardware_Service"), SOURCE_STAR);
    EXPECT_EQ(getDeviceSource("Gyro_Hardware_Service"), SOURCE_GYRO);
    EXPECT_EQ(getDeviceSource("Mems_Hardware_Service"), SOURCE_MEMS);
    EXPECT_EQ(getDeviceSource("Flywheel_Hardware_Service"), SOURCE_FLYWHEEL);
    EXPECT_EQ(getDeviceSource("Gnss_Hardware_Service"), SOURCE_GNSS);
    EXPECT_EQ(getDeviceSource("Vision_Hardware_Service"), SOURCE_VISION);
    EXPECT_EQ(getDeviceSource("Optical_Hardware_Service"), SOURCE_OPTICAL);

    EXPECT_EQ(getDeviceSource("Mag_Service"), SOURCE_UNKNOWN);
    EXPECT_EQ(getDeviceSource("Gnc_Service"), SOURCE_UNKNOWN);
    EXPECT_EQ(getDeviceSource(""), SOURCE_UNKNOWN);
    EXPECT_EQ(getDeviceSource("Star_sensor_Hardware_Service "), SOURCE_UNKNOWN);
    EXPECT_EQ(sourceMap.size(), 7u);
}

// ---------------------------------------------------------------------------
// Fixed messages

void expect_messages(const std::vector<ConsoleMessage>& got, const std::vector<ConsoleMessage>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("message #" + std::to_string(i + 1));
        EXPECT_EQ(got[i].dest, want[i].dest);
        EXPECT_EQ(got[i].payload, want[i].payload);
    }
}

TEST(ConsoleFixedMessages, BootstrapCommandsInOrder) {
    expect_messages(bootstrap_commands(),
                    {
                        {"Flywheel_Hardware_Service", {0x01, 0x00, 0x00, 0x00, 0x48, 0x43, 0x00, 0x00, 0xC0, 0x3F}},
                        {"Flywheel_Hardware_Service", {0x02, 0x00, 0x00, 0x00, 0xC8, 0x43, 0x00, 0x00, 0xC0, 0x3F}},
                        {"Flywheel_Hardware_Service", {0x03, 0x00, 0x00, 0x00, 0x16, 0x44, 0x00, 0x00, 0xC0, 0x3F}},
                        {"Optical_Hardware_Service", {0x00, 0x01, 0x00}},
                        {"Vision_Hardware_Service", {0x00}},
                        {"Mems_Hardware_Service", {0x00}},
                    });
}

TEST(ConsoleFixedMessages, TenPollingRequestsInOrder) {
    expect_messages(polling_requests(),
                    {
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
                    });
}

}  // namespace

TEST(ConsolePollingPeriod, DefaultAndSoakSetting)
{
    const struct {
        const char* value;  // nullptr: unset
        unsigned ms;
        bool warns;
    } cases[] = {
        {nullptr, 1000, false}, {"", 1000, false},   {"100", 100, false}, {"10", 10, false},
        {"60000", 60000, false}, {"9", 1000, true},  {"60001", 1000, true}, {"fast", 1000, true},
        {"100ms", 1000, true},   {"-5", 1000, true},
    };
    for (const auto& c : cases) {
        if (c.value) {
            setenv("CORVANE_POLL_PERIOD_MS", c.value, 1);
        } else {
            unsetenv("CORVANE_POLL_PERIOD_MS");
        }
        testing::internal::CaptureStdout();
        EXPECT_EQ(polling_period_ms(), c.ms) << (c.value ? c.value : "(unset)");
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.find("[WARN] Ignoring CORVANE_POLL_PERIOD_MS=") != std::string::npos, c.warns)
            << (c.value ? c.value : "(unset)") << ": " << out;
    }
    unsetenv("CORVANE_POLL_PERIOD_MS");
}

TEST(ConsolePolling, CyclesKeepTheirCadenceAndDoNotCatchUpAfterAStall)
{
    using std::chrono::milliseconds;
    const auto t0 = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    // On time, or a little late: the next cycle stays on the cadence.
    EXPECT_EQ(next_polling_cycle(t0, t0 + milliseconds(3), milliseconds(1000)), t0 + milliseconds(1000));
    EXPECT_EQ(next_polling_cycle(t0, t0 + milliseconds(999), milliseconds(1000)), t0 + milliseconds(1000));
    // A cycle that took 3.5 periods: one more cycle at once, then the
    // cadence goes on from there instead of three cycles back to back.
    const auto late = t0 + milliseconds(3500);
    const auto next = next_polling_cycle(t0, late, milliseconds(1000));
    EXPECT_EQ(next, late);
    EXPECT_EQ(next_polling_cycle(next, late + milliseconds(2), milliseconds(1000)), late + milliseconds(1000));
}

// Log lines from the bus (another thread) and telemetry blocks go to the
// same standard output: each arrives whole, never one inside the other.
TEST(ConsoleOutput, LogLinesNeverLandInsideABlock)
{
    Bytes gyro(18, 0x11);
    std::ostringstream one_block;
    print_telemetry(one_block, "Gyro_Hardware_Service", gyro);
    const std::string block = one_block.str();
    const std::string log = "[WARN] DDS test: a line from another thread\n";
    const int rounds = 300;

    testing::internal::CaptureStdout();
    std::thread logger([&] {
        for (int i = 0; i < rounds; ++i) CorvaneWriteLog(log.substr(0, log.size() - 1));
    });
    for (int i = 0; i < rounds; ++i) {
        Bytes data = gyro;
        telemetry_callback("Gyro_Hardware_Service", "Gnc_Service", "telemetry", "", "", data);
    }
    logger.join();
    const std::string out = testing::internal::GetCapturedStdout();

    int blocks = 0, logs = 0;
    for (std::size_t at = 0; at < out.size();) {
        if (out.compare(at, block.size(), block) == 0) {
            ++blocks;
            at += block.size();
        } else if (out.compare(at, log.size(), log) == 0) {
            ++logs;
            at += log.size();
        } else {
            FAIL() << "torn output at byte " << at << ": " << out.substr(at, 120);
        }
    }
    EXPECT_EQ(blocks, rounds);
    EXPECT_EQ(logs, rounds);
}
