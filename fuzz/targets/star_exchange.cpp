// The star sensor query (read_single_star_data): the sensor's answers, of
// any content and cut into any pieces, come from an in-memory line on a
// virtual clock (script_line.h). Each attempt of the query reads one whole
// answer (64 bytes nano, 256 pico); the sensor answers each query it is
// sent with the next answer, up to the first good one, or ten when none is
// good, and a read window that runs out costs no real time. The query's
// outcome, counts, reply record and the requests it wrote are checked
// against the answers.
//
// Input: selector byte (bit 0 pico, bits 1-3 sensor number - 1), piece
// plan, then the answers back to back (the last one padded with zeros).
#include "Brenvik.h"
#include "device_status.h"
#include "harness.h"
#include "script_line.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

bool header_ok(star_type_t type, const uint8_t* a)
{
    return type == STAR_NANO ? a[0] == 0x8A && a[1] == 0xA1 : a[0] == 0xEB && a[1] == 0x50 && a[2] == 0x22;
}

bool checksum_ok(const uint8_t* a, std::size_t len) { return fuzz::sum8_of(a, len - 1) == a[len - 1]; }

float quaternion(uint32_t raw) { return float(double(int32_t(raw)) / 2147483648.0); }

void check_decoded(star_type_t type, const uint8_t* p, const Brenvik_Frame& r)
{
    float q[4], w[3] = {0, 0, 0};
    uint8_t stars;
    if (type == STAR_NANO) {
        for (int i = 0; i < 4; ++i) q[i] = quaternion(fuzz::be32_of(p + 4 + 4 * i));
        for (int i = 0; i < 3; ++i) {
            int16_t raw = int16_t(uint16_t((p[45 + 2 * i] << 8) | p[46 + 2 * i]));
            double want = raw * 2.0e-13;
            FUZZ_CHECK(fuzz::close_to((&r.wx)[i], want, want), "rate " + std::to_string(i));
        }
        stars = p[35];
    } else {
        // The scalar part comes last on a pico sensor, little-endian.
        q[0] = quaternion(fuzz::le32_of(p + 16));
        q[1] = quaternion(fuzz::le32_of(p + 4));
        q[2] = quaternion(fuzz::le32_of(p + 8));
        q[3] = quaternion(fuzz::le32_of(p + 12));
        stars = uint8_t(p[34] >> 1);
        FUZZ_CHECK(r.wx == 0.0f && r.wy == 0.0f && r.wz == 0.0f, "pico rates not zero");
        (void)w;
    }
    const float got[4] = {r.q0, r.q1, r.q2, r.q3};
    for (int i = 0; i < 4; ++i)
        FUZZ_CHECK(fuzz::same_float(got[i], q[i]), "q" + std::to_string(i) + " " + std::to_string(got[i]) +
                                                      " want " + std::to_string(q[i]));
    FUZZ_CHECK(r.detected_stars == stars, "detected stars " + std::to_string(r.detected_stars));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::drop_discarded_output();
    fuzz::ByteReader in(data, size);
    const uint8_t sel = in.u8();
    const star_type_t type = (sel & 1) ? STAR_PICO : STAR_NANO;
    const uint8_t num = uint8_t(1 + ((sel >> 1) & 7));
    fuzz::PiecePlan plan(in);
    const SENSOR_Cmder code = type == STAR_NANO ? STAR_CMD_NANO_QUERY : STAR_CMD_PICO_QUERY;
    const std::size_t len = star_answer_length(type, code);

    // The answers back to back, `len` bytes each.
    std::vector<uint8_t> answers;
    std::size_t count = 0;
    while (!in.empty() && int(count) < STAR_QUERY_ATTEMPTS) {
        in.append_padded(answers, len);
        ++count;
    }
    auto answer = [&](std::size_t i) { return &answers[i * len]; };
    int good = -1;
    for (std::size_t i = 0; i < count && good < 0; ++i)
        if (header_ok(type, answer(i)) && checksum_ok(answer(i), len)) good = int(i);
    if (good >= 0) {
        count = std::size_t(good) + 1;
    } else {
        count = STAR_QUERY_ATTEMPTS;
        answers.resize(count * len, 0);
    }
    unsigned header_errors = 0, checksum_errors = 0;
    for (std::size_t i = 0; i < count && int(i) != good; ++i) {
        if (!header_ok(type, answer(i)))
            ++header_errors;
        else
            ++checksum_errors;
    }

    Star_Device& d = *star_device(type, num);
    d = Star_Device{};
    fuzz::ScriptLine& line = fuzz::ScriptLine::fresh();
    // A descriptor names the line outside the port (closing it at the
    // reset); no path is recorded, so the reset cannot open anything.
    d.fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const int line_fd = d.fd;
    d.baud = 115200;
    // Pieces up to 7 ms apart, each answer whole within its one-second
    // window (a slower one is a length error, tested elsewhere).
    for (std::size_t i = 0; i < count; ++i) line.push_answer(answer(i), len, plan, 7, 900000);

    Brenvik_Frame r;
    std::memset(&r, 0x5A, sizeof r);
    const int status = read_single_star_data(type, num, code, &r);
    if (d.fd == line_fd) ::close(line_fd);  // else the reset closed it

    FUZZ_CHECK(d.length_err_cnt == 0, "length count " + std::to_string(d.length_err_cnt) + " for whole answers");
    static const std::vector<uint8_t> nano_query = {0x74, 0xA1, 0x00, 0x00, 0x15};
    static const std::vector<uint8_t> pico_query = {0x74, 0xA1, 0x00, 0x05, 0x1A};
    const std::vector<uint8_t>& query = type == STAR_NANO ? nano_query : pico_query;
    FUZZ_CHECK(line.requests() == count,
               std::to_string(line.requests()) + " queries for " + std::to_string(count) + " answers");
    for (std::size_t i = 0; i < line.requests(); ++i)
        FUZZ_CHECK(line.request(i) == query, "query " + line.request(i).text());

    FUZZ_CHECK(d.head_err_cnt == header_errors, "header count " + std::to_string(d.head_err_cnt));
    FUZZ_CHECK(d.check_err_cnt == checksum_errors, "checksum count " + std::to_string(d.check_err_cnt));
    FUZZ_CHECK(r.star_type == type && r.star_num == num, "record type/number");
    FUZZ_CHECK(r.head_err_cnt == header_errors && r.check_err_cnt == checksum_errors && r.length_err_cnt == 0,
               "record counts");
    if (good >= 0) {
        FUZZ_CHECK(status == DEV_OK, "status " + std::to_string(status) + " for a good answer");
        FUZZ_CHECK(d.fd == line_fd, "line not kept after a good answer");
        FUZZ_CHECK(d.uart_reset_cnt == 0 && r.uart_reset_cnt == 0, "reset after a good answer");
        FUZZ_CHECK(r.fault_cnt == header_errors + checksum_errors, "fault count " + std::to_string(r.fault_cnt));
        check_decoded(type, answer(std::size_t(good)), r);
    } else {
        FUZZ_CHECK(status == DEV_ERR_UNKNOWN, "status " + std::to_string(status) + " after ten bad answers");
        FUZZ_CHECK(d.fd == -1, "a line without a path re-opened");
        FUZZ_CHECK(d.uart_reset_cnt == 1 && r.uart_reset_cnt == 1, "reset count");
        FUZZ_CHECK(r.fault_cnt == header_errors + checksum_errors + 1, "fault count");
        FUZZ_CHECK(r.q0 == 0.0f && r.q1 == 0.0f && r.q2 == 0.0f && r.q3 == 0.0f && r.detected_stars == 0,
                   "values after a failed query");
    }
    d.fd = -1;
    return 0;
}
