#include "serial_port.h"

#include "line_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// What every line's set-up defines, whatever an earlier program left on it:
// each flag that changes, adds or drops bytes between the wire and our
// reads and writes (as cfmakeraw would). A checksum byte 0x0D must arrive as
// 0x0D, an 0xFF once (PARMRK doubles it), 0x41 as 0x41 (IUCLC lower-cases
// it). Parity checking (INPCK, IGNPAR) and hardware flow control stay as
// read.
static constexpr tcflag_t kInputTranslations =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXANY | IXOFF;
static constexpr tcflag_t kLocalProcessing =
    ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | IEXTEN | XCASE;

const SerialLineProfile STAR_LINE = {
    "star", true, false, false, false,
    "[ERROR] Open star serial failed", "[ERROR] Get serial attributes failed",
    "[ERROR] Set serial attributes failed"};
const SerialLineProfile FLYWHEEL_LINE = {
    "flywheel", true, true, false, false,
    "[ERROR] Open flywheel serial failed", "[ERROR] Get serial attributes failed",
    "[ERROR] Set serial attributes failed"};
const SerialLineProfile OPTICAL_LINE = {
    "optical", false, true, true, true,
    "[ERROR] open optical serial failed", "[ERROR] tcgetattr failed", "[ERROR] tcsetattr failed"};
const SerialLineProfile VISION_LINE = {
    "vision", false, true, true, true,
    "[ERROR] open vision serial failed", "[ERROR] tcgetattr failed", "[ERROR] tcsetattr failed"};
const SerialLineProfile MEMS_LINE = {
    "mems", true, true, false, false,
    "[ERROR] Open MEMS serial failed", "[ERROR] Get MEMS serial attributes failed",
    "[ERROR] Set MEMS serial attributes failed"};
const SerialLineProfile GYRO_LINE = {
    "gyro", false, true, true, true,
    "open serial failed", "tcgetattr failed", "tcsetattr failed"};

speed_t serial_speed_for_baud(int baud)
{
    switch (baud) {
    case 921600: return B921600;
    case 460800: return B460800;
    case 230400: return B230400;
    case 115200: return B115200;
    case 57600: return B57600;
    case 38400: return B38400;
    case 19200: return B19200;
    case 9600: return B9600;
    default: return B115200;
    }
}

void serial_apply_profile(termios& t, const SerialLineProfile& profile, speed_t speed)
{
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);

    if (profile.odd_parity) {
        t.c_cflag |= PARENB | PARODD;
    } else {
        t.c_cflag &= ~PARENB;
    }
    t.c_cflag &= ~CSTOPB;
    t.c_cflag &= ~CSIZE;
    t.c_cflag |= CS8 | CREAD | CLOCAL;

    t.c_iflag &= ~kInputTranslations;
    if (profile.full_raw) {
        t.c_lflag = 0;
        t.c_oflag = 0;
    } else {
        t.c_lflag &= ~kLocalProcessing;
        t.c_oflag &= ~OPOST;  // no output processing at all
    }

    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 10;
}

void serial_line_close(int32_t& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

std::size_t serial_drain_until_quiet(int fd, int quiet_ms, int max_ms)
{
    if (fd < 0) return 0;
    LinePort& port = line_port();
    const auto until = port.now() + std::chrono::milliseconds(max_ms);
    std::size_t discarded = 0;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - port.now()).count();
        if (left <= 0) break;
        if (port.wait_readable(fd, std::chrono::milliseconds(std::min<long long>(quiet_ms, left))) <= 0) break;
        uint8_t buf[256];
        ssize_t n = port.read(fd, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            break;  // the line has gone
        }
        discarded += std::size_t(n);
    }
    return discarded;
}

// Pseudo-terminal slaves (the bench's simulated lines) have no parity: the
// kernel drops PARENB, and glibc then reports EINVAL for a request it has in
// fact applied. On such a line, accept the settings when everything but the
// parity bit took effect.
static bool is_pseudo_terminal(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;
}

static int apply_line_settings(int fd, const termios& wanted)
{
    if (tcsetattr(fd, TCSANOW, &wanted) == 0) return 0;
    if (errno != EINVAL || !is_pseudo_terminal(fd)) return -1;
    termios now;
    if (tcgetattr(fd, &now) != 0) {
        errno = EINVAL;
        return -1;
    }
    bool applied = now.c_iflag == wanted.c_iflag && now.c_oflag == wanted.c_oflag &&
                   now.c_lflag == wanted.c_lflag &&
                   (now.c_cflag & ~tcflag_t(PARENB)) == (wanted.c_cflag & ~tcflag_t(PARENB)) &&
                   now.c_cc[VMIN] == wanted.c_cc[VMIN] && now.c_cc[VTIME] == wanted.c_cc[VTIME] &&
                   cfgetispeed(&now) == cfgetispeed(&wanted) &&
                   cfgetospeed(&now) == cfgetospeed(&wanted);
    if (applied) return 0;
    errno = EINVAL;
    return -1;
}

static thread_local bool quiet_setup = false;

SerialSetupQuiet::SerialSetupQuiet() : was_(quiet_setup) { quiet_setup = true; }
SerialSetupQuiet::~SerialSetupQuiet() { quiet_setup = was_; }

static int fail(const char* message, int32_t& fd)
{
    int saved = errno;
    if (!quiet_setup) std::fprintf(stderr, "%s: %s\n", message, std::strerror(saved));
    serial_line_close(fd);
    return DEV_ERR_NOT_OPEN;
}

int serial_line_open(const SerialLineProfile& profile, const char* path, int baud, int32_t& fd)
{
    serial_line_close(fd);
    if (path == nullptr) {
        errno = EINVAL;
        return fail(profile.open_failed, fd);
    }

    // Always opened without blocking: a line whose CLOCAL is off would
    // otherwise wait for carrier before the service even starts. A blocking
    // profile gets its mode once the line is set up.
    fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        fd = -1;
        return fail(profile.open_failed, fd);
    }

    termios t;
    if (profile.zero_termios_first) std::memset(&t, 0, sizeof t);
    if (tcgetattr(fd, &t) != 0) return fail(profile.getattr_failed, fd);

    serial_apply_profile(t, profile, serial_speed_for_baud(baud));

    if (apply_line_settings(fd, t) != 0) return fail(profile.setattr_failed, fd);
    if (!profile.nonblocking) {
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(profile.open_failed, fd);
    }
    tcflush(fd, TCIOFLUSH);
    return DEV_OK;
}

int serial_device_setup(const SerialLineProfile& profile, Serial_Device& device,
                        const std::string& path, int baud)
{
    int rc = serial_line_open(profile, path.c_str(), baud, device.fd);
    if (rc != DEV_OK) return rc;
    device.dev = path;
    device.baud = baud;
    device.uart_ready = 1;
    return DEV_OK;
}

std::chrono::milliseconds serial_write_deadline(std::size_t length, int baud)
{
    // The speed the line really runs at: unlisted numbers open at 115200.
    const long long speed = serial_speed_for_baud(baud) == B115200 ? 115200 : baud;
    const long long bits = static_cast<long long>(length) * 11;
    const long long line_ms = (bits * 1000 + speed - 1) / speed;
    return std::chrono::milliseconds(2 * line_ms + SERIAL_WRITE_MARGIN_MS);
}

ssize_t serial_write_frame(int fd, const void* data, std::size_t length, int baud)
{
    return line_port().write_frame(fd, static_cast<const uint8_t*>(data), length, baud);
}

void serial_device_expect(Serial_Device& device, const std::string& path, int baud, bool reopen)
{
    device.dev = path;
    device.baud = baud;
    device.line_return.enabled = reopen;
}

void serial_device_missing(Serial_Device& device, const char* name)
{
    device.line_return.lost(line_port().now(), std::string(name) + " line " + device.dev,
                            "it did not open at start-up");
}

bool serial_line_hung_up(int fd) { return line_port().hung_up(fd); }
