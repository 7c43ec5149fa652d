#include "timed_query.h"

#include "line_port.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

void copy_line_counts(const Serial_Device& d, Line_Serial_Frame* status)
{
    if (status == nullptr) return;
    status->head_err_cnt = d.head_err_cnt;
    status->check_err_cnt = d.check_err_cnt;
    status->length_err_cnt = d.length_err_cnt;
    status->uart_reset_cnt = d.uart_reset_cnt;
}

int TimedQueryUnit::flush_before_request() const { return TCIOFLUSH; }

void TimedQueryUnit::report_select_error(int err)
{
    std::fprintf(stderr, "select error: %s\n", std::strerror(err));
    std::fflush(stderr);
}

void TimedQueryUnit::report_read_error(int err)
{
    std::fprintf(stderr, "read error: %s\n", std::strerror(err));
    std::fflush(stderr);
}

int timed_query(TimedQueryUnit& unit, Line_Serial_Frame* status, uint8_t* raw)
{
    Serial_Device& d = unit.line();
    const std::size_t expected = unit.answer_length();
    std::memset(raw, 0, expected);

    LinePort& port = line_port();
    const std::string what = std::string(unit.line_name()) + " line " + d.dev;
    // A closed line is tried again only when it is due, and quietly.
    if (d.fd < 0) {
        if (!d.line_return.try_again(port.now(), d.dev, what, [&] { return unit.reset_line() == DEV_OK; })) {
            unit.report_not_open();
            copy_line_counts(d, status);
            return DEV_ERR_NOT_OPEN;
        }
        ++d.uart_reset_cnt;
        d.consecutive_fail_cnt = 0;
    }
    unit.report_called();

    if (d.consecutive_fail_cnt >= TIMED_QUERY_RESET_AFTER) {
        unit.report_reset_start();
        int rc = unit.reset_line();
        if (rc == DEV_OK) {
            ++d.uart_reset_cnt;
            d.consecutive_fail_cnt = 0;
            unit.report_reset_done();
        } else {
            unit.report_reset_failed(rc);
            if (d.fd < 0) d.line_return.lost(port.now(), what, "the reset could not open it");
        }
    }

    if (d.fd >= 0) port.flush(d.fd, unit.flush_before_request());

    auto fail = [&](int code) {
        ++d.consecutive_fail_cnt;
        copy_line_counts(d, status);
        return code;
    };
    auto gone = [&](const char* why) { serial_line_gone(d, port.now(), what, why); };

    if (unit.send_request() != DEV_OK) {
        const int err = errno;
        unit.report_send_failed();
        if (d.line_return.enabled && err == EIO) gone("hung up");
        return fail(DEV_ERR_SEND);
    }

    std::vector<uint8_t> own(expected, 0);
    uint8_t* buf = unit.raw_shows_partial_answers() ? raw : own.data();
    std::size_t received = 0;
    const auto start = port.now();
    while (received < expected) {
        long elapsed = long(std::chrono::duration_cast<std::chrono::milliseconds>(port.now() - start).count());
        if (elapsed > TIMED_QUERY_DEADLINE_MS) {
            unit.report_timeout(elapsed, received);
            ++d.length_err_cnt;
            return fail(DEV_ERR_TIMEOUT);
        }
        // Until just past the deadline, so that a silent line ends the wait.
        int ready = port.wait_readable(d.fd, std::chrono::milliseconds(TIMED_QUERY_DEADLINE_MS + 1 - elapsed));
        if (ready < 0) {
            if (errno == EINTR) continue;
            unit.report_select_error(errno);
            return fail(DEV_ERR_SELECT);
        }
        if (ready == 0) continue;
        ssize_t n = port.read(d.fd, buf + received, expected - received);
        if (n > 0) {
            received += std::size_t(n);
            unit.report_piece(std::size_t(n), received);
        } else if (d.line_return.enabled && (n == 0 || errno == EIO)) {
            // Readable yet nothing to read: the line hung up. The answer
            // never came, as a timeout would have found.
            ++d.length_err_cnt;
            gone("hung up");
            return fail(DEV_ERR_NOT_OPEN);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            unit.report_read_error(errno);
            return fail(DEV_ERR_NOT_OPEN);
        }
    }
    unit.report_complete(buf);

    if (!unit.header_ok(buf)) {
        unit.report_header(buf);
        ++d.head_err_cnt;
        return fail(DEV_ERR_HEADER);
    }
    if (!unit.checksum_ok(buf)) {
        unit.report_checksum();
        ++d.check_err_cnt;
        return fail(DEV_ERR_CHECKSUM);
    }
    if (buf != raw) std::memcpy(raw, buf, expected);
    int rc = unit.accept(buf);
    if (rc != DEV_OK) {
        unit.report_accept_failed(rc);
        return fail(rc);
    }
    unit.report_success();
    d.consecutive_fail_cnt = 0;
    copy_line_counts(d, status);
    return DEV_OK;
}
