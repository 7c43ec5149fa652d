// The shared fixed-length exchange: failures of the line itself, which no
// device on the other end can cause.
#include "device_status.h"
#include "support/pty_pair.h"
#include "timed_query.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A unit whose descriptor is closed behind the exchange's back right after
// the request is written, as when the line is torn down mid-exchange.
class VanishingLineUnit : public TimedQueryUnit {
public:
    explicit VanishingLineUnit(const std::string& path)
    {
        device.fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        device.head_err_cnt = 4;
        device.check_err_cnt = 5;
        device.length_err_cnt = 6;
        device.uart_reset_cnt = 7;
        device.consecutive_fail_cnt = 2;
    }
    ~VanishingLineUnit() override
    {
        if (device.fd >= 0 && !closed) ::close(device.fd);
    }

    Serial_Device& line() override { return device; }
    std::size_t answer_length() const override { return 8; }
    bool raw_shows_partial_answers() const override { return true; }
    int reset_line() override { return DEV_ERR_NOT_OPEN; }
    int send_request() override
    {
        const uint8_t request[2] = {0x55, 0x68};
        if (::write(device.fd, request, sizeof request) != ssize_t(sizeof request)) return DEV_ERR_SEND;
        ::close(device.fd);
        closed = true;
        return DEV_OK;
    }
    bool header_ok(const uint8_t*) override { return true; }
    bool checksum_ok(const uint8_t*) override { return true; }
    int accept(const uint8_t*) override { return DEV_OK; }

    void report_not_open() override { messages += "not open;"; }
    void report_called() override {}
    void report_reset_start() override { messages += "reset;"; }
    void report_reset_done() override {}
    void report_reset_failed(int) override {}
    void report_send_failed() override { messages += "send failed;"; }
    void report_timeout(long, std::size_t) override { messages += "timeout;"; }
    void report_select_error(int err) override { messages += "select error " + std::to_string(err) + ";"; }
    void report_read_error(int err) override { messages += "read error " + std::to_string(err) + ";"; }
    void report_header(const uint8_t*) override { messages += "header;"; }
    void report_checksum() override { messages += "checksum;"; }
    void report_accept_failed(int) override {}
    void report_success() override { messages += "success;"; }

    Serial_Device device;
    bool closed = false;
    std::string messages;
};

}  // namespace

TEST(TimedQuery, AFailedWaitForTheAnswerCountsAsAFailureOnly)
{
    PtyPair pty;
    VanishingLineUnit unit(pty.path());
    ASSERT_GE(unit.device.fd, 0);
    Line_Serial_Frame status{};
    uint8_t raw[8];
    EXPECT_EQ(timed_query(unit, &status, raw), DEV_ERR_SELECT);
    EXPECT_EQ(unit.messages, "select error " + std::to_string(EBADF) + ";");
    EXPECT_EQ(pty.read_device(), std::vector<uint8_t>({0x55, 0x68})) << "the request went out";
    EXPECT_EQ(unit.device.consecutive_fail_cnt, 3);
    // No fault count moves, and the caller gets the counts as they are.
    EXPECT_EQ(status.head_err_cnt, 4);
    EXPECT_EQ(status.check_err_cnt, 5);
    EXPECT_EQ(status.length_err_cnt, 6);
    EXPECT_EQ(status.uart_reset_cnt, 7);
    unit.device.fd = -1;
}

// A line that is away is tried at once, then once a second; its outage is
// said once when it starts and once when it ends; with re-opening off it is
// never tried. Virtual time: milliseconds since the line was lost.
TEST(LineReturn, TriesOnceASecondAndSaysSoOncePerOutage)
{
    using ms = std::chrono::milliseconds;
    const LineReturn::Clock::time_point t0{};
    enum Outcome { NO_TRY, FAILS, OPENS };
    struct Step {
        int at;
        bool due;
        Outcome outcome;
    };
    struct Row {
        const char* name;
        bool enabled;
        std::vector<Step> steps;
        const char* said;  // standard error, then standard output
    };
    const Row rows[] = {
        {"back at the third try", true,
         {{0, true, FAILS}, {1, false, NO_TRY}, {999, false, NO_TRY}, {1000, true, FAILS}, {1999, false, NO_TRY},
          {2000, true, OPENS}},
         "[WARN] x line /d is gone (hung up); trying it again every second\n|[OK] x line /d is back after 2.0 s\n"},
        {"back at once", true, {{5, true, OPENS}},
         "[WARN] x line /d is gone (hung up); trying it again every second\n|[OK] x line /d is back after 0.0 s\n"},
        {"re-opening off", false, {{0, false, NO_TRY}, {1000, false, NO_TRY}, {60000, false, NO_TRY}},
         "[WARN] x line /d is gone (hung up); it stays closed (reopen is off)\n|"},
    };
    for (const Row& r : rows) {
        LineReturn back;
        back.enabled = r.enabled;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        back.lost(t0, "x line /d", "hung up");
        back.lost(t0 + ms(1), "x line /d", "hung up again");  // the same outage
        for (const Step& s : r.steps) {
            EXPECT_EQ(back.due(t0 + ms(s.at)), s.due) << r.name << " at " << s.at;
            if (s.outcome != NO_TRY) back.tried(t0 + ms(s.at), s.outcome == OPENS, "x line /d");
        }
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(err + "|" + out, r.said) << r.name;
        EXPECT_EQ(back.away(), r.steps.back().outcome != OPENS) << r.name;
    }
}
