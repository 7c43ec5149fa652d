// The reaction wheel service's bus handlers with any message. The first
// input byte sets how many wheels are configured (low four bits, at most
// eight) and whether commands find open lines (bit 4): socket lines whose
// far end the target reads, so every command frame written is checked.
// Telemetry requests are answered from the wheels' cached status, which the
// target fills from the input.
#include "Skardel.h"
#include "device_status.h"
#include "harness.h"

#include <cmath>

namespace {

uint8_t wheels_configured = 0;

void check_value(const uint8_t* field, float value)
{
    // value × 1000 floored, 32-bit two's complement, big-endian: within one
    // count of the exact product wherever the product fits.
    double exact = double(value) * 1000.0;
    if (!std::isfinite(exact) || std::fabs(exact) >= 2147483647.0) return;
    int32_t count = int32_t(fuzz::be32_of(field));
    FUZZ_CHECK(std::fabs(double(count) - exact) < 1.0 + 1e-6,
               "value " + std::to_string(value) + " sent as " + std::to_string(count));
}

void check_command(const std::vector<unsigned char>& p, const std::vector<std::vector<uint8_t>>& written,
                   bool line_open)
{
    const bool valid = p.size() >= 10 && p[0] >= 1 && p[0] <= wheels_configured && p[1] <= 1;
    if (!valid || !line_open) {
        FUZZ_CHECK(written.empty(), "frame written for a command that cannot be sent");
        return;
    }
    FUZZ_CHECK(written.size() == 1, std::to_string(written.size()) + " writes for one command");
    const std::vector<uint8_t>& f = written[0];
    FUZZ_CHECK(f.size() == FLYWHEEL_CMD_LEN, "frame " + fuzz::hex(f));
    FUZZ_CHECK(f[0] == (p[1] == 0 ? 0x58 : 0x59), "mode byte " + fuzz::hex(f));
    FUZZ_CHECK(f[9] == flywheels[p[0] - 1].hardware_id, "hardware id " + fuzz::hex(f));
    FUZZ_CHECK(f[10] == fuzz::sum8_of(f.data(), 10), "checksum " + fuzz::hex(f));
    const float v1 = fuzz::float_of_bits(fuzz::le32_of(&p[2]));
    const float v2 = fuzz::float_of_bits(fuzz::le32_of(&p[6]));
    uint8_t want[FLYWHEEL_CMD_LEN];
    build_flywheel_command(f[0], v1, v2, f[9], want);
    FUZZ_CHECK(std::memcmp(want, f.data(), sizeof want) == 0, "frame " + fuzz::hex(f));
    check_value(&f[1], v1);
    check_value(&f[5], v2);
}

void check_reply(const std::string& type, const std::vector<unsigned char>& p)
{
    FlywheelReply r;
    std::memset(&r, 0x5A, sizeof r);
    const bool answered = flywheel_telemetry_reply(type, p, r);
    const bool want = type == "command" && p.size() >= 2 && p[0] >= 1 && p[0] <= wheels_configured;
    FUZZ_CHECK(answered == want, "answered " + std::to_string(answered));
    if (!answered) return;
    const Flywheel_Device& w = flywheels[p[0] - 1];
    FUZZ_CHECK(r.info.wheel_id == p[0], "wheel id " + std::to_string(r.info.wheel_id));
    FUZZ_CHECK(fuzz::same_float(r.info.speed, w.info_frame.speed) && fuzz::same_float(r.info.current, w.info_frame.current) &&
                   fuzz::same_float(r.info.torque, w.info_frame.torque),
               "values differ from the cached status");
    FUZZ_CHECK(r.stats.serial_id == p[0] + 4, "line id " + std::to_string(r.stats.serial_id));
    FUZZ_CHECK(r.stats.head_err_cnt == w.serial_frame.head_err_cnt &&
                   r.stats.check_err_cnt == w.serial_frame.check_err_cnt,
               "counts differ from the cached status");
    FUZZ_CHECK(std::memcmp(r.raw, w.raw_frame, sizeof r.raw) == 0, "raw frame differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::ByteReader in(data, size);
    const uint8_t settings = in.u8();
    const bool open_line = settings & 0x10;
    wheels_configured = uint8_t(std::min(settings & 0x0F, FLYWHEEL_MAX));
    fuzz::SocketLine line;
    for (int i = 0; i < FLYWHEEL_MAX; ++i) {
        Flywheel_Device& w = flywheels[i];
        w = Flywheel_Device{};
        cmd_cache[i] = Flywheel_Cmd{};
        w.hardware_id = uint8_t(0x11 * (i + 1));
        // A cached status, as the main loop would have left it.
        std::vector<uint8_t> cached = in.bytes(sizeof w.raw_frame);
        if (!cached.empty()) std::memcpy(w.raw_frame, cached.data(), cached.size());
        w.info_frame.wheel_id = uint8_t(i + 1);
        w.info_frame.speed = cal_message_para(w.raw_frame + 1, 1000);
        w.info_frame.current = cal_message_para(w.raw_frame + 5, 1000);
        w.info_frame.torque = cal_message_para(w.raw_frame + 13, 1000);
        w.serial_frame.serial_id = uint8_t(i + 1);
        w.serial_frame.head_err_cnt = w.raw_frame[2];
        w.serial_frame.check_err_cnt = w.raw_frame[3];
        w.fd = open_line ? line.line_fd() : -1;
    }
    flywheel_count = wheels_configured;

    for (int m = 0; m < fuzz::MAX_MESSAGES && !in.empty(); ++m) {
        fuzz::BusMessage msg = fuzz::read_message(in);
        std::vector<unsigned char> payload = msg.payload;
        if (msg.telemetry) {
            telemetry_callback(msg.src, servername, msg.type, "", "", payload);
            check_reply(msg.type, msg.payload);
        } else {
            command_callback(msg.src, servername, msg.type, "", "", payload);
            check_command(msg.payload, line.take_written(), open_line);
        }
    }
    for (auto& w : flywheels) w.fd = -1;
    flywheel_count = 0;
    return 0;
}
