// The gyro service and the exchange it shares with the MEMS service, against
// a pseudo-terminal peer scripted by the test.
#include "Zentaro.h"
#include "rate/rate_answers.h"
#include "support/child_process.h"
#include "support/memory_line.h"
#include "support/pty_pair.h"
#include "support/scripted_device.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <thread>

namespace {

std::vector<uint8_t> good_answer() { return rate_answer(27, {289752, 0, -299115}, {1000, 1000, 1000}); }

class GyroLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset();
        testing::internal::CaptureStdout();
        ASSERT_EQ(gyro_uart_init(pty.path(), 115200), 0);
        testing::internal::GetCapturedStdout();
    }
    void TearDown() override { reset(); }
    static void reset()
    {
        serial_line_close(gyro_device.fd);
        gyro_device = Serial_Device{};
    }
    // One exchange, its messages captured.
    int exchange(GYRO_Info_Frame& info, GYRO_Serial_Frame& status, uint8_t* raw)
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = read_gyro_angle_delta(&info, &status, raw);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return rc;
    }
    PtyPair pty;
    std::string out, err;
};

}  // namespace

TEST(GyroDecoding, WorkedExamples)
{
    GYRO_Info_Frame info{};
    auto a = rate_answer(27, {289752, 0, 0}, {1000, 1000, 1000});
    ASSERT_EQ(gyro_data_extraction(a.data(), &info), 0);
    EXPECT_NEAR(info.x_axis, 0.9999936, 5e-7);
    EXPECT_NEAR(info.y_axis, -0.205 / 3600, 1e-9);
    EXPECT_NEAR(info.z_axis, -0.369 / 3600, 1e-9);
    a = rate_answer(27, {0, 0, 0}, {1000, 1, 65535});
    ASSERT_EQ(gyro_data_extraction(a.data(), &info), 0);
    EXPECT_NEAR(info.x_axis, -4.7222e-06, 1e-10);
    // Single precision, in the order multiply, divide by time, divide by K,
    // subtract the bias over 3600.
    a = rate_answer(27, {-1234567, 8388607, -8388608}, {999, 7, 65535});
    ASSERT_EQ(gyro_data_extraction(a.data(), &info), 0);
    EXPECT_EQ(info.x_axis, ((1000.0f * -1234567.0f) / 999.0f) / 289752.5f - 0.017f / 3600.0f);
    EXPECT_EQ(info.y_axis, ((1000.0f * 8388607.0f) / 7.0f) / 299114.7f - 0.205f / 3600.0f);
    EXPECT_EQ(info.z_axis, ((1000.0f * -8388608.0f) / 65535.0f) / 282454.6f - 0.369f / 3600.0f);
}

TEST(GyroDecoding, TwentyFourBitCountsAreSignExtended)
{
    const uint8_t minus_one[3] = {0xFF, 0xFF, 0xFF};
    const uint8_t most_negative[3] = {0x80, 0x00, 0x00};
    const uint8_t most_positive[3] = {0x7F, 0xFF, 0xFF};
    const uint8_t example[3] = {0x04, 0x6B, 0xD8};
    EXPECT_EQ(convert_24bit_to_int32(minus_one), -1);
    EXPECT_EQ(convert_24bit_to_int32(most_negative), -8388608);
    EXPECT_EQ(convert_24bit_to_int32(most_positive), 8388607);
    EXPECT_EQ(convert_24bit_to_int32(example), 289752);
}

TEST(GyroDecoding, ZeroIntegralTimeLeavesTheValuesAlone)
{
    GYRO_Info_Frame info{1.0f, 2.0f, 3.0f};
    auto a = rate_answer(27, {5, 5, 5}, {1000, 0, 1000});
    testing::internal::CaptureStderr();
    EXPECT_EQ(gyro_data_extraction(a.data(), &info), -6);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] Integral time zero\n");
    EXPECT_EQ(info.x_axis, 1.0f);
    EXPECT_EQ(info.y_axis, 2.0f);
    EXPECT_EQ(info.z_axis, 3.0f);
    EXPECT_EQ(gyro_data_extraction(nullptr, &info), -6);
    EXPECT_EQ(gyro_data_extraction(a.data(), nullptr), -6);
}

// Every row of the counter table, through a real line.
TEST_F(GyroLine, CounterTable)
{
    auto bad_header = good_answer();
    bad_header[0] = 0x55;
    auto bad_sum = good_answer();
    bad_sum[26] ^= 0x5A;
    auto zero_time = rate_answer(27, {1, 1, 1}, {1000, 1000, 0});
    struct Row {
        const char* name;
        bool silent;
        std::vector<uint8_t> answer;
        int rc;
        int head, check, length, consecutive;
        const char* message;
    };
    const Row rows[] = {
        {"success", false, good_answer(), 0, 0, 0, 0, 0, "[INFO] 读取成功，连续失败计数清零\n"},
        {"timeout", true, {}, -10, 0, 0, 1, 1, "[ERROR] 超时 ("},
        {"header", false, bad_header, -5, 1, 0, 1, 2, "[ERROR] 帧头错误: 0x55\n"},
        {"checksum", false, bad_sum, -9, 1, 1, 1, 3, "[ERROR] 校验和错误: 计算=0x"},
        {"zero time", false, zero_time, -6, 1, 1, 1, 4, "[ERROR] 数据解析失败: Failed to parse data\n"},
        {"success again", false, good_answer(), 0, 1, 1, 1, 0, "[INFO] 读取成功"},
    };
    ScriptedDevice device(pty.master(), 2);
    for (const Row& r : rows) {
        if (r.silent) {
            device.push_silence();
        } else {
            device.push_answer(r.answer);
        }
        GYRO_Info_Frame info{};
        GYRO_Serial_Frame status{};
        uint8_t raw[27];
        int rc = exchange(info, status, raw);
        EXPECT_EQ(rc, r.rc) << r.name;
        EXPECT_EQ(gyro_device.head_err_cnt, r.head) << r.name;
        EXPECT_EQ(gyro_device.check_err_cnt, r.check) << r.name;
        EXPECT_EQ(gyro_device.length_err_cnt, r.length) << r.name;
        EXPECT_EQ(gyro_device.consecutive_fail_cnt, r.consecutive) << r.name;
        EXPECT_EQ(gyro_device.uart_reset_cnt, 0) << r.name;
        EXPECT_EQ(status.head_err_cnt, r.head) << r.name;
        EXPECT_EQ(status.check_err_cnt, r.check) << r.name;
        EXPECT_EQ(status.length_err_cnt, r.length) << r.name;
        EXPECT_NE((out + err).find(r.message), std::string::npos) << r.name << ": " << out << err;
        if (!r.silent) {
            EXPECT_EQ(std::vector<uint8_t>(raw, raw + 27), r.answer) << r.name << ": raw holds what arrived";
        }
    }
    for (const auto& req : device.requests()) EXPECT_EQ(req, std::vector<uint8_t>({0x55, 0x68}));
    EXPECT_EQ(device.requests().size(), 6u);
}

// The gyro's adapter is unplugged and plugged in again, on the virtual
// clock: the line's name (a symbolic link, as udev makes) goes away and
// comes back. The exchange that meets the hang-up closes the line and says
// so once; the tries while it is away are quiet and at most once a second;
// the first exchange a second after the line is back opens it, counts one
// reset and answers.
TEST_F(GyroLine, TheLineIsOpenedAgainWhenItComesBack)
{
    const std::string link = testing::TempDir() + "gyro-replug-" + std::to_string(getpid());
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(pty.path().c_str(), link.c_str()), 0);
    reset();
    serial_device_expect(gyro_device, link, 115200, true);
    testing::internal::CaptureStdout();
    ASSERT_EQ(gyro_uart_init(link, 115200), DEV_OK);
    testing::internal::GetCapturedStdout();
    MemoryLine line;
    GYRO_Info_Frame info{};
    GYRO_Serial_Frame status{};
    uint8_t raw[27];

    line.push_hang_up();
    ::unlink(link.c_str());
    EXPECT_EQ(exchange(info, status, raw), DEV_ERR_NOT_OPEN) << "the answer meets the hang-up";
    EXPECT_NE(err.find("[WARN] gyro line " + link + " is gone (hung up); trying it again every second\n"),
              std::string::npos) << err;
    EXPECT_EQ(gyro_device.fd, -1);
    EXPECT_EQ(+status.length_err_cnt, 1) << "the answer never came";
    for (int away = 0; away < 3; ++away) {
        line.advance(std::chrono::milliseconds(600));
        EXPECT_EQ(exchange(info, status, raw), DEV_ERR_NOT_OPEN);
        EXPECT_EQ(err, "") << "tries while the line is away are quiet";
    }
    EXPECT_EQ(line.requests().size(), 1u);

    ASSERT_EQ(::symlink(pty.path().c_str(), link.c_str()), 0);
    line.plug_in();
    line.push_answer(good_answer());
    EXPECT_EQ(exchange(info, status, raw), DEV_ERR_NOT_OPEN) << "tried 600 ms ago: not yet";
    line.advance(LineReturn::RETRY_EVERY);
    EXPECT_EQ(exchange(info, status, raw), DEV_OK) << out << err;
    EXPECT_NE(out.find("[OK] gyro line " + link + " is back after 2.8 s\n"), std::string::npos) << out;
    EXPECT_EQ(+status.uart_reset_cnt, 1);
    EXPECT_EQ(std::vector<uint8_t>(raw, raw + 27), good_answer());
    ::unlink(link.c_str());
}

TEST_F(GyroLine, PartialAnswerTimesOutWithTheBytesInRaw)
{
    ScriptedDevice device(pty.master(), 2);
    auto a = good_answer();
    a.resize(10);
    device.push_answer(a);
    GYRO_Info_Frame info{};
    GYRO_Serial_Frame status{};
    uint8_t raw[27];
    EXPECT_EQ(exchange(info, status, raw), -10);
    std::vector<uint8_t> expected = a;
    expected.resize(27, 0);
    EXPECT_EQ(std::vector<uint8_t>(raw, raw + 27), expected);
    EXPECT_EQ(status.length_err_cnt, 1);
    EXPECT_NE(err.find("收到10/27字节"), std::string::npos) << err;
}

TEST_F(GyroLine, StaleBytesAreDiscardedBeforeTheRequest)
{
    pty.write_device({0x97, 0x01, 0x02, 0x03});
    usleep(20000);
    ScriptedDevice device(pty.master(), 2);
    device.push_answer(good_answer());
    GYRO_Info_Frame info{};
    GYRO_Serial_Frame status{};
    uint8_t raw[27];
    EXPECT_EQ(exchange(info, status, raw), 0) << err;
    EXPECT_NEAR(info.x_axis, 0.9999936, 5e-7);
}

TEST_F(GyroLine, ClosedLineAndFailedWrite)
{
    GYRO_Info_Frame info{};
    GYRO_Serial_Frame status{};
    uint8_t raw[27];
    std::memset(raw, 0xEE, sizeof raw);
    int fd = gyro_device.fd;
    // A descriptor that cannot be written.
    gyro_device.fd = ::open(pty.path().c_str(), O_RDONLY | O_NOCTTY);
    EXPECT_EQ(exchange(info, status, raw), -2);
    EXPECT_EQ(err, "[ERROR] 发送命令失败\n");
    EXPECT_EQ(gyro_device.consecutive_fail_cnt, 1);
    EXPECT_EQ(std::vector<uint8_t>(raw, raw + 27), std::vector<uint8_t>(27, 0));
    ::close(gyro_device.fd);
    gyro_device.fd = -1;
    ::close(fd);
    gyro_device.line_return.enabled = false;  // a closed line stays closed
    EXPECT_EQ(exchange(info, status, raw), -1);
    EXPECT_EQ(out, "[DEBUG] Serial not open, fd=-1\n");
    EXPECT_EQ(gyro_device.consecutive_fail_cnt, 1) << "a closed line changes no count";
}

// The answer cannot be read: a descriptor open for writing only sends the
// request and sees the answer arrive, but every read fails.
TEST_F(GyroLine, ReadErrorCountsAsAFailure)
{
    ScriptedDevice device(pty.master(), 2);
    device.push_answer(good_answer());
    int fd = gyro_device.fd;
    gyro_device.fd = ::open(pty.path().c_str(), O_WRONLY | O_NOCTTY);
    GYRO_Info_Frame info{};
    GYRO_Serial_Frame status{};
    uint8_t raw[27];
    int rc = exchange(info, status, raw);
    ::close(gyro_device.fd);
    gyro_device.fd = fd;
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, "read error: Bad file descriptor\n");
    EXPECT_EQ(gyro_device.consecutive_fail_cnt, 1);
    EXPECT_EQ(gyro_device.head_err_cnt + gyro_device.check_err_cnt + gyro_device.length_err_cnt, 0);
    EXPECT_EQ(device.requests().size(), 1u);
}

// While every exchange fails, the 11th re-opens the line first, then every
// 10th after it.
TEST_F(GyroLine, ResetCadence)
{
    MemoryLine device;
    device.push_silence(31);
    GYRO_Info_Frame info{};
    GYRO_Serial_Frame status{};
    uint8_t raw[27];
    std::vector<int> resets_at;
    for (int n = 1; n <= 31; ++n) {
        uint8_t before = gyro_device.uart_reset_cnt;
        EXPECT_EQ(exchange(info, status, raw), -10);
        if (gyro_device.uart_reset_cnt != before) {
            resets_at.push_back(n);
            EXPECT_NE(out.find("[WARN] Resetting UART (连续10次失败)\n"), std::string::npos) << out;
            EXPECT_NE(out.find("[INFO] UART复位成功，总复位次数=" + std::to_string(gyro_device.uart_reset_cnt)),
                      std::string::npos)
                << out;
            EXPECT_EQ(gyro_device.consecutive_fail_cnt, 1) << "cleared by the reset, then this failure";
        }
    }
    EXPECT_EQ(resets_at, std::vector<int>({11, 21, 31}));
    EXPECT_EQ(status.uart_reset_cnt, 3);
    EXPECT_EQ(status.length_err_cnt, 31);
}

TEST_F(GyroLine, FailedResetLeavesTheLineClosed)
{
    MemoryLine device;
    device.push_silence(10);
    GYRO_Info_Frame info{};
    GYRO_Serial_Frame status{};
    uint8_t raw[27];
    for (int n = 0; n < 10; ++n) exchange(info, status, raw);
    ASSERT_EQ(gyro_device.consecutive_fail_cnt, 10);
    gyro_device.dev = "/nonexistent/gyro-line";  // the device has gone away
    EXPECT_EQ(exchange(info, status, raw), -2);
    EXPECT_NE(out.find("[ERROR] UART复位失败: Serial not open or invalid\n"), std::string::npos) << out;
    EXPECT_NE(err.find("[ERROR] 发送命令失败\n"), std::string::npos) << err;
    EXPECT_EQ(gyro_device.fd, -1);
    EXPECT_EQ(gyro_device.uart_reset_cnt, 0);
    EXPECT_EQ(gyro_device.consecutive_fail_cnt, 11);
    EXPECT_EQ(exchange(info, status, raw), -1);
    EXPECT_EQ(out, "[DEBUG] Serial not open, fd=-1\n");
}

TEST_F(GyroLine, RepliesCarryTheLineStatisticsAndResetEnable)
{
    ScriptedDevice device(pty.master(), 2);
    auto bad = good_answer();
    bad[26] ^= 1;
    device.push_answer(bad);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    GyroReply r = gyro_telemetry_reply();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.status, -9);
    std::vector<uint8_t> gnc(r.gnc, r.gnc + 18);
    std::vector<uint8_t> expected(18, 0);
    expected[12] = 3;  // line id
    expected[14] = 1;  // one checksum error
    expected[17] = 1;  // reset enabled
    EXPECT_EQ(gnc, expected);
    EXPECT_EQ(r.line.serial_id, 3);
    EXPECT_EQ(r.line.check_err_cnt, 1);
    EXPECT_EQ(std::vector<uint8_t>(r.raw, r.raw + 27), bad);
}

TEST_F(GyroLine, OnlyCommandRequestsStartingWithFfAreAnswered)
{
    ScriptedDevice device(pty.master(), 2);
    const std::pair<std::string, std::vector<unsigned char>> ignored[] = {
        {"avg_command", {0xFF}}, {"command", {}}, {"command", {0xFE}}, {"telemetry", {0xFF}}};
    for (auto request : ignored) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        telemetry_callback("Gnc_Service", "Gyro_Hardware_Service", request.first, "", "", request.second);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
    EXPECT_TRUE(device.requests().empty());
    device.push_answer(good_answer());
    std::vector<unsigned char> accepted = {0xFF, 0x00, 0x00};
    testing::internal::CaptureStdout();
    telemetry_callback("Gnc_Service", "Gyro_Hardware_Service", "command", "", "", accepted);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Successfully sent telemetry data\n"), std::string::npos) << out;
    EXPECT_EQ(device.requests().size(), 1u);
}

// ---------------------------------------------------------------------------
// Configuration and start-up

namespace {
std::string config_file(const std::string& name, const std::string& text)
{
    std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}
}  // namespace

TEST(GyroConfigFile, DefaultsAndMessages)
{
    GyroConfig c;
    for (const char* text : {R"({"gyro": {}})", R"({"gyro": null})"}) {
        c = GyroConfig{};
        c.enabled = false;
        c.reopen = false;
        testing::internal::CaptureStdout();
        ASSERT_EQ(parse_gyro_config_file(config_file("zentaro_empty.json", text).c_str(), &c), 0) << text;
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "[INFO] Gyro config loaded: device=/dev/tnt0, baudrate=115200\n");
        EXPECT_TRUE(c.enabled) << text;
        EXPECT_TRUE(c.reopen) << text;
        EXPECT_EQ(c.device, "/dev/tnt0");
        EXPECT_EQ(c.baudrate, 115200);
    }

    const struct {
        const char* name;
        const char* text;
        const char* message;
    } bad[] = {
        {"zentaro_nosection.json", R"({"mems": {}})", "[ERROR] No 'gyro' section found in config file\n"},
        {"zentaro_broken.json", R"({"gyro": )", "[ERROR] Failed to parse JSON: "},
        {"zentaro_types.json", R"({"gyro": {"baudrate": "fast"}})", "[ERROR] Invalid value in 'gyro' section: "},
        {"zentaro_reopen.json", R"({"gyro": {"reopen": "no"}})", "[ERROR] 'reopen' must be true or false\n"},
    };
    for (const auto& b : bad) {
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        EXPECT_EQ(parse_gyro_config_file(config_file(b.name, b.text).c_str(), &c), -1) << b.name;
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(b.message, 0), 0u) << b.name;
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse_gyro_config_file(config_file("zentaro_closed.json", R"({"gyro": {"reopen": false}})").c_str(), &c), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(c.reopen);
}

TEST(GyroStartUp, DisabledGyroExitsZeroWithoutTheBus)
{
    std::string path = config_file("zentaro_disabled.json", R"({"gyro": {"enabled": false, "device": "/dev/x"}})");
    ChildProcess p(ZENTARO_PATH, {path, "ignored-extra-argument"});
    EXPECT_EQ(p.wait_exit(std::chrono::seconds(20)), 0);
    EXPECT_EQ(p.out(), "[INFO] Gyro is disabled in config\n[INFO] Gyro is disabled, exiting\n");
    EXPECT_EQ(p.err(), "");
}

TEST(GyroStartUp, MissingConfigurationExits255)
{
    ChildProcess p(ZENTARO_PATH, {"/nonexistent/Zentaro.json"});
    int status = p.wait_exit(std::chrono::seconds(20));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_EQ(p.err(),
              "[ERROR] Cannot open config file: /nonexistent/Zentaro.json\n"
              "[ERROR] Failed to parse config file: /nonexistent/Zentaro.json\n");
}
