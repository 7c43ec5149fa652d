// The star sensor service's bus handlers with any message: command and
// telemetry requests with any payload, type label and source.
//
// Telemetry requests always find the sensors' lines closed (fd -1), so no
// query waits. Commands run either on closed lines or, when the input asks
// for it, on a socket line whose far end the target reads: then the frame
// the handler writes is checked against the sensor protocol.
#include "Brenvik.h"
#include "device_status.h"
#include "harness.h"

namespace {

void set_all_lines(int fd)
{
    for (int i = 0; i < STAR_MAX_SENSORS; ++i) {
        nano_stars[i].fd = fd;
        pico_stars[i].fd = fd;
    }
}

void check_command_frame(const std::vector<unsigned char>& payload, const std::vector<std::vector<uint8_t>>& written,
                         bool line_open)
{
    if (payload.size() < 4 || !line_open) {
        FUZZ_CHECK(written.empty(), "a frame went out for a command that cannot be sent: " +
                                        std::to_string(written.size()));
        return;
    }
    const int type = payload[0], num = payload[1], code = payload[2], param = payload[3];
    uint8_t want[STAR_MAX_FRAME];
    std::size_t want_len = 0;
    const bool buildable = build_star_command(type, code, uint8_t(param), UTC_TIME_SET, want, want_len) ==
                           StarFrameResult::ok;
    const bool addressable = star_device(type, num) != nullptr;
    if (!buildable || !addressable) {
        FUZZ_CHECK(written.empty(), "frame sent for type " + std::to_string(type) + " num " + std::to_string(num) +
                                        " cmd " + std::to_string(code));
        return;
    }
    FUZZ_CHECK(written.size() == 1, "one command, " + std::to_string(written.size()) + " writes");
    const std::vector<uint8_t>& f = written[0];
    FUZZ_CHECK(f == std::vector<uint8_t>(want, want + want_len), "frame " + fuzz::hex(f));
    // The frame as a sensor reads it: 0x74, length chosen by byte 1, sum.
    FUZZ_CHECK(f.size() >= 5 && f[0] == 0x74, "frame start " + fuzz::hex(f));
    const std::size_t len = f[1] == 0xA3 ? 8 : f[1] == 0x56 ? 77 : 5;
    FUZZ_CHECK(f.size() == len, "frame length " + std::to_string(f.size()));
    FUZZ_CHECK(fuzz::sum8_of(f.data(), len - 1) == f[len - 1], "frame checksum " + fuzz::hex(f));
    if (len == 5 && code >= 12 && code <= 26) FUZZ_CHECK(f[3] == param, "parameter byte " + fuzz::hex(f));
}

void check_telemetry_reply(const std::vector<unsigned char>& payload)
{
    if (payload.size() < 2) return;
    const uint8_t type = payload[0], num = payload[1];
    Brenvik_Frame r;
    std::memset(&r, 0x5A, sizeof r);
    int status = star_telemetry_reply(type, num, r);
    const bool known = star_device(type, num) != nullptr;
    FUZZ_CHECK(status == (known ? DEV_ERR_NOT_OPEN : DEV_ERR_PARSE), "status " + std::to_string(status));
    Brenvik_Frame want;
    std::memset(&want, 0, sizeof want);
    want.star_type = type;
    want.star_num = num;
    FUZZ_CHECK(std::memcmp(&r, &want, sizeof r) == 0,
               "reply " + fuzz::hex(reinterpret_cast<const uint8_t*>(&r), sizeof r));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::ByteReader in(data, size);
    const bool open_line = in.u8() & 1;
    for (int i = 0; i < STAR_MAX_SENSORS; ++i) {
        nano_stars[i] = Star_Device{};
        pico_stars[i] = Star_Device{};
    }
    fuzz::SocketLine line;
    for (int m = 0; m < fuzz::MAX_MESSAGES && !in.empty(); ++m) {
        fuzz::BusMessage msg = fuzz::read_message(in);
        std::vector<unsigned char> payload = msg.payload;
        if (msg.telemetry) {
            set_all_lines(-1);
            telemetry_callback(msg.src, servername, msg.type, "", "", payload);
            check_telemetry_reply(msg.payload);
        } else {
            set_all_lines(open_line ? line.line_fd() : -1);
            command_callback(msg.src, servername, msg.type, "", "", payload);
            check_command_frame(msg.payload, line.take_written(), open_line);
        }
    }
    set_all_lines(-1);
    return 0;
}
