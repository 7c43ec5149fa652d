// Gyro service (zentaro_core): answer checks and decoding, and the record the
// console gets. The gyro's only request is the fixed 55 68: nothing to encode.
#include "decoders_common.h"

#include "Zentaro.h"
#include "device_status.h"
#include "gyro_codec.h"

namespace {

devsim::Bytes answer;
GYRO_Info_Frame info;
GYRO_Serial_Frame line{GYRO_SERIAL_ID, 0, 0, 0, 0};
uint8_t record[GYRO_GNC_RECORD_LEN];

}  // namespace

int main(int argc, char** argv)
{
    answer = devsim::encode_gyro_answer({0.0321469, -0.45396, 0.43681});
    codecbench::add("gyro", "decode answer", answer.size(), [] {
        const uint8_t* p = answer.data();
        benchmark::DoNotOptimize(p);
        bool ok = p[0] == RATE_ANSWER_HEADER && rate_checksum_matches(p, GYRO_ANSWER_LEN) &&
                  gyro_data_extraction(p, &info) == DEV_OK;
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(info);
    });
    codecbench::add("gyro", "encode console record", GYRO_GNC_RECORD_LEN, [] {
        benchmark::DoNotOptimize(info);
        rate_gnc_record(DEV_OK, info, line, record);
        benchmark::DoNotOptimize(record);
    });
    return codecbench::run(argc, argv);
}
