// MEMS service (quimbrel_core): answer checks and decoding, and the record
// the console gets. The unit's only request is the fixed 55 68.
#include "decoders_common.h"

#include "Quimbrel.h"
#include "device_status.h"
#include "mems_codec.h"

namespace {

devsim::Bytes answer;
MEMS_Info_Frame info;
MEMS_Serial_Frame line{MEMS_SERIAL_ID, 0, 0, 0, 0};
uint8_t record[MEMS_GNC_RECORD_LEN];

}  // namespace

int main(int argc, char** argv)
{
    // The calibration the service loads when it sets up its line.
    std::memcpy(mems_device.mems_K, devsim::MEMS_K, sizeof mems_device.mems_K);
    std::memcpy(mems_device.mems_w0, devsim::MEMS_W0, sizeof mems_device.mems_w0);
    answer = devsim::encode_mems_answer({0.0321469, -0.45396, 0.43681});
    codecbench::add("MEMS", "decode answer", answer.size(), [] {
        const uint8_t* p = answer.data();
        benchmark::DoNotOptimize(p);
        bool ok = p[0] == RATE_ANSWER_HEADER && mems_checksum_verify(p, int(MEMS_ANSWER_LEN)) == DEV_OK &&
                  mems_data_extraction(p, &info) == DEV_OK;
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(info);
    });
    codecbench::add("MEMS", "encode console record", MEMS_GNC_RECORD_LEN, [] {
        benchmark::DoNotOptimize(info);
        rate_gnc_record(DEV_OK, info, line, record);
        benchmark::DoNotOptimize(record);
    });
    return codecbench::run(argc, argv);
}
