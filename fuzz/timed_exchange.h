// The fuzz run shared by the services whose exchange is the timed query
// (timed_query.h): the gyro, the MEMS unit and the vision unit.
//
// The unit's answers come from an in-memory line on a virtual clock
// (script_line.h): the input is cut into whole answers (the last one padded
// with zeros), each sent in pieces in answer to its request and whole well
// within the 50 ms deadline, which costs no real time. Up to twelve
// exchanges run on one line; the failure run the input starts with (0..10)
// decides whether the first ones begin with a line reset, which fails at
// once since no device path is recorded, and leaves the line closed for the
// rest. After every exchange its status, the four counts, the failure run,
// the raw answer and the request written are checked against a model of the
// exchange; the service checks its decoded values itself.
//
// Input: failure run byte, piece plan, then the answers.
#pragma once

#include "device_status.h"
#include "harness.h"
#include "script_line.h"
#include "timed_query.h"

#include <fcntl.h>
#include <functional>
#include <unistd.h>

namespace fuzz {

struct TimedUnit {
    Serial_Device* device;
    std::size_t answer_length;
    bool raw_shows_partial_answers;
    std::vector<uint8_t> request;
    std::function<bool(const uint8_t*)> header_ok;
    std::function<bool(const uint8_t*)> checksum_ok;
    // The status the service's decoding gives a verified answer.
    std::function<int(const uint8_t*)> accept_status;
    // Runs the service's exchange; after DEV_OK also checks the values the
    // service decoded from `answer`.
    std::function<int(Line_Serial_Frame*, uint8_t* raw, const uint8_t* answer)> exchange;
};

inline void run_timed_exchanges(const uint8_t* data, std::size_t size, const TimedUnit& unit)
{
    drop_discarded_output();
    ByteReader in(data, size);
    const uint8_t run = uint8_t(in.u8() % (TIMED_QUERY_RESET_AFTER + 1));
    PiecePlan plan(in);
    const std::size_t len = unit.answer_length;
    std::vector<uint8_t> answers;  // back to back, `len` bytes each
    do {
        in.append_padded(answers, len);
    } while (!in.empty() && answers.size() < 12 * len);

    Serial_Device& d = *unit.device;
    ScriptLine& line = ScriptLine::fresh();
    // A descriptor names the line outside the port (the reset closes it).
    d.fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    d.dev.clear();
    d.baud = 115200;
    d.head_err_cnt = d.check_err_cnt = d.length_err_cnt = d.uart_reset_cnt = 0;
    d.consecutive_fail_cnt = run;
    d.uart_ready = 1;

    bool open = true;
    unsigned head = 0, check = 0, resets = 0;
    uint8_t fails = run;
    std::vector<uint8_t> raw(len);
    for (std::size_t at = 0; at < answers.size(); at += len) {
        const uint8_t* a = &answers[at];
        int want;
        bool raw_is_answer = false;
        bool requested = false;
        if (!open) {
            want = DEV_ERR_NOT_OPEN;
        } else if (fails >= TIMED_QUERY_RESET_AFTER) {
            open = false;  // the reset cannot re-open a line without a path
            want = DEV_ERR_SEND;
            ++fails;
        } else {
            requested = true;
            if (!unit.header_ok(a)) {
                want = DEV_ERR_HEADER;
                ++head;
                ++fails;
                raw_is_answer = unit.raw_shows_partial_answers;
            } else if (!unit.checksum_ok(a)) {
                want = DEV_ERR_CHECKSUM;
                ++check;
                ++fails;
                raw_is_answer = unit.raw_shows_partial_answers;
            } else {
                want = unit.accept_status(a);
                raw_is_answer = true;
                if (want == DEV_OK)
                    fails = 0;
                else
                    ++fails;
            }
        }

        // Pieces up to 3 ms apart, the whole answer within 40 ms.
        if (requested) line.push_answer(a, len, plan, 3, 40000);

        Line_Serial_Frame st;
        std::memset(&st, 0x5A, sizeof st);
        std::fill(raw.begin(), raw.end(), 0x5A);
        const std::size_t asked_before = line.requests();
        const int status = unit.exchange(&st, raw.data(), a);
        const std::size_t writes = line.requests() - asked_before;

        FUZZ_CHECK(status == want, "status " + std::to_string(status) + " want " + std::to_string(want));
        FUZZ_CHECK((d.fd >= 0) == open, "line state");
        FUZZ_CHECK(d.head_err_cnt == head && d.check_err_cnt == check && d.length_err_cnt == 0 &&
                       d.uart_reset_cnt == resets,
                   "counts " + std::to_string(d.head_err_cnt) + "/" + std::to_string(d.check_err_cnt) + "/" +
                       std::to_string(d.length_err_cnt) + "/" + std::to_string(d.uart_reset_cnt));
        FUZZ_CHECK(d.consecutive_fail_cnt == fails, "failure run " + std::to_string(d.consecutive_fail_cnt) +
                                                        " want " + std::to_string(fails));
        FUZZ_CHECK(st.serial_id == 0x5A, "line id touched");
        FUZZ_CHECK(st.head_err_cnt == head && st.check_err_cnt == check && st.length_err_cnt == 0 &&
                       st.uart_reset_cnt == resets,
                   "statistics differ from the line's counts");
        if (raw_is_answer)
            FUZZ_CHECK(std::equal(raw.begin(), raw.end(), a), "raw " + hex(raw) + " want " + hex(a, len));
        else
            FUZZ_CHECK(std::all_of(raw.begin(), raw.end(), [](uint8_t b) { return b == 0; }),
                       "raw " + hex(raw) + " should be cleared");
        if (requested) {
            FUZZ_CHECK(writes == 1 && line.request(asked_before) == unit.request,
                       std::to_string(writes) + " writes, first " + (writes ? line.request(asked_before).text() : ""));
        } else {
            FUZZ_CHECK(writes == 0, "request written on a line that cannot take it");
        }
    }
    if (d.fd >= 0) ::close(d.fd);
    d.fd = -1;
}

}  // namespace fuzz
