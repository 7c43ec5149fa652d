// The vision service's bus handlers with any message. Telemetry requests
// find the line closed (fd -1). Commands run on a closed line or, when the
// first input byte has bit 0 set, on a socket line whose far end the target
// reads: every frame written is checked against the command it came from.
#include "Pellwyn.h"
#include "device_status.h"
#include "harness.h"

#include <cmath>

namespace {

// EB 90 1E 00 N, the body, the sum of the bytes from 1E through the body.
std::vector<uint8_t> command_frame(const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> f = {0xEB, 0x90, 0x1E, 0x00, uint8_t(body.size())};
    f.insert(f.end(), body.begin(), body.end());
    f.push_back(fuzz::sum8_of(&f[2], f.size() - 2));
    return f;
}

void put_be32(std::vector<uint8_t>& v, uint32_t x)
{
    v.push_back(uint8_t(x >> 24));
    v.push_back(uint8_t(x >> 16));
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}

std::vector<uint8_t> expected_frame(const std::vector<unsigned char>& p)
{
    if (p.empty()) return {};
    const uint8_t sel = p[0];
    if (sel == 7) {
        if (p.size() < 18) return {};
        std::vector<uint8_t> body = {7, 7};
        for (int i = 0; i < 4; ++i) put_be32(body, fuzz::le32_of(&p[1 + 4 * i]));
        body.push_back(p[17]);
        return command_frame(body);
    }
    if (sel == 8) {
        if (p.size() < 7) return {};
        std::vector<uint8_t> body = {8, 8};
        put_be32(body, fuzz::le32_of(&p[1]));
        body.push_back(p[6]);
        body.push_back(p[5]);
        return command_frame(body);
    }
    if (p.size() < 5) return {};
    if (!((sel >= 1 && sel <= 6) || (sel >= 10 && sel <= 14))) return {};
    std::vector<uint8_t> body = {sel, sel};
    const uint32_t bits = fuzz::le32_of(&p[1]);
    if (sel == 6) {
        put_be32(body, bits);
    } else {
        // The value truncated toward zero; its lowest byte travels (0 when
        // it has no 32-bit integer value).
        const float v = fuzz::float_of_bits(bits);
        uint8_t low = 0;
        if (std::isfinite(v) && std::trunc(double(v)) >= -2147483648.0 && std::trunc(double(v)) <= 2147483647.0)
            low = uint8_t(int64_t(std::trunc(double(v))) & 0xFF);
        body.insert(body.end(), {low, 0, 0, 0});
    }
    return command_frame(body);
}

void check_reply()
{
    VisionReply r = vision_telemetry_reply();
    FUZZ_CHECK(r.status == DEV_ERR_NOT_OPEN, "status " + std::to_string(r.status));
    for (int i = 0; i < 64; ++i) FUZZ_CHECK(r.gnc[i] == 0, "record byte " + std::to_string(i) + " on a closed line");
    FUZZ_CHECK(r.gnc[64] == VISION_SERIAL_ID, "line id in the record");
    FUZZ_CHECK(r.gnc[65] == vision_device.head_err_cnt && r.gnc[66] == vision_device.check_err_cnt &&
                   r.gnc[67] == vision_device.length_err_cnt && r.gnc[68] == vision_device.uart_reset_cnt,
               "line counts");
    FUZZ_CHECK(r.gnc[69] == 1, "reset-enable byte");
    for (uint8_t b : r.raw) FUZZ_CHECK(b == 0, "raw answer on a closed line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::ByteReader in(data, size);
    const bool open_line = in.u8() & 1;
    vision_device = Serial_Device{};
    vision_device.uart_ready = 1;
    fuzz::SocketLine line;

    for (int m = 0; m < fuzz::MAX_MESSAGES && !in.empty(); ++m) {
        fuzz::BusMessage msg = fuzz::read_message(in);
        std::vector<unsigned char> payload = msg.payload;
        if (msg.telemetry) {
            vision_device.fd = -1;
            telemetry_callback(msg.src, servername, msg.type, "", "", payload);
            if (msg.type == "command" && !msg.payload.empty() && msg.payload[0] == 0xFF) check_reply();
            continue;
        }
        vision_device.fd = open_line ? line.line_fd() : -1;
        command_callback(msg.src, servername, msg.type, "", "", payload);
        const auto written = line.take_written();
        const std::vector<uint8_t> want = expected_frame(msg.payload);
        if (open_line && !want.empty()) {
            FUZZ_CHECK(written.size() == 1, std::to_string(written.size()) + " writes");
            FUZZ_CHECK(written[0] == want, "frame " + fuzz::hex(written[0]) + " want " + fuzz::hex(want));
        } else {
            FUZZ_CHECK(written.empty(), "unexpected frame " + fuzz::hex(written.empty() ? want : written[0]));
        }
    }
    vision_device.fd = -1;
    return 0;
}
