// The MEMS service: its decoding, calibration, exchange differences from the
// gyro and its configuration fallback.
#include "Quimbrel.h"
#include "rate/rate_answers.h"
#include "support/memory_line.h"
#include "support/pty_pair.h"
#include "support/scripted_device.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>

namespace {

class MemsLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset();
        testing::internal::CaptureStdout();
        ASSERT_EQ(mems_uart_init(pty.path(), 115200), 0);
        testing::internal::GetCapturedStdout();
    }
    void TearDown() override { reset(); }
    static void reset()
    {
        serial_line_close(mems_device.fd);
        mems_device = Mems_Device{};
    }
    int exchange(MEMS_Info_Frame& info, MEMS_Serial_Frame& status, uint8_t* raw)
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = read_mems_data(&info, &status, raw);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return rc;
    }
    PtyPair pty;
    std::string out, err;
};

std::vector<uint8_t> good_answer() { return rate_answer(44, {319198, 0, -1000}, {1024, 1024, 1024}); }

}  // namespace

TEST_F(MemsLine, SetUpLoadsTheCalibration)
{
    EXPECT_EQ(mems_device.mems_K[0], 319198.1f);
    EXPECT_EQ(mems_device.mems_K[1], 319182.2f);
    EXPECT_EQ(mems_device.mems_K[2], 319335.1f);
    EXPECT_EQ(mems_device.mems_w0[0], 1.465294f);
    EXPECT_EQ(mems_device.mems_w0[1], 2.140157f);
    EXPECT_EQ(mems_device.mems_w0[2], 1.470876f);
    Mems_Device fresh;
    EXPECT_EQ(fresh.mems_K[0], 0.0f) << "zero before the first set-up";
}

TEST_F(MemsLine, WorkedExamplesAndZeroIntegralTime)
{
    MEMS_Info_Frame info{};
    auto a = good_answer();
    ASSERT_EQ(mems_data_extraction(a.data(), &info), 0);
    EXPECT_NEAR(info.x_axis, 0.99959, 1e-5);
    EXPECT_NEAR(info.y_axis, -2.140157 / 3600, 1e-9);
    a = rate_answer(44, {0, 100, 100}, {1024, 0, 1});
    ASSERT_EQ(mems_data_extraction(a.data(), &info), 0);
    EXPECT_NEAR(info.x_axis, -0.000407, 1e-6);
    // An integral time of zero counts as one.
    EXPECT_EQ(info.y_axis, (1024.0f * 100.0f) / (319182.2f * 1.0f) - 2.140157f / 3600.0f);
    EXPECT_EQ(info.z_axis, (1024.0f * 100.0f) / (319335.1f * 1.0f) - 1.470876f / 3600.0f);
    EXPECT_EQ(mems_24bit_to_int32(&a[1]), 0);
    EXPECT_EQ(mems_be16_to_host(0x04, 0x00), 1024);
}

TEST_F(MemsLine, GoodExchange)
{
    ScriptedDevice device(pty.master(), 2);
    device.push_answer(good_answer());
    MEMS_Info_Frame info{};
    MEMS_Serial_Frame status{};
    uint8_t raw[44];
    ASSERT_EQ(exchange(info, status, raw), 0) << err;
    EXPECT_NEAR(info.x_axis, 0.99959, 1e-5);
    EXPECT_EQ(std::vector<uint8_t>(raw, raw + 44), good_answer());
    EXPECT_NE(out.find("[INFO] MEMS读取成功，连续失败计数清零\n"), std::string::npos);
    EXPECT_EQ(device.requests(), std::vector<std::vector<uint8_t>>({{0x55, 0x68}}));
}

TEST_F(MemsLine, RejectedAnswersNeverReachRaw)
{
    auto bad_sum = good_answer();
    bad_sum[43] = uint8_t(bad_sum[43] + 1);
    auto short_answer = good_answer();
    short_answer.resize(20);
    auto bad_header = good_answer();
    bad_header[0] = 0x98;
    ScriptedDevice device(pty.master(), 2);
    device.push_answer(bad_sum);
    device.push_answer(short_answer);
    device.push_answer(bad_header);

    MEMS_Info_Frame info{};
    MEMS_Serial_Frame status{};
    uint8_t raw[44];
    EXPECT_EQ(exchange(info, status, raw), -9);
    char expected[96];
    std::snprintf(expected, sizeof expected, "[ERROR] MEMS checksum error: calc=0x%02X, recv=0x%02X\n",
                  unsigned(uint8_t(bad_sum[43] - 1)), unsigned(bad_sum[43]));
    EXPECT_EQ(err, std::string(expected) + "[ERROR] MEMS校验和错误\n");
    EXPECT_EQ(std::vector<uint8_t>(raw, raw + 44), std::vector<uint8_t>(44, 0));
    EXPECT_EQ(status.check_err_cnt, 1);

    EXPECT_EQ(exchange(info, status, raw), -10);
    EXPECT_NE(err.find("[ERROR] MEMS超时 ("), std::string::npos) << err;
    EXPECT_NE(err.find("收到20/44字节"), std::string::npos) << err;
    EXPECT_EQ(std::vector<uint8_t>(raw, raw + 44), std::vector<uint8_t>(44, 0)) << "no partial answer in raw";
    EXPECT_EQ(status.length_err_cnt, 1);

    EXPECT_EQ(exchange(info, status, raw), -5);
    EXPECT_EQ(err, "[ERROR] MEMS帧头错误: 0x98\n");
    EXPECT_EQ(status.head_err_cnt, 1);
    EXPECT_EQ(mems_device.consecutive_fail_cnt, 3);
}

TEST_F(MemsLine, ClosedLineAndFailedWrite)
{
    MEMS_Info_Frame info{};
    MEMS_Serial_Frame status{};
    uint8_t raw[44];
    int fd = mems_device.fd;
    mems_device.fd = ::open(pty.path().c_str(), O_RDONLY | O_NOCTTY);
    EXPECT_EQ(exchange(info, status, raw), -2);
    EXPECT_NE(err.find("[ERROR] Send MEMS cmd failed: "), std::string::npos) << err;
    EXPECT_NE(err.find("[ERROR] 发送MEMS命令失败\n"), std::string::npos) << err;
    EXPECT_EQ(mems_device.send_fail_cnt, 1);
    EXPECT_EQ(mems_device.consecutive_fail_cnt, 1);
    ::close(mems_device.fd);
    mems_device.fd = -1;
    ::close(fd);
    mems_device.line_return.enabled = false;  // a closed line stays closed
    EXPECT_EQ(exchange(info, status, raw), -1);
    EXPECT_EQ(err, "[ERROR] MEMS serial not open\n");
    EXPECT_EQ(out, "");
    EXPECT_EQ(read_mems_data(nullptr, &status, raw), -6);
}

TEST_F(MemsLine, ResetReloadsTheCalibrationBeforeSending)
{
    MemoryLine device;
    device.push_silence(10);
    device.push_answer(good_answer());
    MEMS_Info_Frame info{};
    MEMS_Serial_Frame status{};
    uint8_t raw[44];
    for (int n = 0; n < 10; ++n) EXPECT_EQ(exchange(info, status, raw), -10);
    mems_device.mems_K[0] = 0.0f;  // only a reload brings it back
    EXPECT_EQ(exchange(info, status, raw), 0) << err;
    EXPECT_NE(out.find("[WARN] Resetting MEMS UART (连续10次失败)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[INFO] MEMS UART复位成功，总复位次数=1\n"), std::string::npos) << out;
    EXPECT_EQ(mems_device.mems_K[0], 319198.1f);
    EXPECT_NEAR(info.x_axis, 0.99959, 1e-5);
    EXPECT_EQ(status.uart_reset_cnt, 1);
    EXPECT_EQ(status.length_err_cnt, 10);
}

TEST_F(MemsLine, ResetCadenceAndAFailedResetThatClosesTheLineForGood)
{
    MemoryLine device;
    device.push_silence(30);
    MEMS_Info_Frame info{};
    MEMS_Serial_Frame status{};
    uint8_t raw[44];
    std::vector<int> resets_at;
    for (int n = 1; n <= 30; ++n) {
        uint8_t before = mems_device.uart_reset_cnt;
        EXPECT_EQ(exchange(info, status, raw), -10);
        if (mems_device.uart_reset_cnt != before) resets_at.push_back(n);
    }
    EXPECT_EQ(resets_at, std::vector<int>({11, 21}));
    EXPECT_EQ(mems_device.consecutive_fail_cnt, 10);

    // The 31st exchange resets again, but the device has gone: the request
    // finds no line, and every later exchange stops before it.
    mems_device.dev = "/nonexistent/mems-line";
    EXPECT_EQ(exchange(info, status, raw), -2);
    EXPECT_NE(out.find("[WARN] Resetting MEMS UART (连续10次失败)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[ERROR] MEMS UART复位失败\n"), std::string::npos) << out;
    EXPECT_NE(err.find("[ERROR] MEMS serial not open\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[ERROR] 发送MEMS命令失败\n"), std::string::npos) << err;
    EXPECT_EQ(mems_device.fd, -1);
    EXPECT_EQ(status.uart_reset_cnt, 2);
    EXPECT_EQ(mems_device.consecutive_fail_cnt, 11);
    EXPECT_EQ(exchange(info, status, raw), -1);
    EXPECT_EQ(mems_device.consecutive_fail_cnt, 11) << "a closed line is not an attempt";
    EXPECT_EQ(status.uart_reset_cnt, 2);
}

TEST_F(MemsLine, FailedRequestsAreAnsweredWithZerosAndCounts)
{
    ScriptedDevice device(pty.master(), 2);
    device.push_silence();
    std::vector<unsigned char> request = {0xFF};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    MemsReply r = mems_telemetry_reply();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.status, -10);
    std::vector<uint8_t> expected(18, 0);
    expected[12] = 4;
    expected[15] = 1;
    expected[17] = 1;
    EXPECT_EQ(std::vector<uint8_t>(r.gnc, r.gnc + 18), expected);
    EXPECT_EQ(std::vector<uint8_t>(r.raw, r.raw + 44), std::vector<uint8_t>(44, 0));

    // The handler logs the number.
    device.push_silence();
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    telemetry_callback("Gnc_Service", "Mems_Hardware_Service", "command", "", "", request);
    testing::internal::GetCapturedStdout();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[ERROR] Failed to read MEMS data: -10\n"),
              std::string::npos);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    telemetry_callback("Gnc_Service", "Mems_Hardware_Service", "avg_command", "", "", request);
    EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
}

namespace {
std::string config_file(const std::string& name, const std::string& text)
{
    std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}
}  // namespace

TEST(MemsConfigFile, SectionDefaultsVersusFallback)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    MemsConfig with_section = mems_effective_config(config_file("quimbrel_nodevice.json", R"({"mems_sensor": {}})").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(with_section.device, "/dev/ttyS2");
    EXPECT_EQ(with_section.baudrate, 115200);

    const struct {
        const char* name;
        const char* text;
        const char* first_error;
    } unusable[] = {
        {"quimbrel_nosection.json", R"({"gyro": {}})", "[ERROR] No 'mems_sensor' found in config file\n"},
        {"quimbrel_broken.json", "{", "[ERROR] Failed to parse JSON: "},
        {"quimbrel_types.json", R"({"mems_sensor": {"device": 5, "baudrate": "x"}})",
         "[ERROR] Invalid value in 'mems_sensor' section: "},
    };
    for (const auto& u : unusable) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        MemsConfig c = mems_effective_config(config_file(u.name, u.text).c_str());
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.device, "/dev/tnt5") << u.name;
        EXPECT_EQ(c.baudrate, 115200) << u.name;
        EXPECT_EQ(err.rfind(u.first_error, 0), 0u) << u.name << ": " << err;
        EXPECT_NE(err.find("[ERROR] Failed to parse config file\n"), std::string::npos) << u.name;
        EXPECT_EQ(out, "[WARN] Using default config: device=/dev/tnt5, baudrate=115200\n") << u.name;
    }
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    MemsConfig missing = mems_effective_config("/nonexistent/Quimbrel.json");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[ERROR] Cannot open config file: /nonexistent/Quimbrel.json\n[ERROR] Failed to parse config file\n");
    EXPECT_EQ(missing.device, "/dev/tnt5");
}
