// Reaction wheel service (skardel_core): status frame decoding, frame
// assembly from the byte stream, command frames.
#include "decoders_common.h"

#include "Skardel.h"
#include "wheel_codec.h"

namespace {

devsim::Bytes status;
std::vector<uint8_t> stream;  // eight frames back to back, as a line delivers them
Flywheel_Info_Frame info;
Flywheel_Serial_Frame stats;
uint8_t command[FLYWHEEL_CMD_LEN];
FlywheelFrameAssembler assembler;
std::size_t offset = 0;

}  // namespace

int main(int argc, char** argv)
{
    status = devsim::encode_wheel_status({183.412, 0.0432, 0.0083}, 0x11);
    for (int i = 0; i < 8; ++i) stream.insert(stream.end(), status.begin(), status.end());
    codecbench::add("wheel", "decode status frame", status.size(), [] {
        const uint8_t* p = status.data();
        benchmark::DoNotOptimize(p);
        int rc = parse_flywheel_frame(0, p, &info, &stats);
        benchmark::DoNotOptimize(rc);
        benchmark::DoNotOptimize(info);
    });
    codecbench::add("wheel", "assemble frame from stream and decode", status.size(), [] {
        const auto now = FlywheelFrameAssembler::Clock::time_point();
        assembler.feed(stream.data() + offset, FLYWHEEL_FRAME_LEN, now);
        offset = (offset + FLYWHEEL_FRAME_LEN) % stream.size();
        uint8_t frame[FLYWHEEL_FRAME_LEN];
        std::size_t detail = 0;
        if (assembler.next(frame, detail, now) == FlywheelFrameAssembler::Event::frame) {
            parse_flywheel_frame(0, frame, &info, &stats);
        }
        benchmark::DoNotOptimize(info);
    });
    codecbench::add("wheel", "encode speed command", FLYWHEEL_CMD_LEN, [] {
        float speed = 200.0f, limit = 1.5f;
        benchmark::DoNotOptimize(speed);
        build_flywheel_command(FLYWHEEL_CMD_SPEED, speed, limit, 0x11, command);
        benchmark::DoNotOptimize(command);
    });
    return codecbench::run(argc, argv);
}
