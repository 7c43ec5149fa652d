// The vision unit's record as it travels on the bus: written by the vision
// service, read by the console's display.
#pragma once

#include <cstdint>

#pragma pack(push, 1)
// One recognised part of the target: state in the two low bits (0 invalid,
// 1 and 2 partially valid, 3 valid), then its pitch and azimuth in degrees.
struct RecResult {
    uint8_t recog_Valid;
    float recog_Alpha;
    float recog_Beta;
};

struct VISION_Info_Frame {
    uint8_t line_of_sight_flag_far;
    uint8_t line_of_sight_flag_close;
    float Line_Distance_far;
    float Line_Distance_close;
    RecResult Left_Sail_far;
    RecResult Right_Sail_far;
    RecResult Self_plat_far;
    RecResult Left_Sail_close;
    RecResult Right_Sail_close;
    RecResult Self_plat_close;
};
#pragma pack(pop)
static_assert(sizeof(RecResult) == 9, "RecResult is 9 packed bytes");
static_assert(sizeof(VISION_Info_Frame) == 64, "the vision record is 64 packed bytes");
