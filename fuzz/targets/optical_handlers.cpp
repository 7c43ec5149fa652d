// The optical ranging service's bus handlers with any message. Telemetry
// requests find the line closed (fd -1). Commands run on a closed line or,
// when the first input byte has bit 0 set, on a socket line whose far end
// the target reads: every frame written is checked against the command it
// came from, and the service's three command counts against the messages.
// Bits 1-4 of that byte preset the line's failure score, so the line reset
// that repeated telemetry-request commands cause is reached too (with no
// device path recorded it cannot open anything).
#include "Tavrin.h"
#include "device_status.h"
#include "harness.h"

namespace {

std::vector<uint8_t> expected_frame(const std::vector<unsigned char>& p)
{
    const uint8_t type = p[0], number = p[1];
    if (type == 0 && number < OPTICAL_DIRECT_ROWS) return {Optical_CMD[number], Optical_CMD[number] + 5};
    if (type == 1 && p.size() >= 6 && number >= 1 && number <= 11) {
        std::vector<uint8_t> f = {0xEB, 0x90, number, 0, 0, 0, 0, 0};
        switch (number) {
        case 1: case 3: case 4: case 6: case 8: f[3] = p[2]; break;   // lowest byte of the value
        case 2: case 5: f[3] = p[5]; f[4] = p[4]; f[5] = p[3]; f[6] = p[2]; break;  // big-endian value
        default: break;                                              // no value sent
        }
        f[7] = fuzz::sum8_of(f.data(), 7);
        return f;
    }
    if (type == 2 && p.size() >= 8) {
        std::vector<uint8_t> f = {0xEB, 0x90, 0x0D, p[5], p[4], p[3], p[2], p[7], p[6], 0};
        f[9] = fuzz::sum8_of(f.data(), 9);
        return f;
    }
    return {};
}

bool accepted(const std::vector<unsigned char>& p)
{
    if (p.size() < 2) return false;
    if (p[0] == 0) return p[1] < OPTICAL_DIRECT_ROWS;
    if (p[0] == 1) return p.size() >= 6 && p[1] >= 1 && p[1] <= 11;
    if (p[0] == 2) return p.size() >= 8;
    return false;
}

void check_reply()
{
    OpticalReply r = optical_telemetry_reply();
    FUZZ_CHECK(r.status == DEV_ERR_NOT_OPEN, "status " + std::to_string(r.status));
    for (int i = 0; i < 20; ++i) FUZZ_CHECK(r.gnc[i] == 0, "value byte " + std::to_string(i) + " on a closed line");
    const OpticalCommandCounts c = optical_command_counts;
    FUZZ_CHECK(r.gnc[20] == c.received && r.gnc[21] == c.accepted && r.gnc[22] == c.written, "command counts");
    FUZZ_CHECK(r.gnc[23] == optical_device.head_err_cnt && r.gnc[24] == optical_device.check_err_cnt &&
                   r.gnc[25] == optical_device.length_err_cnt && r.gnc[26] == optical_device.uart_reset_cnt,
               "line counts");
    FUZZ_CHECK(r.gnc[27] == 1, "reset-enable byte");
    FUZZ_CHECK(r.line.serial_id == OPTICAL_SERIAL_ID, "line id");
    for (uint8_t b : r.raw) FUZZ_CHECK(b == 0, "raw answer on a closed line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::ByteReader in(data, size);
    const uint8_t settings = in.u8();
    const bool open_line = settings & 1;
    optical_device = Serial_Device{};
    optical_device.uart_ready = 1;
    optical_device.consecutive_fail_cnt = uint8_t((settings >> 1) & 15);
    optical_command_counts = OpticalCommandCounts{};
    fuzz::SocketLine line;
    bool line_held = open_line;

    for (int m = 0; m < fuzz::MAX_MESSAGES && !in.empty(); ++m) {
        fuzz::BusMessage msg = fuzz::read_message(in);
        std::vector<unsigned char> payload = msg.payload;
        if (msg.telemetry) {
            optical_device.fd = -1;
            telemetry_callback(msg.src, servername, msg.type, "", "", payload);
            if (msg.type == "command" && !msg.payload.empty() && msg.payload[0] == 0xFF) check_reply();
            continue;
        }
        const int given = line_held ? line.line_fd() : -1;
        optical_device.fd = given;
        const OpticalCommandCounts before = optical_command_counts;
        command_callback(msg.src, servername, msg.type, "", "", payload);
        if (line_held && optical_device.fd != given) {
            line.released_by_target();
            line_held = false;
        }
        const OpticalCommandCounts after = optical_command_counts;
        const auto written = line.take_written();
        const std::vector<unsigned char>& p = msg.payload;

        FUZZ_CHECK(uint8_t(after.received - before.received) == 1, "received count");
        FUZZ_CHECK(uint8_t(after.accepted - before.accepted) == (accepted(p) ? 1 : 0), "accepted count");
        FUZZ_CHECK(uint8_t(after.written - before.written) == written.size(), "written count");
        const std::vector<uint8_t> want = p.size() >= 2 ? expected_frame(p) : std::vector<uint8_t>{};
        const bool can_write = line_held && optical_device.fd > 0;
        if (!want.empty() && can_write) {
            FUZZ_CHECK(written.size() == 1, std::to_string(written.size()) + " writes");
            FUZZ_CHECK(written[0] == want, "frame " + fuzz::hex(written[0]) + " want " + fuzz::hex(want));
        } else {
            FUZZ_CHECK(written.empty(), "unexpected frame " + fuzz::hex(written.empty() ? want : written[0]));
        }
    }
    if (line_held) optical_device.fd = -1;
    return 0;
}
