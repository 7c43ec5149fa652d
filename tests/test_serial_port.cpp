// Serial line set-up against real pseudo-terminals, and the status texts.
#include "device_status.h"
#include "serial_port.h"
#include "support/pty_pair.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <thread>
#include <gtest/gtest.h>

namespace {

int open_fd_count()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n;
}

termios line_settings(int fd)
{
    termios t;
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

struct ProfileCase {
    const SerialLineProfile* profile;
    bool parity;
    bool full_raw;
    bool nonblocking;
};

class EveryProfile : public ::testing::TestWithParam<ProfileCase> {};

const ProfileCase kProfiles[] = {
    {&STAR_LINE, false, false, true},    {&FLYWHEEL_LINE, true, false, true},
    {&OPTICAL_LINE, true, true, false},  {&VISION_LINE, true, true, false},
    {&MEMS_LINE, true, false, true},     {&GYRO_LINE, true, true, false},
};

}  // namespace

TEST(SerialSpeed, SupportedNumbersMapToTheirConstants)
{
    const std::pair<int, speed_t> table[] = {
        {921600, B921600}, {460800, B460800}, {230400, B230400}, {115200, B115200},
        {57600, B57600},   {38400, B38400},   {19200, B19200},   {9600, B9600},
    };
    for (const auto& row : table) EXPECT_EQ(serial_speed_for_baud(row.first), row.second) << row.first;
}

TEST(SerialSpeed, UnlistedNumbersFallBackTo115200)
{
    for (int baud : {4800, 1000000, 0, -1, 115201}) EXPECT_EQ(serial_speed_for_baud(baud), B115200) << baud;
}

TEST_P(EveryProfile, ConfiguresTheLineAsTheProfileSays)
{
    const ProfileCase& c = GetParam();
    PtyPair pty;
    int32_t fd = -1;
    ASSERT_EQ(serial_line_open(*c.profile, pty.path().c_str(), 57600, fd), DEV_OK);
    ASSERT_GE(fd, 0);

    termios t = line_settings(fd);
    EXPECT_EQ(cfgetispeed(&t), B57600);
    EXPECT_EQ(cfgetospeed(&t), B57600);
    EXPECT_EQ((t.c_cflag & CSIZE), tcflag_t(CS8));
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    // A pseudo-terminal keeps PARODD but has no parity generator, so PARENB
    // is checked on the settings the profile produces.
    if (c.parity) {
        EXPECT_TRUE(t.c_cflag & PARODD);
    }
    termios wanted{};
    serial_apply_profile(wanted, *c.profile, B57600);
    EXPECT_EQ(bool(wanted.c_cflag & PARENB), c.parity);
    EXPECT_EQ(bool(wanted.c_cflag & PARODD), c.parity);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 10);
    EXPECT_FALSE(t.c_iflag & (IXON | IXANY | IXOFF));
    EXPECT_FALSE(t.c_lflag & (ISIG | ICANON | ECHO | ECHOE));
    EXPECT_FALSE(t.c_oflag & OPOST);
    if (c.full_raw) {
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(t.c_oflag, 0u);
    }
    EXPECT_EQ(bool(fcntl(fd, F_GETFL) & O_NONBLOCK), c.nonblocking);
    serial_line_close(fd);
    EXPECT_EQ(fd, -1);
}

// A line whose previous user left CR/NL translation and bit stripping on must
// still deliver 0x0D and bytes above 0x7F unchanged.
TEST_P(EveryProfile, ClearsByteTranslationsLeftOnTheLine)
{
    PtyPair pty;
    termios dirty = line_settings(pty.slave());
    dirty.c_iflag |= ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | IUCLC;
    dirty.c_lflag |= IEXTEN;
    dirty.c_oflag |= OPOST | OLCUC | ONLCR;
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &dirty), 0);

    int32_t fd = -1;
    ASSERT_EQ(serial_line_open(*GetParam().profile, pty.path().c_str(), 115200, fd), DEV_OK);
    termios t = line_settings(fd);
    EXPECT_FALSE(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | IUCLC));
    EXPECT_FALSE(t.c_lflag & IEXTEN);
    EXPECT_FALSE(t.c_oflag & OPOST);

    const std::vector<uint8_t> frame = {0x8A, 0x0D, 0x0A, 0x0D, 0xFF, 0x7F, 0x41, 0x5A, 0xFF, 0x00};
    pty.write_device(frame);
    EXPECT_EQ(PtyPair::read_fd(fd, 1000), frame);
    ASSERT_EQ(::write(fd, frame.data(), frame.size()), ssize_t(frame.size()));
    EXPECT_EQ(pty.read_device(1000), frame);
    serial_line_close(fd);
}

TEST_P(EveryProfile, DiscardsInputPendingBeforeSetUp)
{
    PtyPair pty;
    pty.write_device({0x11, 0x22, 0x33});
    usleep(20000);
    int32_t fd = -1;
    ASSERT_EQ(serial_line_open(*GetParam().profile, pty.path().c_str(), 115200, fd), DEV_OK);
    EXPECT_TRUE(PtyPair::read_fd(fd, 100).empty());
    pty.write_device({0x44});
    EXPECT_EQ(PtyPair::read_fd(fd, 1000), std::vector<uint8_t>{0x44});
    serial_line_close(fd);
}

INSTANTIATE_TEST_SUITE_P(Profiles, EveryProfile, ::testing::ValuesIn(kProfiles),
                         [](const ::testing::TestParamInfo<ProfileCase>& info) {
                             return std::string(info.param.profile->name);
                         });

// The device stops reading: frames go until the line's queue is full, then
// one write fails (ETIMEDOUT) instead of blocking, leaves the line's mode as
// it was and discards what was queued; once the device reads again, whole
// frames go again.
TEST_P(EveryProfile, AWriteToADeviceThatStopsReadingFailsInsteadOfBlocking)
{
    PtyPair pty;
    int32_t fd = -1;
    testing::internal::CaptureStdout();
    ASSERT_EQ(serial_line_open(*GetParam().profile, pty.path().c_str(), 115200, fd), DEV_OK);
    testing::internal::GetCapturedStdout();
    const int mode = fcntl(fd, F_GETFL);
    const std::vector<uint8_t> frame(77, 0x5A);
    ssize_t w = 0;
    int frames = 0;
    for (; frames < 100000; ++frames) {
        w = serial_write_frame(fd, frame.data(), frame.size(), 115200);
        if (w != ssize_t(frame.size())) break;
    }
    EXPECT_GT(frames, 0);
    EXPECT_LT(w, ssize_t(frame.size()));
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(fcntl(fd, F_GETFL), mode);
    int queued = -1;
    ASSERT_EQ(ioctl(fd, TIOCOUTQ, &queued), 0);
    EXPECT_EQ(queued, 0) << "the cut frame and those before it are not left to go later";

    std::vector<uint8_t> sink(4096);
    fcntl(pty.master(), F_SETFL, fcntl(pty.master(), F_GETFL) | O_NONBLOCK);
    while (::read(pty.master(), sink.data(), sink.size()) > 0) {
    }
    EXPECT_EQ(serial_write_frame(fd, frame.data(), frame.size(), 115200), ssize_t(frame.size()));
    EXPECT_EQ(serial_write_frame(-1, frame.data(), frame.size(), 115200), -1);
    serial_line_close(fd);
}

TEST(SerialWrite, DeadlineIsTwiceTheFrameTimePlusTheMargin)
{
    struct Case {
        std::size_t length;
        int baud;
        long ms;
    } cases[] = {
        {11, 115200, 2 * 2 + SERIAL_WRITE_MARGIN_MS},  // 121 bits: 1.05 ms, rounded up
        {77, 9600, 2 * 89 + SERIAL_WRITE_MARGIN_MS},   // 847 bits: 88.2 ms, rounded up
        {0, 115200, SERIAL_WRITE_MARGIN_MS},
        {77, 0, 2 * 8 + SERIAL_WRITE_MARGIN_MS},       // an unlisted speed opens at 115200
    };
    for (const auto& c : cases) {
        EXPECT_EQ(serial_write_deadline(c.length, c.baud).count(), c.ms) << c.length << " at " << c.baud;
    }
}

TEST(SerialProfile, PartialRawKeepsUnrelatedInputBits)
{
    termios t{};
    t.c_iflag = INPCK | IGNPAR | ICRNL | IXON;
    t.c_lflag = ECHO | ICANON | IEXTEN;
    serial_apply_profile(t, STAR_LINE, B115200);
    EXPECT_EQ(t.c_iflag, tcflag_t(INPCK | IGNPAR));
    EXPECT_EQ(t.c_lflag, tcflag_t(0));
}

TEST(SerialProfile, NoParityLeavesParoddAsRead)
{
    termios t{};
    t.c_cflag = PARENB | PARODD | CSTOPB | CS7;
    serial_apply_profile(t, STAR_LINE, B9600);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_TRUE(t.c_cflag & PARODD);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
}

TEST(SerialDevice, UnlistedBaudOpensAt115200ButRecordsTheNumber)
{
    PtyPair pty;
    Serial_Device d;
    ASSERT_EQ(serial_device_setup(GYRO_LINE, d, pty.path(), 4800), DEV_OK);
    EXPECT_EQ(d.baud, 4800);
    EXPECT_EQ(d.dev, pty.path());
    EXPECT_EQ(d.uart_ready, 1);
    termios t = line_settings(d.fd);
    EXPECT_EQ(cfgetispeed(&t), B115200);
    serial_line_close(d.fd);
}

TEST(SerialDevice, ResetClosesTheOldDescriptor)
{
    PtyPair pty;
    Serial_Device d;
    ASSERT_EQ(serial_device_setup(MEMS_LINE, d, pty.path(), 9600), DEV_OK);
    int after_first = open_fd_count();
    for (int i = 0; i < 5; ++i) {
        int old = d.fd;
        ASSERT_EQ(serial_device_setup(MEMS_LINE, d, d.dev, d.baud), DEV_OK);
        if (d.fd != old) {
            EXPECT_EQ(fcntl(old, F_GETFD), -1) << "old descriptor still open";
        }
    }
    EXPECT_EQ(open_fd_count(), after_first);
    serial_line_close(d.fd);
}

TEST(SerialDevice, FailedOpenKeepsPathBaudAndCounters)
{
    PtyPair pty;
    Serial_Device d;
    ASSERT_EQ(serial_device_setup(OPTICAL_LINE, d, pty.path(), 9600), DEV_OK);
    d.head_err_cnt = 3;
    d.uart_reset_cnt = 7;
    int before = open_fd_count();

    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_device_setup(OPTICAL_LINE, d, "/nonexistent/line", 57600), DEV_ERR_NOT_OPEN);
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(d.fd, -1);
    EXPECT_EQ(d.dev, pty.path());
    EXPECT_EQ(d.baud, 9600);
    EXPECT_EQ(d.uart_ready, 1);
    EXPECT_EQ(d.head_err_cnt, 3);
    EXPECT_EQ(d.uart_reset_cnt, 7);
    EXPECT_EQ(open_fd_count(), before - 1) << "the old line must be closed before the new open";
    EXPECT_EQ(err, "[ERROR] open optical serial failed: No such file or directory\n");
}

TEST(SerialDevice, ConfigurationFailureOnANonTerminalClosesTheDescriptor)
{
    int before = open_fd_count();
    int32_t fd = -1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_line_open(STAR_LINE, "/dev/null", 115200, fd), DEV_ERR_NOT_OPEN);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(open_fd_count(), before);
    EXPECT_EQ(err.rfind("[ERROR] Get serial attributes failed: ", 0), 0u) << err;
}

TEST(SerialDevice, OpenFailureMessagesPerService)
{
    const std::pair<const SerialLineProfile*, std::string> table[] = {
        {&STAR_LINE, "[ERROR] Open star serial failed"},
        {&FLYWHEEL_LINE, "[ERROR] Open flywheel serial failed"},
        {&OPTICAL_LINE, "[ERROR] open optical serial failed"},
        {&VISION_LINE, "[ERROR] open vision serial failed"},
        {&MEMS_LINE, "[ERROR] Open MEMS serial failed"},
        {&GYRO_LINE, "open serial failed"},
    };
    for (const auto& row : table) {
        int32_t fd = -1;
        testing::internal::CaptureStderr();
        serial_line_open(*row.first, "/nonexistent/tty", 115200, fd);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.second + ": No such file or directory\n");
    }
}

TEST(DeviceStatusText, CommonCodesReadTheSameInEveryService)
{
    const std::pair<int, const char*> common[] = {
        {0, "OK"},
        {-1, "Serial not open or invalid"},
        {-2, "Failed to send command"},
        {-4, "Select() system call failed"},
        {-5, "Invalid frame header"},
        {-6, "Failed to parse data"},
        {-7, "Unknown error"},
        {-8, "Frame length error"},
        {-9, "Checksum error"},
        {-11, "Unrecognized error"},
        {1, "Unrecognized error"},
        {-100, "Unrecognized error"},
    };
    for (const StatusTextTable* t :
         {&OPTICAL_STATUS_TEXTS, &VISION_STATUS_TEXTS, &FLYWHEEL_STATUS_TEXTS, &GYRO_STATUS_TEXTS}) {
        for (const auto& row : common) EXPECT_STREQ(device_status_text(*t, row.first), row.second);
    }
}

TEST(DeviceStatusText, ServiceSpecificCodes)
{
    struct Row {
        const StatusTextTable* table;
        const char* no_response;
        const char* timeout;
        const char* wheel_id;
    };
    const Row rows[] = {
        {&OPTICAL_STATUS_TEXTS, "Unrecognized error", "Timeout while waiting for response", "Unrecognized error"},
        {&VISION_STATUS_TEXTS, "Unrecognized error", "Timeout while waiting for response", "Unrecognized error"},
        {&FLYWHEEL_STATUS_TEXTS, "No response after sending command", "Timeout", "Invalid wheel ID"},
        {&GYRO_STATUS_TEXTS, "Unrecognized error", "Timeout while waiting for response", "Unrecognized error"},
    };
    for (const Row& r : rows) {
        EXPECT_STREQ(device_status_text(*r.table, -3), r.no_response);
        EXPECT_STREQ(device_status_text(*r.table, -10), r.timeout);
        EXPECT_STREQ(device_status_text(*r.table, -20), r.wheel_id);
    }
}

// The rest of a rejected answer still arriving at line speed is read away;
// the line is left empty, and the drain ends once the line is quiet.
TEST(SerialDrain, ReadsTheTailOfAnAnswerUntilTheLineIsQuiet)
{
    PtyPair pty;
    int32_t fd = -1;
    testing::internal::CaptureStdout();
    ASSERT_EQ(serial_line_open(GYRO_LINE, pty.path().c_str(), 115200, fd), DEV_OK);
    testing::internal::GetCapturedStdout();
    std::thread device([&] {
        for (int piece = 0; piece < 5; ++piece) {
            pty.write_device(std::vector<uint8_t>(20, uint8_t(piece)));
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::size_t drained = serial_drain_until_quiet(fd, 10, 2000);
    device.join();
    EXPECT_EQ(drained, 100u) << "every piece that came within the quiet gap";
    uint8_t b;
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    EXPECT_LE(::read(fd, &b, 1), 0) << "nothing left on the line";
    // A quiet line is left at once, with nothing read.
    EXPECT_EQ(serial_drain_until_quiet(fd, 10, 2000), 0u);
    EXPECT_EQ(serial_drain_until_quiet(-1, 10, 2000), 0u);
    serial_line_close(fd);
}
