// The gyro exchange (read_gyro_angle_delta) with answers of any content in
// any pieces; see timed_exchange.h. A verified answer is decoded by the
// service: any zero integral time refuses it, otherwise each axis is
// count × 1000 / time / K − w0 / 3600, checked here in double precision.
#include "Zentaro.h"
#include "timed_exchange.h"

namespace {

int32_t count24(const uint8_t* p)
{
    uint32_t v = (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
    return (v & 0x800000u) ? int32_t(v | 0xFF000000u) : int32_t(v);
}
uint16_t time16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
const int kAxisAt[3] = {1, 6, 11};

const fuzz::TimedUnit& gyro_unit()
{
    static const fuzz::TimedUnit unit = {
        &gyro_device,
        GYRO_ANSWER_LEN,
        true,
        {0x55, 0x68},
        [](const uint8_t* a) { return a[0] == 0x97; },
        [](const uint8_t* a) { return fuzz::sum8_of(a, GYRO_ANSWER_LEN - 1) == a[GYRO_ANSWER_LEN - 1]; },
        [](const uint8_t* a) {
            for (int at : kAxisAt)
                if (time16(a + at + 3) == 0) return int(DEV_ERR_PARSE);
            return int(DEV_OK);
        },
        [](Line_Serial_Frame* st, uint8_t* raw, const uint8_t* a) {
            GYRO_Info_Frame info{-1.0f, -1.0f, -1.0f};
            const int status = read_gyro_angle_delta(&info, st, raw);
            if (status == DEV_OK) {
                const float got[3] = {info.x_axis, info.y_axis, info.z_axis};
                for (int i = 0; i < 3; ++i) {
                    const double rate = 1000.0 * count24(a + kAxisAt[i]) / time16(a + kAxisAt[i] + 3) / gyro_K[i];
                    const double bias = gyro_w0[i] / 3600.0;
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    gyro_device = Serial_Device{};
    fuzz::run_timed_exchanges(data, size, gyro_unit());
    return 0;
}
