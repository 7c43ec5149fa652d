// The vision service against a pseudo-terminal peer scripted by the test:
// frames, the timed query and its counts, the command handler, the
// configuration and start-up.
#include "Pellwyn.h"
#include "support/child_process.h"
#include "support/frame_stream.h"
#include "support/memory_line.h"
#include "support/pty_pair.h"
#include "support/scripted_device.h"
#include "vision/vision_answers.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sys/stat.h>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(std::initializer_list<int> v) { return Bytes(v.begin(), v.end()); }

class VisionLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset();
        testing::internal::CaptureStdout();
        ASSERT_EQ(vision_uart_init(pty.path().c_str(), 115200), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "[OK] VISION UART init dev=" + pty.path() + " baud=115200 fd=" + std::to_string(vision_device.fd) +
                      "\n");
        vision_device.uart_ready = 1;
    }
    void TearDown() override { reset(); }
    static void reset()
    {
        serial_line_close(vision_device.fd);
        vision_device = Serial_Device{};
    }
    int query(VISION_Info_Frame& record, VISION_Serial_Frame& stats, uint8_t* raw)
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = read_vision_data(&record, &stats, raw);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return rc;
    }
    void command(const Bytes& payload)
    {
        std::vector<unsigned char> data(payload.begin(), payload.end());
        testing::internal::CaptureStderr();
        command_callback("Gnc_Service", "Vision_Hardware_Service", "command", "", "", data);
        err = testing::internal::GetCapturedStderr();
    }
    PtyPair pty;
    std::string out, err;
};

}  // namespace

TEST(VisionFrames, WorkedExamples)
{
    VisionParamFrame p;
    ASSERT_TRUE(vision_param_frame(1, 3.7f, p));
    EXPECT_EQ(Bytes(p.begin(), p.end()), hex({0xEB, 0x90, 0x1E, 0x00, 0x06, 0x01, 0x01, 0x03, 0, 0, 0, 0x29}));
    ASSERT_TRUE(vision_param_frame(10, -2.9f, p));
    EXPECT_EQ(Bytes(p.begin(), p.end()), hex({0xEB, 0x90, 0x1E, 0x00, 0x06, 0x0A, 0x0A, 0xFE, 0, 0, 0, 0x36}));
    ASSERT_TRUE(vision_param_frame(6, 1.5f, p));
    EXPECT_EQ(Bytes(p.begin(), p.end()), hex({0xEB, 0x90, 0x1E, 0x00, 0x06, 0x06, 0x06, 0x3F, 0xC0, 0, 0, 0x2F}));

    auto t = vision_time_frame(1000, 250);
    EXPECT_EQ(Bytes(t.begin(), t.end()),
              hex({0xEB, 0x90, 0x1E, 0x00, 0x08, 0x08, 0x08, 0x00, 0x00, 0x03, 0xE8, 0x00, 0xFA, 0x1B}));

    const float q[4] = {1.0f, 0.0f, 0.0f, 0.0f};
    auto f = vision_quaternion_frame(q, 0x01);
    Bytes expected = hex({0xEB, 0x90, 0x1E, 0x00, 0x13, 0x07, 0x07, 0x3F, 0x80, 0x00, 0x00});
    expected.resize(expected.size() + 12, 0x00);
    expected.push_back(0x01);
    expected.push_back(0xFF);
    EXPECT_EQ(Bytes(f.begin(), f.end()), expected);

    EXPECT_EQ(Bytes(VISION_HEALTH_QUERY, VISION_HEALTH_QUERY + 7), hex({0xEB, 0x90, 0x0F, 0x00, 0x01, 0xA5, 0xB5}));
}

TEST(VisionFrames, ParameterValuesAreTruncatedToOneByte)
{
    const struct {
        float value;
        uint8_t byte;
    } cases[] = {
        {255.9f, 0xFF}, {256.0f, 0x00}, {-1.0f, 0xFF}, {-0.99f, 0x00}, {1e10f, 0x00}, {-1e10f, 0x00},
        {std::numeric_limits<float>::quiet_NaN(), 0x00}, {std::numeric_limits<float>::infinity(), 0x00},
        {2147483520.0f, 0x80},  // the largest float below 2^31 still converts
    };
    for (const auto& c : cases) {
        VisionParamFrame p;
        ASSERT_TRUE(vision_param_frame(3, c.value, p));
        EXPECT_EQ(p[7], c.byte) << c.value;
        unsigned sum = 0;
        for (int i = 2; i < 11; ++i) sum += p[i];
        EXPECT_EQ(p[11], uint8_t(sum)) << c.value;
    }
    for (uint8_t n : {0, 7, 8, 9, 15, 255}) {
        VisionParamFrame p;
        EXPECT_FALSE(vision_param_frame(n, 1.0f, p)) << int(n);
    }
}

TEST(VisionFrames, AnswerConversion)
{
    VisionValues v;
    auto a = vision_answer(v);
    ASSERT_TRUE(vision_header_ok(a.data()));
    ASSERT_EQ(vision_answer_sum(a.data()), a[169]);
    VISION_Info_Frame r{};
    vision_convert(a.data(), &r);
    EXPECT_EQ(+r.line_of_sight_flag_far, 3);
    EXPECT_EQ(+r.line_of_sight_flag_close, 2);
    EXPECT_EQ(float(r.Line_Distance_far), 187.25f);
    EXPECT_EQ(float(r.Line_Distance_close), 19.5f);
    // The record as it travels on the bus: little-endian, packed.
    Bytes bus(reinterpret_cast<uint8_t*>(&r), reinterpret_cast<uint8_t*>(&r) + sizeof r);
    for (int i = 0; i < 6; ++i) {
        const uint8_t* p = bus.data() + 10 + 9 * i;
        float alpha, beta;
        std::memcpy(&alpha, p + 1, 4);
        std::memcpy(&beta, p + 5, 4);
        EXPECT_EQ(p[0], v.recs[i].state) << i;
        EXPECT_EQ(alpha, v.recs[i].alpha) << i;
        EXPECT_EQ(beta, v.recs[i].beta) << i;
    }
    a[2] = 0xF1;
    EXPECT_FALSE(vision_header_ok(a.data()));
}

// Every outcome of a query through a real line, with its counts.
TEST_F(VisionLine, QueryOutcomes)
{
    auto bad_header = vision_answer();
    bad_header[2] = 0xF1;
    auto bad_sum = vision_answer();
    bad_sum[169] ^= 0x01;
    auto partial = vision_answer();
    partial.resize(100);
    struct Row {
        const char* name;
        Bytes answer;  // empty: silent
        int rc;
        int head, check, length, consecutive;
        const char* message;
    };
    const Row rows[] = {
        {"good", vision_answer(), 0, 0, 0, 0, 0, "[INFO] Vision数据读取成功，连续失败计数清零\n"},
        {"header", bad_header, -5, 1, 0, 0, 1, "[ERROR] Invalid vision frame header: EB 90 F1\n"},
        {"checksum", bad_sum, -9, 1, 1, 0, 2, "[ERROR] Vision校验和错误: 计算=0x"},
        {"silent", {}, -10, 1, 1, 1, 3, "[ERROR] Vision超时 ("},
        {"partial", partial, -10, 1, 1, 2, 4, "ms), 收到100/170字节\n"},
        {"good again", vision_answer(), 0, 1, 1, 2, 0, "[INFO] Vision数据读取成功"},
    };
    ScriptedDevice device(pty.master(), 7);
    for (const Row& r : rows) {
        if (r.answer.empty()) {
            device.push_silence();
        } else {
            device.push_answer(r.answer);
        }
        VISION_Info_Frame record{};
        VISION_Serial_Frame stats{};
        uint8_t raw[170];
        EXPECT_EQ(query(record, stats, raw), r.rc) << r.name;
        EXPECT_EQ(+stats.head_err_cnt, r.head) << r.name;
        EXPECT_EQ(+stats.check_err_cnt, r.check) << r.name;
        EXPECT_EQ(+stats.length_err_cnt, r.length) << r.name;
        EXPECT_EQ(+stats.uart_reset_cnt, 0) << r.name;
        EXPECT_EQ(+vision_device.consecutive_fail_cnt, r.consecutive) << r.name;
        EXPECT_NE((out + err).find(r.message), std::string::npos) << r.name << ": " << out << err;
        Bytes expected_raw = r.answer;
        expected_raw.resize(170, 0);
        EXPECT_EQ(Bytes(raw, raw + 170), expected_raw) << r.name << ": raw holds what arrived, zeros after";
    }
    EXPECT_EQ(device.requests().size(), 6u);
    for (const auto& q : device.requests()) EXPECT_EQ(q, Bytes(VISION_HEALTH_QUERY, VISION_HEALTH_QUERY + 7));
}

TEST_F(VisionLine, DebugLinesOfAGoodQuery)
{
    ScriptedDevice device(pty.master(), 7);
    auto a = vision_answer();
    device.push(ScriptedDevice::Step{a, 100, 2});
    VISION_Info_Frame record{};
    VISION_Serial_Frame stats{};
    uint8_t raw[170];
    ASSERT_EQ(query(record, stats, raw), 0) << err;
    EXPECT_EQ(out.rfind("[DEBUG] read_vision_data called, consecutive_fail_cnt=0, length_err_cnt=0\n", 0), 0u) << out;
    EXPECT_NE(out.find("字节，累计 170/170\n"), std::string::npos) << out;
    std::string dump = "[DEBUG] Vision总共收到 170 字节:\n[DEBUG] ";
    char b[4];
    for (int i = 0; i < 32; ++i) {
        if (i == 16) dump += "\n[DEBUG] ";
        std::snprintf(b, sizeof b, "%02X ", a[i]);
        dump += b;
    }
    dump += "...\n";
    EXPECT_NE(out.find(dump), std::string::npos) << out;
}

// Ten failed queries in a row: the eleventh resets the line before its
// health query; a good answer after nine failures clears the run instead.
TEST_F(VisionLine, ResetOnTheEleventhQuery)
{
    MemoryLine device;
    VISION_Info_Frame record{};
    VISION_Serial_Frame stats{};
    uint8_t raw[170];
    device.push_silence(9);
    for (int i = 0; i < 9; ++i) query(record, stats, raw);
    ASSERT_EQ(+vision_device.consecutive_fail_cnt, 9);
    device.push_answer(vision_answer());
    EXPECT_EQ(query(record, stats, raw), 0);
    EXPECT_EQ(+vision_device.consecutive_fail_cnt, 0);
    EXPECT_EQ(out.find("[WARN] Resetting"), std::string::npos);

    device.push_silence(10);
    for (int i = 0; i < 10; ++i) query(record, stats, raw);
    ASSERT_EQ(+vision_device.consecutive_fail_cnt, 10);
    EXPECT_EQ(+vision_device.uart_reset_cnt, 0);
    device.push_answer(vision_answer());
    EXPECT_EQ(query(record, stats, raw), 0) << err;
    const std::string warn = "[WARN] Resetting Vision UART (连续10次失败)\n";
    const std::string done = "[INFO] Vision UART复位成功，总复位次数=1\n";
    ASSERT_NE(out.find(warn), std::string::npos) << out;
    EXPECT_LT(out.find(warn), out.find(done));
    EXPECT_EQ(+stats.uart_reset_cnt, 1);
    EXPECT_EQ(device.requests().size(), 21u) << "the reset comes before the query, which still goes out";
}

TEST_F(VisionLine, ClosedLineAnswersAtOnceWithZeros)
{
    vision_device.length_err_cnt = 4;
    vision_device.uart_reset_cnt = 2;
    serial_line_close(vision_device.fd);
    vision_device.line_return.enabled = false;  // a closed line stays closed
    VISION_Info_Frame record{};
    VISION_Serial_Frame stats{};
    uint8_t raw[170];
    std::memset(raw, 0xAA, sizeof raw);
    EXPECT_EQ(query(record, stats, raw), -1);
    EXPECT_EQ(err, "[DEBUG] Vision serial not open, fd=-1\n");
    EXPECT_EQ(out, "");
    EXPECT_EQ(Bytes(raw, raw + 170), Bytes(170, 0));
    EXPECT_EQ(+stats.length_err_cnt, 4);
    EXPECT_EQ(+stats.uart_reset_cnt, 2);
}

// The unit stops reading and the line's queue is full (a query keeps what
// is queued: commands share the line): the query's send fails within its
// deadline instead of blocking the service, and takes the queue with it,
// so the next query is sent and only waits for its answer.
TEST_F(VisionLine, AUnitThatStopsReadingCostsOneFailedSend)
{
    int filler = ::open(pty.path().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(filler, 0);
    // Full for good: the pseudo-terminal moves bytes on to the unit's side
    // for a while after the first refusal.
    const Bytes block(4096, 0);
    for (int refused = 0; refused < 5;) {
        if (::write(filler, block.data(), block.size()) > 0) {
            refused = 0;
        } else {
            ++refused;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ::close(filler);
    VISION_Info_Frame record{};
    VISION_Serial_Frame stats{};
    uint8_t raw[170];
    EXPECT_EQ(query(record, stats, raw), -2);
    EXPECT_EQ(err, "[ERROR] Failed to send health query command to vision\n");
    EXPECT_EQ(query(record, stats, raw), -10) << err;
    EXPECT_EQ(+vision_device.consecutive_fail_cnt, 2);
}

// What each command payload puts on the line, and what is refused.
TEST_F(VisionLine, CommandPayloads)
{
    auto le = [](float f) {
        uint8_t b[4];
        std::memcpy(b, &f, 4);
        return Bytes(b, b + 4);
    };
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    Bytes quaternion18 = cat({{7}, le(1.0f), le(0.0f), le(0.0f), le(0.0f), {0x01}});
    Bytes quaternion17(quaternion18.begin(), quaternion18.end() - 1);
    auto q_frame = vision_quaternion_frame(std::array<float, 4>{1.0f, 0.0f, 0.0f, 0.0f}.data(), 0x01);
    auto t_frame = vision_time_frame(1000, 250);
    VisionParamFrame p1;
    vision_param_frame(1, 3.7f, p1);
    struct Row {
        const char* name;
        Bytes payload;
        Bytes on_line;
        std::string error;
    };
    const Row rows[] = {
        {"console's bootstrap", {0x00}, {}, "[ERROR] Invalid data length for parameter command\n"},
        {"empty", {}, {}, ""},
        {"quaternion short", quaternion17, {}, "[ERROR] Invalid data length for quaternion command\n"},
        {"quaternion", cat({quaternion18, {0x99}}), Bytes(q_frame.begin(), q_frame.end()), ""},
        {"time short", {8, 0xE8, 0x03, 0, 0, 0xFA}, {}, "[ERROR] Invalid data length for time command\n"},
        {"time", {8, 0xE8, 0x03, 0, 0, 0xFA, 0}, Bytes(t_frame.begin(), t_frame.end()), ""},
        {"parameter 1", cat({{1}, le(3.7f)}), Bytes(p1.begin(), p1.end()), ""},
        {"parameter short", {1, 0, 0, 0}, {}, "[ERROR] Invalid data length for parameter command\n"},
        {"parameter 9 unknown", cat({{9}, le(1.0f)}), {}, ""},
        {"parameter 15 unknown", cat({{15}, le(1.0f)}), {}, ""},
    };
    for (const Row& r : rows) {
        command(r.payload);
        EXPECT_EQ(err, r.error) << r.name;
        EXPECT_EQ(pty.read_device(r.on_line.empty() ? 50 : 500), r.on_line) << r.name;
    }
    // A line that is not enabled takes no frames, silently.
    vision_device.uart_ready = 0;
    command(cat({{1}, le(3.7f)}));
    EXPECT_EQ(err, "");
    EXPECT_TRUE(pty.read_device(50).empty());
}

TEST_F(VisionLine, RepliesCarryTheStatisticsAndResetEnable)
{
    ScriptedDevice device(pty.master(), 7);
    auto bad = vision_answer();
    bad[2] = 0xF1;
    device.push_answer(bad);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    VisionReply r = vision_telemetry_reply();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.status, -5);
    Bytes expected(70, 0);
    expected[64] = 9;  // line id
    expected[65] = 1;  // one header error
    expected[69] = 1;  // reset enabled
    EXPECT_EQ(Bytes(r.gnc, r.gnc + 70), expected);
    EXPECT_EQ(+r.line.serial_id, 9);
    EXPECT_EQ(Bytes(r.raw, r.raw + 170), bad);

    device.push_answer(vision_answer());
    testing::internal::CaptureStdout();
    r = vision_telemetry_reply();
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(r.status, 0);
    VISION_Info_Frame record{};
    vision_convert(vision_answer().data(), &record);
    EXPECT_EQ(std::memcmp(r.gnc, &record, 64), 0);
    EXPECT_EQ(r.gnc[65], 1) << "the header error is still counted";
}

TEST_F(VisionLine, OnlyCommandRequestsStartingWithFfAreAnswered)
{
    ScriptedDevice device(pty.master(), 7);
    const std::pair<std::string, std::vector<unsigned char>> ignored[] = {
        {"avg_command", {0xFF}}, {"telemetry", {0xFF}}, {"command", {}}, {"command", {0x00}}};
    for (auto request : ignored) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        telemetry_callback("Gnc_Service", "Vision_Hardware_Service", request.first, "", "", request.second);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
    EXPECT_TRUE(device.requests().empty());
    device.push_silence();
    std::vector<unsigned char> accepted = {0xFF, 0x12};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    telemetry_callback("Gnc_Service", "Vision_Hardware_Service", "command", "", "", accepted);
    testing::internal::GetCapturedStdout();
    std::string e = testing::internal::GetCapturedStderr();
    EXPECT_NE(e.find("[ERROR] Failed to read vision data: Timeout while waiting for response\n"), std::string::npos)
        << e;
    EXPECT_EQ(device.requests().size(), 1u);
}

// Commands from one thread and queries from another: no command byte ever
// reaches the unit between a health query and its answer, and every frame
// arrives whole.
TEST_F(VisionLine, CommandsNeverLandInsideAQuery)
{
    auto is_query = [](const Bytes& b) -> std::size_t {
        // Command frames are whole and are skipped; a health query is the
        // request.
        std::size_t i = 0;
        while (i + 5 <= b.size()) {
            if (b[i] != 0xEB || b[i + 1] != 0x90) return 0;
            std::size_t len = 6 + b[i + 4];
            if (i + len > b.size()) return 0;
            if (b[i + 2] == 0x0F) return i + len;
            i += len;
        }
        return 0;
    };
    LineRecorder unit(pty.master(), is_query, vision_answer(), 10);
    std::atomic<bool> done{false};
    std::thread commands([&] {
        std::vector<unsigned char> time_cmd = {8, 1, 0, 0, 0, 2, 0};
        while (!done) {
            command_callback("Gnc_Service", "Vision_Hardware_Service", "command", "", "", time_cmd);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int good = 0;
    for (int i = 0; i < 20; ++i) good += vision_telemetry_reply().status == 0;
    done = true;
    commands.join();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(good, 20);
    EXPECT_EQ(unit.requests(), 20u);
    EXPECT_EQ(unit.bytes_inside_exchanges(), 0u);
    // Everything on the line parses as whole frames with good checksums.
    Bytes all = unit.all_bytes();
    std::size_t i = 0, commands_seen = 0;
    while (i < all.size()) {
        ASSERT_GE(all.size() - i, 7u) << "frame cut off at " << i;
        ASSERT_EQ(all[i], 0xEB) << "at " << i;
        ASSERT_EQ(all[i + 1], 0x90) << "at " << i;
        std::size_t len = 6 + all[i + 4];
        ASSERT_LE(i + len, all.size());
        unsigned sum = 0;
        for (std::size_t k = i + 2; k < i + len - 1; ++k) sum += all[k];
        ASSERT_EQ(all[i + len - 1], uint8_t(sum)) << "at " << i;
        commands_seen += all[i + 2] == 0x1E;
        i += len;
    }
    EXPECT_GT(commands_seen, 0u);
}

// ---------------------------------------------------------------------------
// Configuration and start-up

namespace {
std::string write_file(const std::string& dir, const std::string& name, const std::string& text)
{
    std::string path = dir + "/" + name;
    std::ofstream(path) << text;
    return path;
}
}  // namespace

TEST(VisionConfigFile, MembersAndMessages)
{
    std::string dir = testing::TempDir();
    VisionConfig c;
    testing::internal::CaptureStdout();
    ASSERT_EQ(parse_vision_config_file(
                  write_file(dir, "pellwyn_ok.json", R"({"vision": {"device": "/dev/ttyS9", "baudrate": 57600}, "x": 1})")
                      .c_str(),
                  &c),
              0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[INFO] Vision config loaded: device=/dev/ttyS9, baudrate=57600\n");
    EXPECT_EQ(c.device, "/dev/ttyS9");
    EXPECT_EQ(c.baudrate, 57600);

    const struct {
        const char* name;
        const char* text;
        const char* message;
    } bad[] = {
        {"pellwyn_nosection.json", R"({"optical": {}})", "[ERROR] No 'vision' section found in config file\n"},
        {"pellwyn_broken.json", R"({"vision": )", "[ERROR] Failed to parse JSON: "},
        {"pellwyn_nodevice.json", R"({"vision": {"baudrate": 9600}})", "[ERROR] 'device' field is required in vision config\n"},
        {"pellwyn_nobaud.json", R"({"vision": {"device": "/dev/x"}})", "[ERROR] 'baudrate' field is required in vision config\n"},
        {"pellwyn_types.json", R"({"vision": {"device": 5, "baudrate": 9600}})", "[ERROR] Invalid value in 'vision' section"},
    };
    for (const auto& b : bad) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_vision_config_file(write_file(dir, b.name, b.text).c_str(), &c), -1) << b.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(b.message, 0), 0u) << b.name;
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_vision_config_file("/nonexistent/Pellwyn.json", &c), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] Cannot open config file: /nonexistent/Pellwyn.json\n");
}

TEST(VisionStartUp, ConfigurationComesFromTheWorkingDirectory)
{
    std::string dir = testing::TempDir() + "pellwyn_start_missing";
    ::mkdir(dir.c_str(), 0700);
    ::unlink((dir + "/Pellwyn.json").c_str());
    ChildProcess p(PELLWYN_PATH, {"Other.json"}, dir);
    int status = p.wait_exit(std::chrono::seconds(20));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_EQ(p.err(),
              "[ERROR] Cannot open config file: Pellwyn.json\n"
              "[ERROR] Failed to parse config file: Pellwyn.json\n");
    EXPECT_EQ(p.out(), "");
}

// Started with standard input closed, the line opens as descriptor 0, and
// commands must still reach it.
TEST_F(VisionLine, ALineOnDescriptorZeroIsUsed)
{
    serial_line_close(vision_device.fd);
    const uint8_t frame[] = {0xEB, 0x90, 0x01};
    int rc = -1, fd = -1, sent = -1;
    Bytes on_line;
    testing::internal::CaptureStdout();  // first: its file would take descriptor 0
    with_standard_input_closed([&] {
        rc = vision_uart_init(pty.path().c_str(), 115200);
        fd = vision_device.fd;
        if (rc == 0) sent = Vision_send_Buffer(frame, sizeof frame);
        on_line = pty.read_device(500);
        serial_line_close(vision_device.fd);
    });
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(fd, 0);
    EXPECT_EQ(sent, DEV_OK);
    EXPECT_EQ(on_line, Bytes(frame, frame + sizeof frame));
}
