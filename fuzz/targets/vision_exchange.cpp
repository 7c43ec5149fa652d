// The vision health query (read_vision_data) with answers of any content in
// any pieces; see timed_exchange.h. A verified answer's record is checked
// field by field against the answer bytes.
#include "Pellwyn.h"
#include "timed_exchange.h"

namespace {

void check_record(const uint8_t* a, const VISION_Info_Frame& r)
{
    FUZZ_CHECK(r.line_of_sight_flag_far == a[43] && r.line_of_sight_flag_close == a[44], "sight flags");
    FUZZ_CHECK(fuzz::same_float(r.Line_Distance_far, fuzz::float_of_bits(fuzz::be32_of(a + 45))), "far distance");
    FUZZ_CHECK(fuzz::same_float(r.Line_Distance_close, fuzz::float_of_bits(fuzz::be32_of(a + 49))), "close distance");
    const RecResult results[6] = {r.Left_Sail_far,   r.Right_Sail_far,   r.Self_plat_far,
                                  r.Left_Sail_close, r.Right_Sail_close, r.Self_plat_close};
    for (int i = 0; i < 6; ++i) {
        const uint8_t* p = a + 59 + 9 * i;
        FUZZ_CHECK(results[i].recog_Valid == p[0], "state of result " + std::to_string(i));
        FUZZ_CHECK(fuzz::same_float(results[i].recog_Alpha, fuzz::float_of_bits(fuzz::be32_of(p + 1))),
                   "alpha of result " + std::to_string(i));
        FUZZ_CHECK(fuzz::same_float(results[i].recog_Beta, fuzz::float_of_bits(fuzz::be32_of(p + 5))),
                   "beta of result " + std::to_string(i));
    }
}

const fuzz::TimedUnit& vision_unit()
{
    static const fuzz::TimedUnit unit = {
        &vision_device,
        VISION_ANSWER_LEN,
        true,
        {VISION_HEALTH_QUERY, VISION_HEALTH_QUERY + sizeof VISION_HEALTH_QUERY},
        [](const uint8_t* a) { return a[0] == 0xEB && a[1] == 0x90 && a[2] == 0xF0; },
        [](const uint8_t* a) { return fuzz::sum8_of(a + 2, 167) == a[169]; },
        [](const uint8_t*) { return int(DEV_OK); },
        [](Line_Serial_Frame* st, uint8_t* raw, const uint8_t* a) {
            VISION_Info_Frame record;
            std::memset(&record, 0x5A, sizeof record);
            const int status = read_vision_data(&record, st, raw);
            if (status == DEV_OK) check_record(a, record);
            return status;
        },
    };
    return unit;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vision_device = Serial_Device{};
    fuzz::run_timed_exchanges(data, size, vision_unit());
    return 0;
}
