// The optical ranging query (read_optical_data) against a unit that sends
// any bytes, in any pieces, and then goes quiet for good: the whole stream
// waits on an in-memory line (packet_lines.h: one piece per read, a flush
// leaves it alone) that then reads end of file, so every read phase ends
// either with a whole 228-byte answer or at end of file, and no attempt
// sits out its second of silence. Up to ten attempts run;
// each takes the next 228 bytes of the stream (fewer at its end, none
// after). The outcome, counts, failure score, line resets, requests
// written, record and raw answer are checked against the stream.
//
// A line reset finds no device (no path is recorded). With re-opening on
// (the default), the attempt after it ends the request at once as a line
// that is gone; with it off, the attempts go on against the closed line.
//
// Input: first byte: bit 7 re-opening off, the rest the failure score to
// start with (modulo 13); piece plan, then the stream (at most ten answers
// long).
#include "Tavrin.h"
#include "device_status.h"
#include "harness.h"
#include "packet_lines.h"

namespace {

bool valid(const uint8_t* a)
{
    return a[0] == 0xEB && a[1] == 0x90 && fuzz::sum8_of(a + 2, 225) == a[227];
}

struct Model {
    uint8_t score;
    bool reopen;
    bool open = true;
    unsigned head = 0, check = 0, length = 0, resets = 0, requests = 0;
    int status = DEV_ERR_UNKNOWN;
    std::size_t answer_at = 0;

    void reset()
    {
        open = false;  // no device path recorded: the re-open fails
        ++resets;
    }
    void run(const std::vector<uint8_t>& s)
    {
        std::size_t pos = 0;
        for (int attempt = 0; attempt < OPTICAL_ATTEMPTS; ++attempt) {
            if (!open && reopen) {
                status = DEV_ERR_NOT_OPEN;  // gone: no more attempts
                return;
            }
            ++score;  // the request command counts as a failure until an answer clears it
            if (score > OPTICAL_RESET_ABOVE) {
                reset();
                score = 0;
            }
            if (!open) {
                ++score;
                continue;
            }
            ++requests;
            const std::size_t got = std::min(OPTICAL_ANSWER_LEN, s.size() - pos);
            const std::size_t at = pos;
            pos += got;
            if (got == 0) {
                ++score;
                if (score > OPTICAL_RESET_ABOVE) {
                    reset();
                    score = 0;
                }
                continue;
            }
            if (got != OPTICAL_ANSWER_LEN) {
                ++length;
                continue;
            }
            // A refused answer makes the next attempt read away whatever
            // is still on the line first: here, the rest of the stream.
            if (s[at] != 0xEB || s[at + 1] != 0x90) {
                ++head;
                ++score;
                pos = s.size();
                continue;
            }
            if (!valid(&s[at])) {
                ++check;
                ++score;
                pos = s.size();
                continue;
            }
            if (score > 0) --score;
            status = DEV_OK;
            answer_at = at;
            return;
        }
        reset();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::drop_discarded_output();
    fuzz::ByteReader in(data, size);
    const uint8_t first = in.u8();
    const bool reopen = (first & 0x80) == 0;
    const uint8_t score = uint8_t((first & 0x7F) % 13);
    fuzz::PiecePlan plan(in);
    std::vector<uint8_t> stream = in.rest();
    if (stream.size() > OPTICAL_ATTEMPTS * OPTICAL_ANSWER_LEN) stream.resize(OPTICAL_ATTEMPTS * OPTICAL_ANSWER_LEN);

    optical_device = Serial_Device{};
    optical_device.uart_ready = 1;
    optical_device.consecutive_fail_cnt = score;
    optical_device.line_return.enabled = reopen;
    optical_command_counts = OpticalCommandCounts{};
    fuzz::PacketLines& line = fuzz::PacketLines::fresh(1);
    optical_device.fd = line.fd(0);
    std::size_t budget = fuzz::PIECE_BUDGET;
    line.send(0, stream, plan, budget, OPTICAL_ANSWER_LEN);
    line.end_of_data(0);

    Model model{score, reopen};
    model.run(stream);

    OPTICAL_GNC_Frame record;
    std::memset(&record, 0x5A, sizeof record);
    OPTICAL_Serial_Frame stats;
    std::memset(&stats, 0x5A, sizeof stats);
    uint8_t raw[OPTICAL_ANSWER_LEN];
    std::memset(raw, 0x5A, sizeof raw);
    const int status = read_optical_data(&record, &stats, raw);

    FUZZ_CHECK(status == model.status, "status " + std::to_string(status) + " want " + std::to_string(model.status));
    FUZZ_CHECK(line.writes(0) == model.requests,
               std::to_string(line.writes(0)) + " requests, want " + std::to_string(model.requests));
    static const std::vector<uint8_t> request = {0xCD, 0x90, 0x06, 0x00, 0xFF};
    for (std::size_t i = 0; i < line.writes(0); ++i)
        FUZZ_CHECK(line.written(0, i) == request, "request " + line.written(0, i).text());
    const Serial_Device& d = optical_device;
    FUZZ_CHECK(d.head_err_cnt == model.head && d.check_err_cnt == model.check && d.length_err_cnt == model.length &&
                   d.uart_reset_cnt == model.resets,
               "counts " + std::to_string(d.head_err_cnt) + "/" + std::to_string(d.check_err_cnt) + "/" +
                   std::to_string(d.length_err_cnt) + "/" + std::to_string(d.uart_reset_cnt) + " want " +
                   std::to_string(model.head) + "/" + std::to_string(model.check) + "/" +
                   std::to_string(model.length) + "/" + std::to_string(model.resets));
    FUZZ_CHECK(d.consecutive_fail_cnt == model.score,
               "failure score " + std::to_string(d.consecutive_fail_cnt) + " want " + std::to_string(model.score));
    FUZZ_CHECK(stats.serial_id == 0x5A, "line id touched");
    FUZZ_CHECK(stats.head_err_cnt == d.head_err_cnt && stats.check_err_cnt == d.check_err_cnt &&
                   stats.length_err_cnt == d.length_err_cnt && stats.uart_reset_cnt == d.uart_reset_cnt,
               "statistics differ from the line's counts");
    FUZZ_CHECK((d.fd >= 0) == (model.open && model.status == DEV_OK), "line state");

    if (status == DEV_OK) {
        const uint8_t* a = &stream[model.answer_at];
        FUZZ_CHECK(std::memcmp(raw, a, OPTICAL_ANSWER_LEN) == 0, "raw answer differs");
        FUZZ_CHECK(fuzz::same_float(record.far_range, fuzz::float_of_bits(fuzz::be32_of(a + 3))), "far range");
        FUZZ_CHECK(fuzz::same_float(record.near_range, fuzz::float_of_bits(fuzz::be32_of(a + 7))), "near range");
        FUZZ_CHECK(uint16_t(record.far_mirror_azimuth) == uint16_t((a[11] << 8) | a[12]), "azimuth");
        FUZZ_CHECK(uint16_t(record.near_mirror_pitch) == uint16_t((a[13] << 8) | a[14]), "pitch");
        FUZZ_CHECK(record.cmd_recv_count == a[21] && record.tlm_count == a[22], "unit counts");
        FUZZ_CHECK(record.ranging_time_sec == fuzz::be32_of(a + 57), "ranging seconds");
        FUZZ_CHECK(record.ranging_time_ms == uint16_t((a[61] << 8) | a[62]), "ranging milliseconds");
    } else {
        for (uint8_t b : raw) FUZZ_CHECK(b == 0, "raw answer after a failed query");
        const uint8_t* r = reinterpret_cast<const uint8_t*>(&record);
        for (std::size_t i = 0; i < sizeof record; ++i) FUZZ_CHECK(r[i] == 0, "record after a failed query");
    }
    if (d.fd >= 0) ::close(d.fd);  // else a reset closed it
    optical_device.fd = -1;
    return 0;
}
