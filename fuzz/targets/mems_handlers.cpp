// The MEMS service's bus handler (it only has the telemetry one) with any
// message; the line is closed (fd -1), so a request that is acted on gets
// the zero record with the line's counts at once. The counts, preset from
// the first input bytes, must come through unchanged.
#include "Quimbrel.h"
#include "device_status.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::ByteReader in(data, size);
    mems_device = Mems_Device{};
    mems_device.head_err_cnt = in.u8();
    mems_device.check_err_cnt = in.u8();
    mems_device.length_err_cnt = in.u8();
    mems_device.uart_reset_cnt = in.u8();
    mems_device.consecutive_fail_cnt = in.u8();
    const Mems_Device before = mems_device;
    for (int m = 0; m < fuzz::MAX_MESSAGES && !in.empty(); ++m) {
        fuzz::BusMessage msg = fuzz::read_message(in);
        std::vector<unsigned char> payload = msg.payload;
        telemetry_callback(msg.src, servername, msg.type, "", "", payload);
        if (msg.type != "command" || msg.payload.empty() || msg.payload[0] != 0xFF) continue;
        MemsReply r = mems_telemetry_reply();
        FUZZ_CHECK(r.status == DEV_ERR_NOT_OPEN, "status " + std::to_string(r.status));
        const uint8_t want[MEMS_GNC_RECORD_LEN] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, MEMS_SERIAL_ID,
                                                  before.head_err_cnt, before.check_err_cnt,
                                                  before.length_err_cnt, before.uart_reset_cnt, 1};
        FUZZ_CHECK(std::memcmp(r.gnc, want, sizeof want) == 0, "record " + fuzz::hex(r.gnc, sizeof r.gnc));
        FUZZ_CHECK(std::memcmp(&r.line, want + 12, sizeof r.line) == 0, "line statistics");
        for (uint8_t b : r.raw) FUZZ_CHECK(b == 0, "raw answer on a closed line");
    }
    FUZZ_CHECK(mems_device.consecutive_fail_cnt == before.consecutive_fail_cnt && mems_device.fd == -1,
               "a closed line changed");
    return 0;
}
