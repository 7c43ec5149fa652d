// Optical ranging service (tavrin_core): answer checks and conversion,
// parameter and time command frames.
#include "decoders_common.h"

#include "optical_codec.h"
#include "optical_protocol.h"

namespace {

devsim::Bytes answer;
OPTICAL_GNC_Frame record;
uint8_t time_frame[10];

}  // namespace

int main(int argc, char** argv)
{
    devsim::OpticalTelemetry t;
    t.far_m = 973.419f;
    t.near_m = 50.6818f;
    t.azimuth_arcsec = 544;
    t.pitch_arcsec = 2268;
    t.commands = 1;
    t.telemetry = 1;
    t.seconds = 3;
    t.milliseconds = 161;
    answer = devsim::encode_optical_answer(t);
    codecbench::add("optical", "decode answer", answer.size(), [] {
        const uint8_t* p = answer.data();
        benchmark::DoNotOptimize(p);
        bool ok = optical_header_ok(p) && optical_answer_sum(p) == p[OPTICAL_ANSWER_LEN - 1];
        optical_convert(p, &record);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(record);
    });
    codecbench::add("optical", "encode parameter command", sizeof Optical_CMD_para[0], [] {
        int32_t parameter = 0x12345678;
        benchmark::DoNotOptimize(parameter);
        optical_fill_param_row(2, parameter);
        benchmark::DoNotOptimize(Optical_CMD_para[2]);
    });
    codecbench::add("optical", "encode time command", sizeof time_frame, [] {
        uint32_t seconds = 1000;
        benchmark::DoNotOptimize(seconds);
        optical_time_frame(seconds, 250, time_frame);
        benchmark::DoNotOptimize(time_frame);
    });
    return codecbench::run(argc, argv);
}
