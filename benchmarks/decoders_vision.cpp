// Vision service (pellwyn_core): answer checks and conversion, command frames.
#include "decoders_common.h"

#include "vision_codec.h"
#include "vision_protocol.h"

namespace {

devsim::Bytes answer;
VISION_Info_Frame record;

}  // namespace

int main(int argc, char** argv)
{
    devsim::VisionTelemetry t;
    t.far_flag = 3;
    t.close_flag = 3;
    t.far_m = 199.684f;
    t.close_m = 20.6408f;
    for (std::size_t i = 0; i < t.targets.size(); ++i) t.targets[i] = {3, 2.6f + float(i), 3.3f - float(i)};
    answer = devsim::encode_vision_answer(t);
    codecbench::add("vision", "decode answer", answer.size(), [] {
        const uint8_t* p = answer.data();
        benchmark::DoNotOptimize(p);
        bool ok = vision_header_ok(p) && vision_answer_sum(p) == p[VISION_ANSWER_LEN - 1];
        vision_convert(p, &record);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(record);
    });
    codecbench::add("vision", "encode parameter command", std::tuple_size<VisionParamFrame>::value, [] {
        float value = 1.5f;
        benchmark::DoNotOptimize(value);
        VisionParamFrame f;
        bool ok = vision_param_frame(6, value, f);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(f);
    });
    codecbench::add("vision", "encode quaternion command", std::tuple_size<VisionQuaternionFrame>::value, [] {
        float q[4] = {0.998362f, 0.0152911f, 0.0305823f, 0.0458734f};
        benchmark::DoNotOptimize(q);
        VisionQuaternionFrame f = vision_quaternion_frame(q, 1);
        benchmark::DoNotOptimize(f);
    });
    codecbench::add("vision", "encode time command", std::tuple_size<VisionTimeFrame>::value, [] {
        uint32_t seconds = 1000;
        benchmark::DoNotOptimize(seconds);
        VisionTimeFrame f = vision_time_frame(seconds, 250);
        benchmark::DoNotOptimize(f);
    });
    return codecbench::run(argc, argv);
}
