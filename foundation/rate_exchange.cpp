#include "rate_exchange.h"

#include "byte_order.h"

#include <cstring>

bool rate_checksum_matches(const uint8_t* frame, std::size_t len)
{
    return len >= 2 && sum8(frame, len - 1) == frame[len - 1];
}

void rate_gnc_record(int status, const Rate_Info_Frame& info, const Rate_Serial_Frame& line,
                     uint8_t out[RATE_GNC_RECORD_LEN])
{
    Rate_Info_Frame values = status == DEV_OK ? info : Rate_Info_Frame{0.0f, 0.0f, 0.0f};
    std::memcpy(out, &values, sizeof values);
    std::memcpy(out + sizeof values, &line, sizeof line);
    out[RATE_GNC_RECORD_LEN - 1] = 1;
}

int rate_exchange(RateUnit& unit, Rate_Info_Frame* info, Rate_Serial_Frame* status, uint8_t* raw)
{
    unit.info_ = info;
    int rc = timed_query(unit, status, raw);
    unit.info_ = nullptr;
    return rc;
}
