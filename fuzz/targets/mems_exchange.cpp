// The MEMS exchange (read_mems_data) with answers of any content in any
// pieces; see timed_exchange.h. The calibration is the one a successful line
// set-up loads: the target sets up a pseudo-terminal it owns once at start
// and keeps what that loaded. Each axis is count × 1024 / (K × time) −
// w0 / 3600, a zero time taken as one, checked here in double precision.
#include "Quimbrel.h"
#include "timed_exchange.h"

#include <pty.h>

namespace {

float calibration_K[3], calibration_w0[3];

int32_t count24(const uint8_t* p)
{
    uint32_t v = (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
    return (v & 0x800000u) ? int32_t(v | 0xFF000000u) : int32_t(v);
}
uint16_t time16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
const int kAxisAt[3] = {1, 6, 11};

const fuzz::TimedUnit& mems_unit()
{
    static const fuzz::TimedUnit unit = {
        &mems_device,
        MEMS_ANSWER_LEN,
        false,
        {0x55, 0x68},
        [](const uint8_t* a) { return a[0] == 0x97; },
        [](const uint8_t* a) { return fuzz::sum8_of(a, MEMS_ANSWER_LEN - 1) == a[MEMS_ANSWER_LEN - 1]; },
        [](const uint8_t*) { return int(DEV_OK); },
        [](Line_Serial_Frame* st, uint8_t* raw, const uint8_t* a) {
            MEMS_Info_Frame info{-1.0f, -1.0f, -1.0f};
            const int status = read_mems_data(&info, st, raw);
            if (status == DEV_OK) {
                const float got[3] = {info.x_axis, info.y_axis, info.z_axis};
                for (int i = 0; i < 3; ++i) {
                    const uint16_t t = time16(a + kAxisAt[i] + 3);
                    const double rate = 1024.0 * count24(a + kAxisAt[i]) / (double(calibration_K[i]) * (t ? t : 1));
                    const double bias = calibration_w0[i] / 3600.0;
                    FUZZ_CHECK(fuzz::close_to(got[i], rate - bias, std::max(std::fabs(rate), bias)),
                               "axis " + std::to_string(i) + " " + std::to_string(got[i]) + " want " +
                                   std::to_string(rate - bias));
                }
            }
            return status;
        },
    };
    return unit;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        std::abort();
    }
    if (mems_uart_init(name, 115200) != DEV_OK) {
        std::fprintf(stderr, "fuzz set-up: the MEMS line set-up failed on %s\n", name);
        std::abort();
    }
    serial_line_close(mems_device.fd);
    ::close(slave);
    ::close(master);
    std::memcpy(calibration_K, mems_device.mems_K, sizeof calibration_K);
    std::memcpy(calibration_w0, mems_device.mems_w0, sizeof calibration_w0);
    for (int i = 0; i < 3; ++i) {
        if (!(calibration_K[i] > 0.0f)) {
            std::fprintf(stderr, "fuzz set-up: no MEMS calibration loaded\n");
            std::abort();
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    mems_device = Mems_Device{};
    std::memcpy(mems_device.mems_K, calibration_K, sizeof calibration_K);
    std::memcpy(mems_device.mems_w0, calibration_w0, sizeof calibration_w0);
    fuzz::run_timed_exchanges(data, size, mems_unit());
    return 0;
}
