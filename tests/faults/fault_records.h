// The records the hardware services publish, read back for a fault
// campaign: the line counts wherever a service puts them, and the values in
// the simulator's log notation ("[SIM] <line> answer <text>"), so a reply can
// be checked against the answer the simulator sent by comparing text.
#pragma once

#include "byte_order.h"

#include <cstdint>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace fault_records {

using Bytes = std::vector<uint8_t>;

// Header, checksum, length and reset counts of one line.
struct Counts {
    int head = 0, check = 0, length = 0, reset = 0;
    bool operator==(const Counts& o) const
    {
        return head == o.head && check == o.check && length == o.length && reset == o.reset;
    }
    bool operator!=(const Counts& o) const { return !(*this == o); }
    Counts operator+(const Counts& o) const
    {
        return Counts{head + o.head, check + o.check, length + o.length, reset + o.reset};
    }
};

inline std::ostream& operator<<(std::ostream& out, const Counts& c)
{
    return out << "{head " << c.head << ", check " << c.check << ", length " << c.length << ", reset " << c.reset
               << "}";
}

inline std::string f(float v)
{
    std::ostringstream s;
    s << v;
    return s.str();
}

inline float le_float(const Bytes& b, std::size_t off) { return load_le_float(b.data() + off); }

inline bool all_zero(const Bytes& b, std::size_t from, std::size_t to)
{
    for (std::size_t i = from; i < to && i < b.size(); ++i)
        if (b[i] != 0) return false;
    return true;
}

// --- The 5-byte line statistics (gyro, MEMS, optical, vision): line id,
// then the four counts, one byte each.
constexpr std::size_t LINE_STATS_LEN = 5;
inline Counts line_stats_counts(const Bytes& s) { return Counts{s[1], s[2], s[3], s[4]}; }

// --- Star sensor: the 41-byte record. Type, number, q0..q3, wx..wz, stars,
// then the header, checksum, length, reset and fault counts as 16-bit
// little-endian values.
constexpr std::size_t STAR_RECORD_LEN = 41;
inline Counts star_counts(const Bytes& r)
{
    return Counts{load_le16(&r[31]), load_le16(&r[33]), load_le16(&r[35]), load_le16(&r[37])};
}
inline int star_fault_count(const Bytes& r) { return load_le16(&r[39]); }
inline std::string star_text(const Bytes& r)
{
    return "q0=" + f(le_float(r, 2)) + " q1=" + f(le_float(r, 6)) + " q2=" + f(le_float(r, 10)) +
           " q3=" + f(le_float(r, 14)) + " wx=" + f(le_float(r, 18)) + " wy=" + f(le_float(r, 22)) +
           " wz=" + f(le_float(r, 26)) + " stars=" + std::to_string(r[30]);
}
// Everything after type and number is zero: what a failed query sends.
inline bool star_is_zero_record(const Bytes& r) { return all_zero(r, 2, STAR_RECORD_LEN); }

// --- Gyro and MEMS: the 18-byte record. Three floats, the 5-byte line
// statistics, the reset-enable byte.
constexpr std::size_t RATE_RECORD_LEN = 18;
inline Counts rate_counts(const Bytes& r) { return Counts{r[13], r[14], r[15], r[16]}; }
inline int rate_line_id(const Bytes& r) { return r[12]; }
inline int rate_reset_enable(const Bytes& r) { return r[17]; }
inline std::string rate_text(const Bytes& r)
{
    return "x=" + f(le_float(r, 0)) + " y=" + f(le_float(r, 4)) + " z=" + f(le_float(r, 8));
}
inline bool rate_values_zero(const Bytes& r) { return all_zero(r, 0, 12); }

// --- Vision: the 70-byte record. The 64-byte vision record, the 5-byte
// line statistics, the reset-enable byte.
constexpr std::size_t VISION_RECORD_LEN = 70;
inline Counts vision_counts(const Bytes& r) { return Counts{r[65], r[66], r[67], r[68]}; }
inline int vision_line_id(const Bytes& r) { return r[64]; }
inline int vision_reset_enable(const Bytes& r) { return r[69]; }
inline std::string vision_text(const Bytes& r)
{
    std::string t = "far_flag=" + std::to_string(r[0]) + " close_flag=" + std::to_string(r[1]) +
                    " far=" + f(le_float(r, 2)) + " close=" + f(le_float(r, 6));
    static const char* const names[6] = {"lf", "rf", "pf", "lc", "rc", "pc"};
    for (int i = 0; i < 6; ++i) {
        std::size_t off = 10 + 9 * std::size_t(i);
        t += std::string(" ") + names[i] + "=" + std::to_string(r[off]) + "," + f(le_float(r, off + 1)) + "," +
             f(le_float(r, off + 5));
    }
    return t;
}
inline bool vision_values_zero(const Bytes& r) { return all_zero(r, 0, 64); }

// --- Optical: the 28-byte record. The 20-byte ranging record, the
// service's three command counts, the four line counts, the reset-enable
// byte.
constexpr std::size_t OPTICAL_RECORD_LEN = 28;
inline Counts optical_counts(const Bytes& r) { return Counts{r[23], r[24], r[25], r[26]}; }
inline int optical_reset_enable(const Bytes& r) { return r[27]; }
inline std::string optical_text(const Bytes& r)
{
    std::ostringstream ms;
    ms << std::setw(3) << std::setfill('0') << load_le16(&r[18]);
    return "far=" + f(le_float(r, 0)) + " near=" + f(le_float(r, 4)) +
           " azimuth=" + std::to_string(int16_t(load_le16(&r[8]))) +
           " pitch=" + std::to_string(int16_t(load_le16(&r[10]))) + " cmds=" + std::to_string(r[12]) +
           " tlm=" + std::to_string(r[13]) + " time=" + std::to_string(load_le32(&r[14])) + "." + ms.str();
}
inline bool optical_values_zero(const Bytes& r) { return all_zero(r, 0, 20); }

// --- Reaction wheel: the 13-byte record (wheel number, speed, current,
// torque) and the 9-byte line statistics (line id, then the four counts as
// 16-bit little-endian values).
constexpr std::size_t WHEEL_RECORD_LEN = 13;
constexpr std::size_t WHEEL_STATS_LEN = 9;
constexpr std::size_t WHEEL_FRAME_LEN = 19;
inline Counts wheel_counts(const Bytes& s)
{
    return Counts{load_le16(&s[1]), load_le16(&s[3]), load_le16(&s[5]), load_le16(&s[7])};
}
inline std::string wheel_text(const Bytes& r)
{
    return "speed=" + f(le_float(r, 1)) + " current=" + f(le_float(r, 5)) + " torque=" + f(le_float(r, 9));
}

}  // namespace fault_records
