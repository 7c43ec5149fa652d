#include "rate_exchange.h"

#include "byte_order.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

bool rate_checksum_matches(const uint8_t* frame, std::size_t len)
{
    return len >= 2 && sum8(frame, len - 1) == frame[len - 1];
}

void rate_gnc_record(int status, const Rate_Info_Frame& info, const Rate_Serial_Frame& line,
                     uint8_t out[RATE_GNC_RECORD_LEN])
{
    Rate_Info_Frame values = status == DEV_OK ? info : Rate_Info_Frame{0.0f, 0.0f, 0.0f};
    std::memcpy(out, &values, sizeof values);
    std::memcpy(out + sizeof values, &line, sizeof line);
    out[RATE_GNC_RECORD_LEN - 1] = 1;
}

namespace {

void copy_counts(const Serial_Device& d, Rate_Serial_Frame* status)
{
    if (status == nullptr) return;
    status->head_err_cnt = d.head_err_cnt;
    status->check_err_cnt = d.check_err_cnt;
    status->length_err_cnt = d.length_err_cnt;
    status->uart_reset_cnt = d.uart_reset_cnt;
}

void say_errno(const char* prefix)
{
    std::fprintf(stderr, "%s: %s\n", prefix, std::strerror(errno));
    std::fflush(stderr);
}

}  // namespace

int rate_exchange(RateUnit& unit, Rate_Info_Frame* info, Rate_Serial_Frame* status, uint8_t* raw)
{
    Serial_Device& d = unit.line();
    const std::size_t expected = unit.answer_length();
    std::memset(raw, 0, expected);

    // A closed line stays closed: no reset is tried from here.
    if (d.fd < 0) {
        unit.report_not_open();
        copy_counts(d, status);
        return DEV_ERR_NOT_OPEN;
    }
    unit.report_called();

    if (d.consecutive_fail_cnt >= RATE_RESET_AFTER) {
        unit.report_reset_start();
        int rc = unit.reset_line();
        if (rc == DEV_OK) {
            ++d.uart_reset_cnt;
            d.consecutive_fail_cnt = 0;
            unit.report_reset_done();
        } else {
            unit.report_reset_failed(rc);
        }
    }

    if (d.fd >= 0) tcflush(d.fd, TCIOFLUSH);

    if (unit.send_request() != DEV_OK) {
        unit.report_send_failed();
        ++d.consecutive_fail_cnt;
        copy_counts(d, status);
        return DEV_ERR_SEND;
    }

    std::vector<uint8_t> own(expected, 0);
    uint8_t* buf = unit.raw_shows_partial_answers() ? raw : own.data();
    std::size_t received = 0;
    const auto start = std::chrono::steady_clock::now();
    while (received < expected) {
        long elapsed = long(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
        if (elapsed > RATE_DEADLINE_MS) {
            unit.report_timeout(elapsed, received);
            ++d.consecutive_fail_cnt;
            ++d.length_err_cnt;
            copy_counts(d, status);
            return DEV_ERR_TIMEOUT;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(d.fd, &readable);
        timeval wait{0, RATE_DEADLINE_MS * 1000};
        int ready = select(d.fd + 1, &readable, nullptr, nullptr, &wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            say_errno("select error");
            ++d.consecutive_fail_cnt;
            copy_counts(d, status);
            return DEV_ERR_SELECT;
        }
        if (ready == 0 || !FD_ISSET(d.fd, &readable)) continue;
        ssize_t n = ::read(d.fd, buf + received, expected - received);
        if (n > 0) {
            received += std::size_t(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            say_errno("read error");
            ++d.consecutive_fail_cnt;
            copy_counts(d, status);
            return DEV_ERR_NOT_OPEN;
        }
    }

    if (buf[0] != RATE_ANSWER_HEADER) {
        unit.report_header(buf[0]);
        ++d.consecutive_fail_cnt;
        ++d.head_err_cnt;
        copy_counts(d, status);
        return DEV_ERR_HEADER;
    }
    if (!unit.checksum_ok(buf)) {
        unit.report_checksum();
        ++d.consecutive_fail_cnt;
        ++d.check_err_cnt;
        copy_counts(d, status);
        return DEV_ERR_CHECKSUM;
    }
    if (buf != raw) std::memcpy(raw, buf, expected);
    int rc = unit.decode(buf, info);
    if (rc != DEV_OK) {
        unit.report_decode_failed(rc);
        ++d.consecutive_fail_cnt;
        copy_counts(d, status);
        return rc;
    }
    unit.report_success();
    d.consecutive_fail_cnt = 0;
    copy_counts(d, status);
    return DEV_OK;
}
