// The optical ranging service against a pseudo-terminal peer scripted by the
// test: frames, the query with its attempts and failure score, the command
// handler and its counts, configuration and start-up.
#include "Tavrin.h"
#include "optical/optical_answers.h"
#include "support/child_process.h"
#include "support/frame_stream.h"
#include "support/memory_line.h"
#include "support/pty_pair.h"
#include "support/scripted_device.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/socket.h>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(std::initializer_list<int> v) { return Bytes(v.begin(), v.end()); }
const Bytes TELEMETRY_REQUEST = hex({0xCD, 0x90, 0x06, 0x00, 0xFF});

class OpticalLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset();
        testing::internal::CaptureStdout();
        ASSERT_EQ(optical_uart_init(pty.path().c_str(), 115200), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "[OK] OPTICAL UART init dev=" + pty.path() + " baud=115200 fd=" +
                      std::to_string(optical_device.fd) + "\n");
    }
    void TearDown() override { reset(); }
    static void reset()
    {
        serial_line_close(optical_device.fd);
        optical_device = Serial_Device{};
        optical_device.uart_ready = 1;
        optical_command_counts = OpticalCommandCounts{};
    }
    int query(OPTICAL_GNC_Frame& record, OPTICAL_Serial_Frame& stats, uint8_t* raw)
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = read_optical_data(&record, &stats, raw);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return rc;
    }
    void command(const Bytes& payload)
    {
        std::vector<unsigned char> data(payload.begin(), payload.end());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        command_callback("Gnc_Service", "Optical_Hardware_Service", "command", "", "", data);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
    }
    PtyPair pty;
    std::string out, err;
};

std::size_t count_of(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(OpticalFrames, ParameterAndTimeExamples)
{
    const struct {
        uint8_t number;
        int32_t parameter;
        Bytes frame;
    } cases[] = {
        {2, 0x12345678, hex({0xEB, 0x90, 0x02, 0x12, 0x34, 0x56, 0x78, 0x91})},
        {1, 0x12345678, hex({0xEB, 0x90, 0x01, 0x78, 0x00, 0x00, 0x00, 0xF4})},
        {5, -2, hex({0xEB, 0x90, 0x05, 0xFF, 0xFF, 0xFF, 0xFE, 0x7B})},
        {7, 123456, hex({0xEB, 0x90, 0x07, 0x00, 0x00, 0x00, 0x00, 0x82})},
        {3, 300, hex({0xEB, 0x90, 0x03, 0x2C, 0x00, 0x00, 0x00, 0xAA})},
        {11, -1, hex({0xEB, 0x90, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x86})},
    };
    for (const auto& c : cases) {
        optical_fill_param_row(c.number, c.parameter);
        EXPECT_EQ(Bytes(Optical_CMD_para[c.number], Optical_CMD_para[c.number] + 8), c.frame) << int(c.number);
    }
    // A row is rewritten in place: the last parameter wins.
    optical_fill_param_row(2, 0x01020304);
    optical_fill_param_row(2, 0);
    EXPECT_EQ(Bytes(Optical_CMD_para[2], Optical_CMD_para[2] + 8), hex({0xEB, 0x90, 0x02, 0, 0, 0, 0, 0x7D}));

    uint8_t t[10];
    optical_time_frame(1000, 250, t);
    EXPECT_EQ(Bytes(t, t + 10), hex({0xEB, 0x90, 0x0D, 0x00, 0x00, 0x03, 0xE8, 0x00, 0xFA, 0x6D}));

    EXPECT_EQ(Bytes(Optical_CMD[14], Optical_CMD[14] + 5), TELEMETRY_REQUEST);
    EXPECT_EQ(Bytes(Optical_CMD[1], Optical_CMD[1] + 5), hex({0xCD, 0x90, 0x01, 0x00, 0xFF}));
    EXPECT_EQ(Bytes(Optical_CMD[24], Optical_CMD[24] + 5), hex({0xCD, 0x90, 0x04, 0x10, 0xFF}));
}

TEST(OpticalFrames, AnswerConversion)
{
    OpticalValues v;
    auto a = optical_answer(v);
    ASSERT_TRUE(optical_header_ok(a.data()));
    ASSERT_EQ(optical_answer_sum(a.data()), a[227]);
    OPTICAL_GNC_Frame r{};
    optical_convert(a.data(), &r);
    EXPECT_EQ(float(r.far_range), 1234.5f);
    EXPECT_EQ(float(r.near_range), 48.25f);
    EXPECT_EQ(+r.far_mirror_azimuth, -1200);
    EXPECT_EQ(+r.near_mirror_pitch, 3599);
    EXPECT_EQ(+r.cmd_recv_count, 7);
    EXPECT_EQ(+r.tlm_count, 42);
    EXPECT_EQ(+r.ranging_time_sec, 86461u);
    EXPECT_EQ(+r.ranging_time_ms, 999);
    // On the bus: little-endian, the 32-bit time unaligned at offset 14.
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&r);
    EXPECT_EQ(Bytes(b + 14, b + 20), hex({0xBD, 0x51, 0x01, 0x00, 0xE7, 0x03}));
}

TEST_F(OpticalLine, DirectAndParameterSendersRefuseBadNumbers)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(send_optical_command(25), 254);
    EXPECT_EQ(send_optical_param_command(0, 1), -2);
    EXPECT_EQ(send_optical_param_command(12, 1), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[ERROR] Invalid optical command number: 25\n"
              "[ERROR] Invalid optical parameter command number: 0\n"
              "[ERROR] Invalid optical parameter command number: 12\n");
    EXPECT_TRUE(pty.read_device(50).empty());

    testing::internal::CaptureStdout();
    EXPECT_EQ(send_optical_command(1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[DEBUG] Sent optical command (5 bytes): CD 90 01 00 FF\n");
    EXPECT_EQ(pty.read_device(), hex({0xCD, 0x90, 0x01, 0x00, 0xFF}));

    optical_device.uart_ready = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(send_optical_command(1), 255);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] Optical serial not ready for sending\n");
}

// One attempt per row, each answered as the row says; the query goes on to
// the next attempt until an answer is good.
TEST_F(OpticalLine, RejectedAnswersAndTheFailureScore)
{
    auto bad_header = optical_answer();
    bad_header[1] = 0x91;
    auto bad_sum = optical_answer();
    bad_sum[227] ^= 0x10;
    auto short_answer = optical_answer();
    short_answer.resize(100);
    MemoryLine device;
    device.push_answer(bad_header);
    device.push_answer(bad_sum);
    device.push_answer(short_answer);
    device.push_answer(optical_answer());
    OPTICAL_GNC_Frame record{};
    OPTICAL_Serial_Frame stats{};
    uint8_t raw[228];
    ASSERT_EQ(query(record, stats, raw), 0) << err;
    EXPECT_NE(err.find("[ERROR] Invalid optical frame header: EB 91\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[ERROR] Optical checksum mismatch: calc=0x"), std::string::npos) << err;
    EXPECT_NE(err.find("[ERROR] Optical data length error: got 100 bytes, expected 228\n"), std::string::npos) << err;
    EXPECT_EQ(+stats.head_err_cnt, 1);
    EXPECT_EQ(+stats.check_err_cnt, 1);
    EXPECT_EQ(+stats.length_err_cnt, 1);
    EXPECT_EQ(+stats.uart_reset_cnt, 0);
    // Four requests (+4), header and checksum (+2), length (+0), good (-1).
    EXPECT_EQ(+optical_device.consecutive_fail_cnt, 5);
    EXPECT_EQ(device.requests().size(), 4u);
    for (const auto& r : device.requests()) EXPECT_EQ(r, TELEMETRY_REQUEST);
    EXPECT_EQ(Bytes(raw, raw + 228), optical_answer());
    EXPECT_EQ(float(record.far_range), 1234.5f);
    EXPECT_NE(out.find("[INFO] Optical data read successfully\n"), std::string::npos);
}

TEST_F(OpticalLine, AGoodFirstAnswerLeavesTheScore)
{
    optical_device.consecutive_fail_cnt = 3;
    MemoryLine device;
    MemoryLine::Step pieces;
    pieces.answer = optical_answer();
    pieces.pieces = {50};
    pieces.gap = std::chrono::milliseconds(15);
    device.push(pieces);
    OPTICAL_GNC_Frame record{};
    OPTICAL_Serial_Frame stats{};
    uint8_t raw[228];
    ASSERT_EQ(query(record, stats, raw), 0) << err;
    EXPECT_EQ(+optical_device.consecutive_fail_cnt, 3);
    // The first attempt reports its progress as pieces arrive.
    EXPECT_NE(out.find("[DEBUG] Optical reading... (50/228 bytes)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[DEBUG] Optical reading... (228/228 bytes)\n"), std::string::npos) << out;
}

TEST_F(OpticalLine, DebugDumpOfAFortyByteAnswer)
{
    MemoryLine device;
    Bytes forty(40);
    for (int i = 0; i < 40; ++i) forty[i] = uint8_t(0xA0 + i);
    device.push_answer(forty);
    device.push_answer(optical_answer());
    OPTICAL_GNC_Frame record{};
    OPTICAL_Serial_Frame stats{};
    uint8_t raw[228];
    ASSERT_EQ(query(record, stats, raw), 0);
    EXPECT_NE(out.find("[DEBUG] Optical received 40 bytes:\n"
                       "[DEBUG] A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF \n"
                       "[DEBUG] B0 B1 B2 B3 B4 B5 B6 B7 B8 B9 BA BB BC BD BE BF ...\n"),
              std::string::npos)
        << out;
}

// A unit that never answers: ten attempts of one second each, resets after
// the fifth and tenth empty attempt and at the end.
// On the virtual clock: ten silent read phases of a second each.
TEST_F(OpticalLine, SilentUnitCostsThreeResets)
{
    MemoryLine device;
    OPTICAL_GNC_Frame record;
    std::memset(&record, 0x5A, sizeof record);
    OPTICAL_Serial_Frame stats{};
    uint8_t raw[228];
    EXPECT_EQ(query(record, stats, raw), -7);
    EXPECT_EQ(count_of(err, "[ERROR] No response from optical hardware\n"), 10u);
    EXPECT_EQ(count_of(err, "[ERROR] Too many optical timeouts, resetting UART\n"), 2u);
    EXPECT_NE(err.find("[ERROR] Optical read failed after 10 retries\n"), std::string::npos);
    EXPECT_EQ(+stats.uart_reset_cnt, 3);
    EXPECT_EQ(+optical_device.consecutive_fail_cnt, 0);
    EXPECT_EQ(device.requests().size(), 10u);
    EXPECT_EQ(Bytes(raw, raw + 228), Bytes(228, 0));
    const uint8_t* r = reinterpret_cast<const uint8_t*>(&record);
    EXPECT_EQ(Bytes(r, r + 20), Bytes(20, 0));
    EXPECT_GE(optical_device.fd, 0) << "the line was re-opened";
}

TEST_F(OpticalLine, ScorePastNineResetsWhenTheRequestIsSent)
{
    optical_device.consecutive_fail_cnt = 9;
    ScriptedDevice device(pty.master(), 5);
    device.push_answer(optical_answer());
    OPTICAL_GNC_Frame record{};
    OPTICAL_Serial_Frame stats{};
    uint8_t raw[228];
    ASSERT_EQ(query(record, stats, raw), 0) << err;
    EXPECT_NE(out.find("[WARN] Optical no response timeout, UART reset\n"), std::string::npos) << out;
    EXPECT_EQ(+stats.uart_reset_cnt, 1);
    EXPECT_EQ(+optical_device.consecutive_fail_cnt, 0);
}

TEST_F(OpticalLine, ClosedLineAnswersAtOnce)
{
    optical_device.head_err_cnt = 2;
    serial_line_close(optical_device.fd);
    optical_device.line_return.enabled = false;  // a closed line stays closed
    OPTICAL_GNC_Frame record{};
    OPTICAL_Serial_Frame stats{};
    uint8_t raw[228];
    std::memset(raw, 0x77, sizeof raw);
    EXPECT_EQ(query(record, stats, raw), -1);
    EXPECT_EQ(out + err, "");
    EXPECT_EQ(+stats.head_err_cnt, 2);
    EXPECT_EQ(Bytes(raw, raw + 228), Bytes(228, 0));
}

// A line that reports readable but gives no bytes (the device has gone):
// each read phase ends at once instead of spinning, and the query finishes.
TEST_F(OpticalLine, EndOfFileEndsTheReadPhase)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ::shutdown(sv[1], SHUT_WR);
    int pty_fd = optical_device.fd;
    optical_device.fd = sv[0];
    OPTICAL_GNC_Frame record{};
    OPTICAL_Serial_Frame stats{};
    uint8_t raw[228];
    int rc = query(record, stats, raw);
    if (optical_device.fd == sv[0]) {
        ::close(sv[0]);
        optical_device.fd = pty_fd;
    } else {
        ::close(pty_fd);  // a reset closed the socket and re-opened the pty
    }
    ::close(sv[1]);
    EXPECT_EQ(rc, -7);
    EXPECT_GE(count_of(err, "[WARN] Optical line readable but empty (end of file), read ended\n"), 1u) << err;
    EXPECT_GE(count_of(err, "[ERROR] No response from optical hardware\n"), 1u);
}

// What each command payload does on the line, in the log and in the three
// command counts.
TEST_F(OpticalLine, CommandPayloads)
{
    struct Row {
        const char* name;
        Bytes payload;
        Bytes on_line;
        std::string out, err;
        int accepted, written;  // increments
    };
    const Row rows[] = {
        {"console's bootstrap", {0x00, 0x01, 0x00}, hex({0xCD, 0x90, 0x01, 0x00, 0xFF}),
         "[DEBUG] Sent optical command (5 bytes): CD 90 01 00 FF\n[INFO] Sent optical direct command: num=1\n", "", 1, 1},
        {"empty", {}, {}, "", "", 0, 0},
        {"one byte", {0x00}, {}, "", "[ERROR] Invalid optical command data length: 1\n", 0, 0},
        {"direct 25", {0x00, 25}, {}, "[INFO] Sent optical direct command: num=25\n",
         "[ERROR] Invalid optical command number: 25\n", 0, 0},
        {"parameter 5 bytes", {0x01, 0x02, 1, 2, 3}, {}, "", "[ERROR] Invalid data length for parameter command\n", 0, 0},
        {"parameter -1", {0x01, 0x02, 0xFF, 0xFF, 0xFF, 0xFF}, hex({0xEB, 0x90, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x79}),
         "[DEBUG] Sent optical command (8 bytes): EB 90 02 FF FF FF FF 79\n"
         "[INFO] Sent optical param command: num=2, param=-1\n", "", 1, 1},
        {"parameter 12", {0x01, 12, 0, 0, 0, 0}, {}, "[INFO] Sent optical param command: num=12, param=0\n",
         "[ERROR] Invalid optical parameter command number: 12\n", 0, 0},
        {"time 7 bytes", {0x02, 0, 0xE8, 0x03, 0, 0, 0xFA}, {}, "", "[ERROR] Invalid data length for time command\n", 0, 0},
        {"time", {0x02, 0, 0xE8, 0x03, 0, 0, 0xFA, 0x00}, hex({0xEB, 0x90, 0x0D, 0, 0, 0x03, 0xE8, 0x00, 0xFA, 0x6D}),
         "[DEBUG] Sent optical command (10 bytes): EB 90 0D 00 00 03 E8 00 FA 6D\n"
         "[INFO] Sent optical time command: sec=1000, ms=250\n", "", 1, 1},
        {"type 3", {0x03, 0x01}, {}, "", "[ERROR] Unknown optical command type: 3\n", 0, 0},
    };
    int received = 0, accepted = 0, written = 0;
    for (const Row& r : rows) {
        command(r.payload);
        ++received;
        accepted += r.accepted;
        written += r.written;
        EXPECT_EQ(out, r.out) << r.name;
        EXPECT_EQ(err, r.err) << r.name;
        EXPECT_EQ(pty.read_device(r.on_line.empty() ? 50 : 500), r.on_line) << r.name;
        EXPECT_EQ(+optical_command_counts.received, received) << r.name;
        EXPECT_EQ(+optical_command_counts.accepted, accepted) << r.name;
        EXPECT_EQ(+optical_command_counts.written, written) << r.name;
    }
    // A command that passes its checks but finds the line disabled is not
    // counted as written.
    optical_device.uart_ready = 0;
    command({0x00, 0x02, 0x00});
    EXPECT_EQ(err, "[ERROR] Optical serial not ready for sending\n");
    EXPECT_EQ(out, "[INFO] Sent optical direct command: num=2\n");
    EXPECT_EQ(+optical_command_counts.accepted, accepted + 1);
    EXPECT_EQ(+optical_command_counts.written, written);
}

TEST_F(OpticalLine, CommandCountsWrapAndTravelToTheConsole)
{
    optical_command_counts = OpticalCommandCounts{250, 240, 230};
    for (int i = 0; i < 10; ++i) command({0x00, 0x01, 0x00});
    EXPECT_EQ(+optical_command_counts.received, 4);
    EXPECT_EQ(+optical_command_counts.accepted, 250);
    EXPECT_EQ(+optical_command_counts.written, 240);
    pty.read_device(100);

    ScriptedDevice device(pty.master(), 5);
    auto bad = optical_answer();
    bad[0] = 0x00;
    device.push_answer(bad);
    device.push_answer(optical_answer());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    OpticalReply r = optical_telemetry_reply();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(r.status, 0);
    OPTICAL_GNC_Frame record{};
    optical_convert(optical_answer().data(), &record);
    EXPECT_EQ(std::memcmp(r.gnc, &record, 20), 0);
    EXPECT_EQ(Bytes(r.gnc + 20, r.gnc + 28), hex({4, 250, 240, 1, 0, 0, 0, 1}));
    EXPECT_EQ(+r.line.serial_id, 10);
    EXPECT_EQ(+r.line.head_err_cnt, 1);
}

TEST_F(OpticalLine, OnlyCommandRequestsStartingWithFfAreAnswered)
{
    ScriptedDevice device(pty.master(), 5);
    const std::pair<std::string, std::vector<unsigned char>> ignored[] = {
        {"avg_command", {0xFF}}, {"telemetry", {0xFF}}, {"command", {}}, {"command", {0x01}}};
    for (auto request : ignored) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        telemetry_callback("Gnc_Service", "Optical_Hardware_Service", request.first, "", "", request.second);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
    EXPECT_TRUE(device.requests().empty());
    device.push_answer(optical_answer());
    std::vector<unsigned char> accepted = {0xFF};
    testing::internal::CaptureStdout();
    telemetry_callback("Gnc_Service", "Optical_Hardware_Service", "command", "", "", accepted);
    std::string o = testing::internal::GetCapturedStdout();
    EXPECT_NE(o.find("[INFO] Successfully sent optical telemetry data\n"), std::string::npos) << o;
    EXPECT_EQ(device.requests().size(), 1u);
}

// Commands from one thread and queries from another: no command byte reaches
// the unit between a telemetry request and its answer.
TEST_F(OpticalLine, CommandsNeverLandInsideAQuery)
{
    auto is_request = [](const Bytes& b) -> std::size_t {
        // Skip whole command frames (CD 90 .. FF, EB 90 0D time, EB 90 n
        // parameter); the telemetry request ends the scan.
        std::size_t i = 0;
        while (i < b.size()) {
            if (b.size() - i >= 5 && b[i] == 0xCD) {
                if (Bytes(b.begin() + long(i), b.begin() + long(i) + 5) == TELEMETRY_REQUEST) return i + 5;
                i += 5;
            } else if (b.size() - i >= 3 && b[i] == 0xEB) {
                i += b[i + 2] == 0x0D ? 10 : 8;
            } else {
                return 0;
            }
        }
        return 0;
    };
    LineRecorder unit(pty.master(), is_request, optical_answer(), 15);
    std::atomic<bool> done{false};
    std::thread commands([&] {
        std::vector<unsigned char> time_cmd = {0x02, 0, 1, 0, 0, 0, 2, 0};
        while (!done) {
            command_callback("Gnc_Service", "Optical_Hardware_Service", "command", "", "", time_cmd);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int good = 0;
    for (int i = 0; i < 10; ++i) good += optical_telemetry_reply().status == 0;
    done = true;
    commands.join();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(good, 10);
    EXPECT_EQ(unit.requests(), 10u);
    EXPECT_EQ(unit.bytes_inside_exchanges(), 0u);
    EXPECT_GT(optical_command_counts.written, 0);
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

TEST(OpticalConfigFile, MembersAndMessages)
{
    OpticalConfig c;
    testing::internal::CaptureStdout();
    ASSERT_EQ(parse_optical_config_file(
                  config_file("tavrin_ok.json", R"({"optical": {"device": "/dev/ttyS3", "baudrate": 115200}})").c_str(),
                  &c),
              0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[INFO] Optical config loaded: device=/dev/ttyS3, baudrate=115200\n");
    EXPECT_EQ(c.device, "/dev/ttyS3");
    const struct {
        const char* name;
        const char* text;
        const char* message;
    } bad[] = {
        {"tavrin_nosection.json", R"({"vision": {}})", "[ERROR] No 'optical' section found in config file\n"},
        {"tavrin_broken.json", "{\"optical\": [", "[ERROR] Failed to parse JSON: "},
        {"tavrin_nodevice.json", R"({"optical": {"baudrate": 9600}})", "[ERROR] 'device' field is required in optical config\n"},
        {"tavrin_nobaud.json", R"({"optical": {"device": "/dev/x"}})", "[ERROR] 'baudrate' field is required in optical config\n"},
        {"tavrin_types.json", R"({"optical": {"device": "/dev/x", "baudrate": "fast"}})", "[ERROR] Invalid value in 'optical' section"},
    };
    for (const auto& b : bad) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_optical_config_file(config_file(b.name, b.text).c_str(), &c), -1) << b.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(b.message, 0), 0u) << b.name;
    }
}

TEST(OpticalStartUp, MissingBaudRateExits255)
{
    std::string path = config_file("tavrin_start_nobaud.json", R"({"optical": {"device": "/dev/x"}})");
    ChildProcess p(TAVRIN_PATH, {path});
    int status = p.wait_exit(std::chrono::seconds(20));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_EQ(p.out(), "[INFO] Starting Optical Hardware Service...\n[INFO] Using config file: " + path + "\n");
    EXPECT_EQ(p.err(),
              "[ERROR] 'baudrate' field is required in optical config\n"
              "[ERROR] Failed to parse config file: " + path + "\n");
}

// Started with standard input closed, the line opens as descriptor 0, and
// commands must still reach it.
TEST_F(OpticalLine, ALineOnDescriptorZeroIsUsed)
{
    serial_line_close(optical_device.fd);
    int rc = -1, fd = -1;
    Bytes on_line;
    with_standard_input_closed([&] {
        rc = optical_uart_init(pty.path().c_str(), 115200);  // prints: a capture's file would take 0
        fd = optical_device.fd;
        if (rc == 0) command({0x00, 0x01, 0x00});
        on_line = pty.read_device(500);
        serial_line_close(optical_device.fd);
    });
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(fd, 0);
    EXPECT_EQ(on_line, hex({0xCD, 0x90, 0x01, 0x00, 0xFF})) << err;
}
