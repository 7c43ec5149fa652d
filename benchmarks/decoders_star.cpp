// Star sensor service (brenvik_core): answer checks and decoding, command
// frames.
#include "decoders_common.h"

#include "star_codec.h"
#include "star_protocol.h"

namespace {

devsim::Bytes nano_answer, pico_answer;
Brenvik_Frame record;
uint8_t frame[STAR_MAX_FRAME];
const uint8_t utc[5] = {0x00, 0x01, 0x02, 0x03, 0x04};

devsim::StarAttitude attitude()
{
    devsim::StarAttitude a;
    a.q[0] = 0.998362;
    a.q[1] = 0.0152911;
    a.q[2] = 0.0305823;
    a.q[3] = 0.0458734;
    a.axis[0] = 0.267261;
    a.axis[1] = 0.534522;
    a.axis[2] = 0.801784;
    a.stars = 11;
    return a;
}

// What the service does with an answer that arrived whole.
template <int Type>
void decode(const devsim::Bytes& a)
{
    const uint8_t* p = a.data();
    benchmark::DoNotOptimize(p);
    bool ok = star_header_ok(Type, p) && checksum_verify(p, int(a.size())) == 0;
    if (Type == STAR_NANO) {
        parse_nano_quaternion(p, &record);
    } else {
        parse_pico_quaternion(p, &record);
    }
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(record);
}

void encode(SENSOR_Cmder code)
{
    std::size_t len = 0;
    benchmark::DoNotOptimize(code);
    build_star_command(STAR_NANO, code, 0x15, utc, frame, len);
    benchmark::DoNotOptimize(frame);
    benchmark::DoNotOptimize(len);
}

}  // namespace

int main(int argc, char** argv)
{
    nano_answer = devsim::encode_star_answer(devsim::StarType::nano, attitude());
    pico_answer = devsim::encode_star_answer(devsim::StarType::pico, attitude());
    codecbench::add("star", "decode nano answer", nano_answer.size(), [] { decode<STAR_NANO>(nano_answer); });
    codecbench::add("star", "decode pico answer", pico_answer.size(), [] { decode<STAR_PICO>(pico_answer); });
    codecbench::add("star", "encode nano attitude query", 5, [] { encode(STAR_CMD_NANO_QUERY); });
    codecbench::add("star", "encode parameter command", 5, [] { encode(15); });
    codecbench::add("star", "encode time command", 8, [] { encode(4); });
    codecbench::add("star", "encode ESD data frame", 77, [] { encode(STAR_CMD_ESD); });
    return codecbench::run(argc, argv);
}
