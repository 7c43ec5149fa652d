// The wheel service against pseudo-terminal wheels written to by the test.
#include "Skardel.h"
#include "byte_order.h"
#include "flywheel/wheel_frames.h"
#include "serial_port.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

std::vector<unsigned char> command(uint8_t wheel, uint8_t mode, float v1, float v2)
{
    std::vector<unsigned char> c(10, 0);
    c[0] = wheel;
    c[1] = mode;
    store_le_float(&c[2], v1);
    store_le_float(&c[6], v2);
    return c;
}

void reset_service()
{
    for (auto& w : flywheels) {
        serial_line_close(w.fd);
        w = Flywheel_Device();
    }
    for (auto& c : cmd_cache) c = Flywheel_Cmd{};
    flywheel_count = 0;
}

// Three wheels (ids 0, 1, 2) on their own ptys, opened quietly.
class Wheels : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_service();
        FlywheelConfig c[3];
        for (int i = 0; i < 3; ++i) {
            c[i].id = uint8_t(i);
            c[i].device = pty[i].path();
            c[i].hardware_id = uint8_t(0x11 * (i + 1));
        }
        testing::internal::CaptureStdout();
        ASSERT_EQ(flywheel_open_configured(c, 3), 3);
        testing::internal::GetCapturedStdout();
    }
    void TearDown() override { reset_service(); }

    // Polls until the service has taken what the test wrote.
    int poll(std::string* out = nullptr, std::string* err = nullptr)
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        usleep(20000);
        int frames = check_and_receive_serial_data();
        std::string o = testing::internal::GetCapturedStdout();
        std::string e = testing::internal::GetCapturedStderr();
        if (out) *out = o;
        if (err) *err = e;
        return frames;
    }
    FlywheelReply reply(uint8_t wheel)
    {
        FlywheelReply r{};
        EXPECT_TRUE(flywheel_telemetry_reply("command", {wheel, 0xFF}, r));
        return r;
    }
    PtyPair pty[3];
};

std::string config(const std::string& name, const std::string& text)
{
    std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

}  // namespace

TEST(FlywheelConfigFile, DefaultsAndSkippedEntries)
{
    std::string path = config("skardel.json", R"({"flywheels": [
        {"id": 3, "device": "/dev/a"},
        {"device": "/dev/b"},
        {"id": 4},
        {"id": 5, "device": "", "baudrate": 9600, "hardware_id": 200},
        {"id": "x", "device": "/dev/c"}
    ]})");
    FlywheelConfig c[FLYWHEEL_MAX];
    testing::internal::CaptureStderr();
    ASSERT_EQ(parse_flywheel_config_file(path, c, FLYWHEEL_MAX), 2);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(c[0].id, 3);
    EXPECT_EQ(c[0].hardware_id, 0x44);
    EXPECT_EQ(c[0].baudrate, 115200);
    EXPECT_EQ(c[1].id, 5);
    EXPECT_EQ(c[1].device, "");
    EXPECT_EQ(c[1].hardware_id, 200);
    EXPECT_NE(err.find("[WARNING] Flywheel 1 has no ID specified, skipping\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[WARNING] Flywheel 4 has no device specified, skipping\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[WARNING] Flywheel 4 has an invalid entry"), std::string::npos) << err;

    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_flywheel_config_file(config("skardel_bad.json", R"({"wheels": []})"), c, FLYWHEEL_MAX), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] No 'flywheels' array found in config file\n");
}

TEST(FlywheelSetUp, IdsOneAndTwoWithoutIdZero)
{
    // Both lines open and two wheels count, but bus wheel numbers address
    // table indexes: wheel 1 is index 0 (never set up), wheel 2 is id 1, and
    // id 2 is out of reach for commands and polls alike.
    reset_service();
    PtyPair line1, line2;
    FlywheelConfig c[2];
    c[0].id = 1;
    c[0].device = line1.path();
    c[0].hardware_id = 0x22;
    c[1].id = 2;
    c[1].device = line2.path();
    testing::internal::CaptureStdout();
    EXPECT_EQ(flywheel_open_configured(c, 2), 2);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(flywheel_count, 2);

    auto send = [](uint8_t wheel) {
        std::vector<unsigned char> cmd = command(wheel, 0, 100.0f, 1.0f);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        command_callback("Gnc_Service", "Flywheel_Hardware_Service", "command", "", "", cmd);
        testing::internal::GetCapturedStdout();
        return testing::internal::GetCapturedStderr();
    };
    EXPECT_EQ(send(1), "[ERROR] Failed to send command to Flywheel 1: Serial not open or invalid\n");
    EXPECT_EQ(send(2), "");
    EXPECT_EQ(send(3), "[ERROR] Invalid wheel_id: 3, valid range: 1-2\n");
    std::vector<uint8_t> on1 = line1.read_device(300);
    ASSERT_EQ(on1.size(), 11u) << "wheel 2's command goes to id 1's line";
    EXPECT_EQ(on1[9], 0x22) << "id 1's hardware id";
    EXPECT_TRUE(line2.read_device(100).empty()) << "nothing reaches id 2";

    FlywheelReply r;
    EXPECT_FALSE(flywheel_telemetry_reply("command", {3, 0x00}, r)) << "id 2 cannot be polled";
    EXPECT_TRUE(flywheel_telemetry_reply("command", {2, 0x00}, r));
    reset_service();
}

TEST(FlywheelSetUp, InvalidIdsAndTheSuccessLine)
{
    reset_service();
    PtyPair pty;
    testing::internal::CaptureStderr();
    EXPECT_EQ(flywheel_uart_init(8, pty.path(), 115200, 0x99), -6);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] Invalid flywheel id: 8\n");

    PtyPair other;
    FlywheelConfig c[5];
    c[0].id = 9;
    c[0].device = pty.path();
    c[1].id = 1;
    c[1].device = pty.path();
    c[1].hardware_id = 0x44;
    c[2].id = 2;
    c[2].device = "/nonexistent/wheel";
    c[3].id = 257;  // one byte would make it 1
    c[3].device = other.path();
    c[4].id = 1;
    c[4].device = other.path();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(flywheel_open_configured(c, 5), 1);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "[OK] Flywheel 1 UART init: dev=" + pty.path() + ", baud=115200, hw_id=0x44\n"
                   "[OK] Flywheel 1 initialized successfully\n");
    EXPECT_NE(err.find("[ERROR] Invalid flywheel ID: 9, must be less than 8\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[ERROR] Failed to initialize flywheel 2: Serial not open or invalid\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("[ERROR] Invalid flywheel ID: 257, must be less than 8\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[ERROR] Flywheel 1 is configured more than once; the first entry keeps it\n"),
              std::string::npos) << err;
    // The first entry's line is still open and its own.
    ASSERT_GE(flywheels[1].fd, 0);
    EXPECT_EQ(flywheels[1].dev, pty.path());

    // Ids 1 (and a failed 2) without 0: bus wheel 1 addresses index 0, never set up.
    std::vector<unsigned char> cmd = command(1, 0, 100.0f, 1.0f);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    command_callback("Gnc_Service", "Flywheel_Hardware_Service", "command", "", "", cmd);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[ERROR] Failed to send command to Flywheel 1: Serial not open or invalid\n");
    reset_service();
}

TEST_F(Wheels, BootstrapCommandsBecomeWheelFrames)
{
    std::vector<unsigned char> cmd = command(1, 0, 200.0f, 1.5f);
    testing::internal::CaptureStdout();
    command_callback("Gnc_Service", "Flywheel_Hardware_Service", "command", "", "", cmd);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[INFO] Flywheel command received from Gnc_Service to Flywheel_Hardware_Service\n"
              "[OK] Command sent to Flywheel 1\n");
    EXPECT_EQ(pty[0].read_device(),
              std::vector<uint8_t>({0x58, 0x00, 0x03, 0x0D, 0x40, 0x00, 0x00, 0x05, 0xDC, 0x11, 0x9A}));

    cmd = command(3, 1, -1.5f, 0.0f);
    testing::internal::CaptureStdout();
    command_callback("Gnc_Service", "Flywheel_Hardware_Service", "command", "", "", cmd);
    testing::internal::GetCapturedStdout();
    auto frame = pty[2].read_device();
    ASSERT_EQ(frame.size(), 11u);
    EXPECT_EQ(frame[0], 0x59);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 1, frame.begin() + 5), std::vector<uint8_t>({0xFF, 0xFF, 0xFA, 0x24}));
    EXPECT_EQ(frame[9], 0x33);
}

TEST_F(Wheels, InvalidCommandsAreRejected)
{
    const struct {
        std::vector<unsigned char> payload;
        std::string error;
    } rows[] = {
        {std::vector<unsigned char>(9, 1), "[ERROR] Invalid command data size: 9, expected at least 10 bytes\n"},
        {command(4, 0, 1, 1), "[ERROR] Invalid wheel_id: 4, valid range: 1-3\n"},
        {command(0, 0, 1, 1), "[ERROR] Invalid wheel_id: 0, valid range: 1-3\n"},
        {command(1, 2, 1, 1), "[ERROR] Invalid mode_flag: 2, must be 0(speed) or 1(torque)\n"},
    };
    for (auto row : rows) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        command_callback("Gnc_Service", "Flywheel_Hardware_Service", "command", "", "", row.payload);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.error);
    }
    for (auto& p : pty) EXPECT_TRUE(p.read_device(50).empty());
    for (auto& c : cmd_cache) EXPECT_EQ(c.pending, 0);
}

TEST_F(Wheels, RecordsBeforeTheFirstGoodFrame)
{
    FlywheelReply r = reply(2);
    EXPECT_EQ(r.info.wheel_id, 2);
    EXPECT_EQ(+r.info.speed, 0.0f);
    EXPECT_EQ(+r.info.current, 0.0f);
    EXPECT_EQ(+r.info.torque, 0.0f);
    std::vector<uint8_t> stats(reinterpret_cast<uint8_t*>(&r.stats), reinterpret_cast<uint8_t*>(&r.stats) + 9);
    std::vector<uint8_t> expected(9, 0);
    expected[0] = 6;
    EXPECT_EQ(stats, expected);
    EXPECT_EQ(std::vector<uint8_t>(r.raw, r.raw + 19), std::vector<uint8_t>(19, 0));
}

TEST_F(Wheels, TelemetryRequestsOfOtherTypesOrWheelsAreIgnored)
{
    FlywheelReply r;
    EXPECT_FALSE(flywheel_telemetry_reply("avg_command", {1, 0xFF}, r));
    EXPECT_FALSE(flywheel_telemetry_reply("telemetry", {1, 0xFF}, r));
    EXPECT_FALSE(flywheel_telemetry_reply("command", {1}, r));
    EXPECT_FALSE(flywheel_telemetry_reply("command", {0, 0xFF}, r));
    EXPECT_FALSE(flywheel_telemetry_reply("command", {4, 0xFF}, r));
    EXPECT_TRUE(flywheel_telemetry_reply("command", {3, 0x00}, r));
}

TEST_F(Wheels, GoodFramesAreCachedAndRejectedOnesLeaveTheCacheAlone)
{
    auto good = status_frame(200000, 1500, -250, 0x11);
    pty[0].write_device(good);
    std::string out, err;
    EXPECT_EQ(poll(&out, &err), 1);
    EXPECT_EQ(out, "[DATA] Flywheel 1 received: speed=200 rpm, current=1.5, torque=-0.25\n");
    FlywheelReply r = reply(1);
    EXPECT_EQ(+r.info.speed, 200.0f);
    EXPECT_EQ(std::vector<uint8_t>(r.raw, r.raw + 19), good);

    auto bad_header = status_frame(7, 7, 7, 0x11);
    bad_header[0] = 0xFE;
    pty[0].write_device(bad_header);
    EXPECT_EQ(poll(&out, &err), 0);
    auto bad_sum = status_frame(8, 8, 8, 0x11);
    bad_sum[10] ^= 0x01;  // a spare byte, still summed
    pty[0].write_device(bad_sum);
    EXPECT_EQ(poll(&out, &err), 0);
    EXPECT_NE(err.find("[ERROR] Checksum error: calculated=0x"), std::string::npos) << err;

    EXPECT_EQ(flywheels[0].head_err_cnt, 1);
    EXPECT_EQ(flywheels[0].check_err_cnt, 1);
    r = reply(1);
    EXPECT_EQ(+r.info.speed, 200.0f) << "rejected frames leave the cached status";
    EXPECT_EQ(std::vector<uint8_t>(r.raw, r.raw + 19), good);
    EXPECT_EQ(+r.stats.head_err_cnt, 0) << "statistics as they were at the last good frame";

    auto next = status_frame(-1000, 0, 0, 0x11);
    pty[0].write_device(next);
    EXPECT_EQ(poll(), 1);
    r = reply(1);
    EXPECT_EQ(+r.info.speed, -1.0f);
    EXPECT_EQ(+r.stats.head_err_cnt, 1);
    EXPECT_EQ(+r.stats.check_err_cnt, 1);
    EXPECT_EQ(r.stats.serial_id, 5);
}

TEST_F(Wheels, SplitFramesBackToBackFramesAndGarbage)
{
    auto f1 = status_frame(100000, 10, 20, 0x22);
    auto f2 = status_frame(110000, 11, 21, 0x22);
    // Split across two reads.
    pty[1].write_device({f1.begin(), f1.begin() + 8});
    EXPECT_EQ(poll(), 0);
    pty[1].write_device({f1.begin() + 8, f1.end()});
    EXPECT_EQ(poll(), 1);
    // Two frames in one read, with garbage in front.
    std::vector<uint8_t> burst = {0x00, 0x13, 0x37};
    burst.insert(burst.end(), f1.begin(), f1.end());
    burst.insert(burst.end(), f2.begin(), f2.end());
    pty[1].write_device(burst);
    std::string out, err;
    EXPECT_EQ(poll(&out, &err), 2);
    EXPECT_EQ(err, "[WARN] Flywheel 1 skipped 3 bytes before a frame header\n");
    EXPECT_EQ(flywheels[1].head_err_cnt, 1);
    EXPECT_EQ(flywheels[1].length_err_cnt, 0) << "a split frame is not an error";
    EXPECT_EQ(+reply(2).info.speed, 110.0f);
}

// A wheel streams whether the line is open or not: just after opening, the
// tail of a frame sent before is no header error; a frame's length of
// noise is, in one read or in several.
TEST_F(Wheels, BytesBeforeTheFirstHeaderAfterOpening)
{
    const auto f = status_frame(2000, 0, 0, 0x11);
    const std::vector<uint8_t> tail(f.begin() + 11, f.end()), noise(19, 0x5A);
    struct Row {
        const char* what;
        std::vector<std::vector<uint8_t>> reads;  // before a good frame
        int header_errors;
    } rows[] = {
        {"the tail of a frame", {tail}, 0},
        {"a tail in two reads", {{tail.begin(), tail.begin() + 4}, {tail.begin() + 4, tail.end()}}, 0},
        {"a frame's length of noise", {noise}, 1},
        {"noise reaching a frame's length over two reads", {{noise.begin(), noise.begin() + 10}, {noise.begin(), noise.begin() + 10}}, 1},
        {"a run after the first frame", {f, {0x01, 0x02}}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        for (const auto& bytes : row.reads) {
            pty[0].write_device(bytes);
            poll();
        }
        pty[0].write_device(f);
        poll();
        EXPECT_EQ(flywheels[0].head_err_cnt, row.header_errors);
        EXPECT_EQ(+reply(1).info.speed, 2.0f);
    }
}

TEST_F(Wheels, HardwareIdOfTheSenderNamesTheWheelInTheDataLine)
{
    auto f = status_frame(5000, 0, 0, 0x22);
    pty[0].write_device(f);
    std::string out;
    EXPECT_EQ(poll(&out), 1);
    EXPECT_EQ(out, "[DATA] Flywheel 2 received: speed=5 rpm, current=0, torque=0\n");
    f = status_frame(5000, 0, 0, 0x23);
    pty[0].write_device(f);
    EXPECT_EQ(poll(&out), 1);
    EXPECT_EQ(out, "[DATA] Flywheel 1 received: speed=5 rpm, current=0, torque=0\n");
    EXPECT_EQ(reply(1).info.wheel_id, 1) << "the reply carries the requested wheel number";
}

TEST_F(Wheels, AnAbandonedPartialFrameCountsOnce)
{
    auto f = status_frame(1, 1, 1, 0x33);
    pty[2].write_device({f.begin(), f.begin() + 10});
    EXPECT_EQ(poll(), 0);
    std::this_thread::sleep_for(150ms);
    std::string err;
    EXPECT_EQ(poll(nullptr, &err), 0);
    EXPECT_EQ(err, "[WARN] Flywheel 2 incomplete frame: 10/19 bytes\n");
    EXPECT_EQ(flywheels[2].length_err_cnt, 1);
    pty[2].write_device(f);
    EXPECT_EQ(poll(), 1);
    EXPECT_EQ(flywheels[2].length_err_cnt, 1);
}

// The main loop sleeps in wait_for_wheel_bytes: it must wake for a wheel's
// bytes, report a partial frame as pending until it is taken or given up,
// and not be woken over and over by a line that hung up.
TEST_F(Wheels, TheLoopWaitsForBytesAndIgnoresAHungUpLine)
{
    EXPECT_FALSE(wait_for_wheel_bytes(0ms));
    EXPECT_FALSE(wheel_bytes_pending());

    auto f = status_frame(1, 1, 1, 0x22);
    pty[1].write_device(f);
    EXPECT_TRUE(wait_for_wheel_bytes(10s));
    EXPECT_EQ(poll(), 1);
    EXPECT_FALSE(wheel_bytes_pending());

    pty[0].write_device({f.begin(), f.begin() + 7});
    EXPECT_EQ(poll(), 0);
    EXPECT_TRUE(wheel_bytes_pending());
    std::this_thread::sleep_for(150ms);
    std::string err;
    EXPECT_EQ(poll(nullptr, &err), 0);
    EXPECT_FALSE(wheel_bytes_pending()) << err;

    pty[2].close_master();
    EXPECT_EQ(poll(), 0);
    EXPECT_TRUE(flywheels[2].line_lost);
    EXPECT_FALSE(flywheels[1].line_lost);
    // Nothing to read anywhere: the wait runs out rather than reporting the
    // dead line as readable.
    EXPECT_FALSE(wait_for_wheel_bytes(50ms));
    // The other wheels still wake it.
    pty[1].write_device(f);
    EXPECT_TRUE(wait_for_wheel_bytes(10s));
    EXPECT_EQ(poll(), 1);
}
