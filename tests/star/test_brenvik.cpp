// The star sensor service against pseudo-terminal devices scripted by the
// test, and its configuration and bus handlers.
#include "Brenvik.h"
#include "byte_order.h"
#include "support/memory_line.h"
#include "support/pty_pair.h"
#include "support/scripted_device.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>

namespace {

std::vector<uint8_t> nano_answer(int32_t q0, int32_t q1, int32_t q2, int32_t q3, uint8_t stars, int16_t wx = 0,
                                 int16_t wy = 0, int16_t wz = 0)
{
    std::vector<uint8_t> a(64, 0);
    a[0] = 0x8A;
    a[1] = 0xA1;
    store_be32(&a[4], uint32_t(q0));
    store_be32(&a[8], uint32_t(q1));
    store_be32(&a[12], uint32_t(q2));
    store_be32(&a[16], uint32_t(q3));
    a[35] = stars;
    store_be16(&a[45], uint16_t(wx));
    store_be16(&a[47], uint16_t(wy));
    store_be16(&a[49], uint16_t(wz));
    a[63] = sum8(a.data(), 63);
    return a;
}

std::vector<uint8_t> pico_answer(int32_t q0, uint8_t stars)
{
    std::vector<uint8_t> a(256, 0);
    a[0] = 0xEB;
    a[1] = 0x50;
    a[2] = 0x22;
    store_le32(&a[16], uint32_t(q0));
    a[34] = uint8_t(stars << 1);
    a[255] = sum8(a.data(), 255);
    return a;
}

const std::vector<uint8_t> kNanoQuery = {0x74, 0xA1, 0x00, 0x00, 0x15};

int count_of(const std::string& hay, const std::string& needle)
{
    int n = 0;
    for (std::size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

int open_fd_count()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

class StarService : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset()
    {
        for (int i = 0; i < STAR_MAX_SENSORS; ++i) {
            if (nano_stars[i].fd >= 0) close(nano_stars[i].fd);
            if (pico_stars[i].fd >= 0) close(pico_stars[i].fd);
            nano_stars[i] = Star_Device{};
            pico_stars[i] = Star_Device{};
        }
    }
    // Opens nano sensor `num` on a fresh pty, quietly.
    void open_sensor(PtyPair& pty, star_type_t type, int num)
    {
        testing::internal::CaptureStdout();
        ASSERT_EQ(star_uart_init(type, uint8_t(num), pty.path(), 115200), 0);
        testing::internal::GetCapturedStdout();
    }
};

std::string write_config(const std::string& name, const std::string& text)
{
    std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

}  // namespace

// ---------------------------------------------------------------------------
// Configuration

TEST(StarConfigFile, DefaultsAndNumbering)
{
    std::string path = write_config("brenvik_defaults.json", R"({"star_sensors": [
        {"device": "/dev/a"},
        {"device": "/dev/b", "enabled": false},
        {"device": "/dev/c", "type": "pico", "baudrate": 9600},
        {"device": "/dev/d", "star_num": 7, "enabled": true}
    ]})");
    StarConfig c[STAR_MAX_SENSORS];
    ASSERT_EQ(parse_config_file(path, c, STAR_MAX_SENSORS), 3);
    EXPECT_EQ(c[0].type, STAR_NANO);
    EXPECT_EQ(c[0].device, "/dev/a");
    EXPECT_EQ(c[0].baudrate, 115200);
    EXPECT_EQ(c[0].star_num, 1);
    EXPECT_TRUE(c[0].enabled);
    // The disabled element uses up no number: the third element is number 2.
    EXPECT_EQ(c[1].device, "/dev/c");
    EXPECT_EQ(c[1].type, STAR_PICO);
    EXPECT_EQ(c[1].baudrate, 9600);
    EXPECT_EQ(c[1].star_num, 2);
    EXPECT_EQ(c[2].star_num, 7);
}

TEST(StarConfigFile, UnknownTypeAndMissingDevice)
{
    std::string path = write_config("brenvik_warnings.json", R"({"star_sensors": [
        {"device": "/dev/a", "type": "micro"},
        {"type": "nano"},
        {"device": ""},
        {"device": "/dev/b"}
    ]})");
    StarConfig c[STAR_MAX_SENSORS];
    testing::internal::CaptureStderr();
    ASSERT_EQ(parse_config_file(path, c, STAR_MAX_SENSORS), 2);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(c[0].type, STAR_NANO);
    EXPECT_EQ(c[1].device, "/dev/b");
    EXPECT_EQ(c[1].star_num, 2);
    EXPECT_EQ(err,
              "[WARNING] Unknown star type: micro, defaulting to nano\n"
              "[WARNING] Star sensor 1 has no device specified, skipping\n"
              "[WARNING] Star sensor 2 has no device specified, skipping\n");
}

TEST(StarConfigFile, OnlyTheFirstEightAreUsed)
{
    std::string text = R"({"star_sensors": [)";
    for (int i = 0; i < 8; ++i) text += std::string(i ? "," : "") + R"({"device": "/dev/s)" + std::to_string(i) + "\"}";
    // Past the eighth nothing is read, so these faults go unreported.
    text += R"(, {"type": "quantum", "device": "/dev/s8"}, {"device": 9}, 10]})";
    StarConfig c[STAR_MAX_SENSORS];
    testing::internal::CaptureStderr();
    ASSERT_EQ(parse_config_file(write_config("brenvik_many.json", text), c, STAR_MAX_SENSORS), 8);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(c[7].device, "/dev/s7");
    EXPECT_EQ(c[7].star_num, 8);
}

TEST(StarConfigFile, UnusableFiles)
{
    StarConfig c[STAR_MAX_SENSORS];
    const struct {
        const char* name;
        const char* text;
        const char* message;
    } rows[] = {
        {"brenvik_badjson.json", "{\"star_sensors\": [", "[ERROR] Failed to parse JSON: "},
        {"brenvik_noarray.json", "{\"sensors\": []}", "[ERROR] No 'star_sensors' array found in config file\n"},
        {"brenvik_notarray.json", "{\"star_sensors\": {}}", "[ERROR] No 'star_sensors' array found in config file\n"},
        {"brenvik_rootarray.json", "[1, 2]", "[ERROR] No 'star_sensors' array found in config file\n"},
    };
    for (const auto& r : rows) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_config_file(write_config(r.name, r.text), c, STAR_MAX_SENSORS), -1) << r.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(r.message, 0), 0u) << r.name;
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_config_file("/nonexistent/Brenvik.json", c, STAR_MAX_SENSORS), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] Cannot open config file: /nonexistent/Brenvik.json\n");
}

TEST(StarConfigFile, ValuesOfTheWrongTypeSkipTheElementWithoutCrashing)
{
    std::string path = write_config("brenvik_types.json", R"({"star_sensors": [
        {"device": "/dev/a", "baudrate": "fast"},
        {"device": ["x"]},
        7,
        {"device": "/dev/b", "star_num": 3}
    ]})");
    StarConfig c[STAR_MAX_SENSORS];
    testing::internal::CaptureStderr();
    ASSERT_EQ(parse_config_file(path, c, STAR_MAX_SENSORS), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(c[0].device, "/dev/b");
    EXPECT_NE(err.find("Star sensor 0 has an invalid entry"), std::string::npos) << err;
    EXPECT_NE(err.find("Star sensor 2 has an invalid entry"), std::string::npos) << err;
}

// ---------------------------------------------------------------------------
// Line set-up and commands

TEST_F(StarService, SetUpRejectsInvalidTypeAndNumberWithoutTouchingRecords)
{
    const std::pair<int, int> bad[] = {{2, 1}, {0, 0}, {0, 9}, {1, 9}};
    for (const auto& b : bad) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(star_uart_init(star_type_t(b.first), uint8_t(b.second), "/dev/null", 115200), -6);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] Invalid star type=" + std::to_string(b.first) +
                                                              " or num=" + std::to_string(b.second) + "\n");
    }
    for (int i = 0; i < STAR_MAX_SENSORS; ++i) {
        EXPECT_EQ(nano_stars[i].fd, -1);
        EXPECT_EQ(pico_stars[i].fd, -1);
    }
}

TEST_F(StarService, SetUpPrintsTheLineAndAReopenClosesTheOldOne)
{
    PtyPair a, b;
    testing::internal::CaptureStdout();
    ASSERT_EQ(star_uart_init(STAR_PICO, 3, a.path(), 4800), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[OK] PICO STAR3 UART init: dev=" + a.path() + ", baud=4800, fd=" +
                       std::to_string(pico_stars[2].fd) + "\n");
    pico_stars[2].check_err_cnt = 4;
    int before = open_fd_count();
    testing::internal::CaptureStdout();
    ASSERT_EQ(star_uart_init(STAR_PICO, 3, b.path(), 9600), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(open_fd_count(), before);
    EXPECT_EQ(pico_stars[2].dev, b.path());
    EXPECT_EQ(pico_stars[2].baud, 9600);
    EXPECT_EQ(pico_stars[2].check_err_cnt, 4) << "counts survive a set-up";
}

TEST_F(StarService, CommandFramesReachTheLine)
{
    PtyPair pty;
    open_sensor(pty, STAR_NANO, 1);
    nano_stars[0].consecutive_fail_cnt = 5;
    EXPECT_EQ(send_star_cmd(STAR_NANO, 1, 12, 0x05), 0);
    EXPECT_EQ(pty.read_device(), std::vector<uint8_t>({0x74, 0xA9, 0x60, 0x05, 0x82}));
    EXPECT_EQ(nano_stars[0].consecutive_fail_cnt, 0);

    EXPECT_EQ(send_star_cmd(STAR_NANO, 1, 27, 0x00), 0);
    std::vector<uint8_t> esd = pty.read_device();
    ASSERT_EQ(esd.size(), 77u);
    EXPECT_EQ(esd[76], 0xCC);

    testing::internal::CaptureStderr();
    EXPECT_EQ(send_star_cmd(STAR_NANO, 1, 2, 0), -6);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] Unsupported cmd=2 for NANO STAR1\n");
    EXPECT_EQ(send_star_cmd(STAR_NANO, 1, 34, 0), -6);
    EXPECT_EQ(send_star_cmd(STAR_NANO, 9, 0, 0), -6);
    EXPECT_TRUE(pty.read_device(100).empty()) << "rejected commands write nothing";
}

TEST_F(StarService, CommandToAClosedLine)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(send_star_cmd(STAR_PICO, 4, 0, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] Serial not open for PICO STAR4\n");
}

// ---------------------------------------------------------------------------
// Queries

TEST_F(StarService, GoodNanoAnswerIsDecoded)
{
    PtyPair pty;
    open_sensor(pty, STAR_NANO, 2);
    ScriptedDevice device(pty.master(), 5);
    device.push_answer(nano_answer(0x40000000, -0x40000000, 0x20000000, 0, 12, -1, 2, 3));
    Brenvik_Frame r{};
    ASSERT_EQ(read_single_star_data(STAR_NANO, 2, 33, &r), 0);
    EXPECT_EQ(device.requests(), std::vector<std::vector<uint8_t>>({kNanoQuery}));
    EXPECT_EQ(+r.star_type, 0);
    EXPECT_EQ(+r.star_num, 2);
    EXPECT_EQ(+r.q0, 0.5f);
    EXPECT_EQ(+r.q1, -0.5f);
    EXPECT_EQ(+r.q2, 0.25f);
    EXPECT_EQ(+r.q3, 0.0f);
    EXPECT_EQ(+r.wx, -2.0e-13f);
    EXPECT_EQ(+r.detected_stars, 12);
    EXPECT_EQ(+r.head_err_cnt + r.check_err_cnt + r.length_err_cnt + r.uart_reset_cnt + r.fault_cnt, 0);
}

TEST_F(StarService, AnswerInSmallPiecesIsAssembled)
{
    PtyPair pty;
    open_sensor(pty, STAR_NANO, 1);
    ScriptedDevice device(pty.master(), 5);
    device.push(ScriptedDevice::Step{nano_answer(0x40000000, 0, 0, 0, 9), 7, 5});
    Brenvik_Frame r{};
    ASSERT_EQ(read_single_star_data(STAR_NANO, 1, 33, &r), 0);
    EXPECT_EQ(+r.q0, 0.5f);
    EXPECT_EQ(+r.detected_stars, 9);
}

TEST_F(StarService, GoodPicoAnswerIsDecoded)
{
    PtyPair pty;
    open_sensor(pty, STAR_PICO, 8);
    ScriptedDevice device(pty.master(), 5);
    device.push_answer(pico_answer(0x40000000, 5));
    Brenvik_Frame r{};
    ASSERT_EQ(read_single_star_data(STAR_PICO, 8, 34, &r), 0);
    EXPECT_EQ(device.requests()[0], std::vector<uint8_t>({0x74, 0xA1, 0x00, 0x05, 0x1A}));
    EXPECT_EQ(+r.star_type, 1);
    EXPECT_EQ(+r.q0, 0.5f);
    EXPECT_EQ(+r.detected_stars, 5);
}

// One bad answer of each kind, then a good one: the query succeeds on its
// second attempt and the reply carries exactly that one count.
TEST_F(StarService, RejectedAnswersAreCountedAndAskedAgain)
{
    struct Row {
        const char* fault;
        std::vector<uint8_t> bad;
        int (*count)(const Brenvik_Frame&);
    };
    std::vector<uint8_t> bad_sum = nano_answer(0x40000000, 0, 0, 0, 3);
    bad_sum[63] ^= 0xFF;
    std::vector<uint8_t> bad_header = nano_answer(0x40000000, 0, 0, 0, 3);
    bad_header[1] = 0xA2;
    bad_header[63] = sum8(bad_header.data(), 63);
    std::vector<uint8_t> short_answer = nano_answer(0x40000000, 0, 0, 0, 3);
    short_answer.resize(40);
    const Row rows[] = {
        {"checksum", bad_sum, [](const Brenvik_Frame& f) { return int(f.check_err_cnt); }},
        {"header", bad_header, [](const Brenvik_Frame& f) { return int(f.head_err_cnt); }},
        {"short", short_answer, [](const Brenvik_Frame& f) { return int(f.length_err_cnt); }},
    };
    for (const Row& row : rows) {
        reset();
        PtyPair pty;
        open_sensor(pty, STAR_NANO, 1);
        MemoryLine device;
        device.push_answer(row.bad);
        device.push_answer(nano_answer(0x20000000, 0, 0, 0, 6));
        Brenvik_Frame r{};
        testing::internal::CaptureStderr();
        ASSERT_EQ(read_single_star_data(STAR_NANO, 1, 33, &r), 0) << row.fault;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(device.requests().size(), 2u) << row.fault;
        EXPECT_EQ(+r.q0, 0.25f) << row.fault;
        EXPECT_EQ(row.count(r), 1) << row.fault;
        EXPECT_EQ(+r.fault_cnt, 1) << row.fault;
        EXPECT_EQ(+r.head_err_cnt + r.check_err_cnt + r.length_err_cnt, 1) << row.fault;
        EXPECT_EQ(+r.uart_reset_cnt, 0) << row.fault;
        if (std::string(row.fault) == "short") {
            EXPECT_NE(err.find("[ERROR] Timeout: read 40/64 bytes\n"), std::string::npos) << err;
            EXPECT_NE(err.find("[ERROR] Frame too short: 40/64 bytes\n"), std::string::npos) << err;
        }
        if (std::string(row.fault) == "header") {
            EXPECT_EQ(err, "[ERROR] Invalid frame header for NANO STAR1\n");
        }
    }
}

// On the virtual clock: ten one-second windows pass in no real time.
TEST_F(StarService, SilentSensorTenAttemptsThenLineReset)
{
    PtyPair pty;
    open_sensor(pty, STAR_NANO, 1);
    MemoryLine device;
    device.push_silence(10);
    Brenvik_Frame r{};
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    int status = read_single_star_data(STAR_NANO, 1, 33, &r);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, -7);
    EXPECT_EQ(device.requests().size(), 10u);
    EXPECT_GE(device.elapsed(), std::chrono::seconds(10)) << "every window waited out";
    EXPECT_EQ(count_of(err, "[ERROR] Timeout: read 0/64 bytes\n"), 10);
    EXPECT_EQ(count_of(err, "[ERROR] Frame too short: 0/64 bytes\n"), 10);
    EXPECT_NE(err.find("[ERROR] Read failed after 10 retries for NANO STAR1\n"), std::string::npos);
    EXPECT_NE(out.find("[OK] NANO STAR1 UART init: dev=" + pty.path()), std::string::npos) << "line reset";
    EXPECT_GE(nano_stars[0].fd, 0);
    EXPECT_EQ(nano_stars[0].length_err_cnt, 10);
    EXPECT_EQ(nano_stars[0].uart_reset_cnt, 1);
    EXPECT_EQ(nano_stars[0].fault_cnt, 11);
    EXPECT_EQ(+r.q0, 0.0f);
    EXPECT_EQ(+r.length_err_cnt, 10);
    EXPECT_EQ(+r.uart_reset_cnt, 1);
    EXPECT_EQ(+r.fault_cnt, 11);
    // Every whole request clears the run of failures, so it never reaches
    // ten: the only reset is the one after the tenth attempt.
    EXPECT_EQ(nano_stars[0].consecutive_fail_cnt, 1) << "the last read window's timeout";
    EXPECT_EQ(err.find("Too many timeouts"), std::string::npos);

    // The counts only grow; the next good answer reports them.
    device.push_answer(nano_answer(0x40000000, 0, 0, 0, 1));
    ASSERT_EQ(read_single_star_data(STAR_NANO, 1, 33, &r), 0);
    EXPECT_EQ(+r.fault_cnt, 11);
}

TEST_F(StarService, CountsWrapAndTheTotalIsTheirSum)
{
    Star_Device d;
    d.head_err_cnt = 255;
    d.check_err_cnt = 255;
    d.length_err_cnt = 255;
    d.uart_reset_cnt = 255;
    update_fault_count(&d);
    EXPECT_EQ(d.fault_cnt, 1020);
    ++d.head_err_cnt;
    update_fault_count(&d);
    EXPECT_EQ(d.head_err_cnt, 0);
    EXPECT_EQ(d.fault_cnt, 765);
}

// ---------------------------------------------------------------------------
// Replies and handlers

TEST_F(StarService, ReplyForASensorThatWasNeverSetUp)
{
    Brenvik_Frame r;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(star_telemetry_reply(0, 3, r), -1);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    std::vector<uint8_t> bytes(reinterpret_cast<uint8_t*>(&r), reinterpret_cast<uint8_t*>(&r) + sizeof r);
    std::vector<uint8_t> expected(41, 0);
    expected[1] = 3;
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(out, "[INFO] Reading telemetry: star_type=NANO, num=3\n");
    EXPECT_EQ(err,
              "[ERROR] Serial not open for NANO STAR3\n"
              "[ERROR] Failed to read star data: -1 (type=NANO, num=3)\n");
}

TEST_F(StarService, ReplyForAnInvalidType)
{
    Brenvik_Frame r;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(star_telemetry_reply(2, 1, r), -6);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    std::vector<uint8_t> bytes(reinterpret_cast<uint8_t*>(&r), reinterpret_cast<uint8_t*>(&r) + sizeof r);
    std::vector<uint8_t> expected(41, 0);
    expected[0] = 2;
    expected[1] = 1;
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(out, "[INFO] Reading telemetry: star_type=PICO, num=1\n");
    EXPECT_EQ(err, "[ERROR] Failed to read star data: -6 (type=PICO, num=1)\n");
}

TEST_F(StarService, ShortPayloadsAreDroppedWithAMessage)
{
    PtyPair pty;
    open_sensor(pty, STAR_NANO, 1);
    std::vector<unsigned char> three = {0x00, 0x01, 0x00};
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    command_callback("Gnc_Service", "Star_sensor_Hardware_Service", "command", "", "", three);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] Invalid command data size: 3\n");
    EXPECT_EQ(out, "[INFO] Command received from Gnc_Service to Star_sensor_Hardware_Service\n");
    EXPECT_TRUE(pty.read_device(100).empty());

    std::vector<unsigned char> one = {0x00};
    testing::internal::CaptureStderr();
    telemetry_callback("Gnc_Service", "Star_sensor_Hardware_Service", "command", "", "", one);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] Invalid telemetry request data size: 1\n");
    EXPECT_TRUE(pty.read_device(100).empty()) << "no query for a short request";
}

TEST_F(StarService, CommandHandlerSendsTheFrame)
{
    PtyPair pty;
    open_sensor(pty, STAR_PICO, 2);
    std::vector<unsigned char> cmd = {0x01, 0x02, 15, 0x7F, 0xEE};
    testing::internal::CaptureStdout();
    command_callback("Any_Service", "Star_sensor_Hardware_Service", "whatever", "", "", cmd);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "[INFO] Command received from Any_Service to Star_sensor_Hardware_Service\n"
              "[INFO] Executing: star_type=PICO, num=2, cmd=15, param=127\n"
              "[OK] Command executed successfully\n");
    EXPECT_EQ(pty.read_device(), std::vector<uint8_t>({0x74, 0xAC, 0x03, 0x7F, uint8_t(0x74 + 0xAC + 0x03 + 0x7F)}));
}
