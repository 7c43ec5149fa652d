// Telemetry records decoded from one table of layouts per device kind.
//
// Each layout lists the record's fields at their offsets, packed and
// little-endian as the services write them. Decoding, the field listings
// and the line statistics all read these tables; nothing else in the bench
// knows where a field sits.
#include "telemetry_records.h"

#include "byte_order.h"

namespace telemetry {
namespace {

enum class Type { U8, U16, I16, U32, F32 };

std::size_t width(Type t)
{
    switch (t) {
    case Type::U8: return 1;
    case Type::U16:
    case Type::I16: return 2;
    case Type::U32:
    case Type::F32: return 4;
    }
    return 0;
}

double read(Type t, const uint8_t* p)
{
    switch (t) {
    case Type::U8: return p[0];
    case Type::U16: return load_le16(p);
    case Type::I16: return int16_t(load_le16(p));
    case Type::U32: return load_le32(p);
    case Type::F32: return load_le_float(p);
    }
    return 0.0;
}

struct Slot {
    std::size_t offset;
    Type type;
    std::string key;
    std::string unit;
    std::string description;
};

struct Layout {
    Kind kind;
    const char* service;
    const char* device;    // the record's device name, for the kinds with one device
    std::size_t size;      // the whole record
    std::size_t required;  // what a payload must carry to be decoded
    int line_id;           // in the line statistics this service sends (wheels: the first); 0: none
    std::vector<Slot> slots;
};

// The wheel service's lines carry ids 5 to 12: bus wheel number plus 4.
constexpr int FIRST_WHEEL_LINE = 5;
constexpr int WHEEL_COUNT = 8;
constexpr int STAR_COUNT = 8;

std::vector<Slot> operator+(std::vector<Slot> a, const std::vector<Slot>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<Slot> rate_axes()
{
    return {
        {0, Type::F32, "x", "deg/s", "rate, x axis"},
        {4, Type::F32, "y", "deg/s", "rate, y axis"},
        {8, Type::F32, "z", "deg/s", "rate, z axis"},
    };
}

// The line statistics record of the single-line services: line id and four
// 8-bit counts.
std::vector<Slot> line_statistics(std::size_t at)
{
    return {
        {at, Type::U8, "line_id", "", "serial line id"},
        {at + 1, Type::U8, "header_errors", "", "answers rejected for a wrong header"},
        {at + 2, Type::U8, "check_errors", "", "answers rejected for a wrong checksum"},
        {at + 3, Type::U8, "length_errors", "", "answers incomplete or of a wrong length"},
        {at + 4, Type::U8, "resets", "", "serial line resets"},
    };
}

// The line status bytes the gyro, MEMS and vision services append to their
// records for the console: their line statistics, then the reset-enable
// state.
std::vector<Slot> line_status(std::size_t at)
{
    return line_statistics(at) +
           std::vector<Slot>{{at + 5, Type::U8, "reset_enabled", "", "1: the service resets its line"}};
}

// One recognition result of the vision unit: validity code, pitch, azimuth.
std::vector<Slot> recognition(std::size_t at, const std::string& part, const std::string& what)
{
    return {
        {at, Type::U8, part + "_valid", "", what + ": recognition, 0 invalid .. 3 valid"},
        {at + 1, Type::F32, part + "_alpha", "deg", what + ": pitch angle"},
        {at + 5, Type::F32, part + "_beta", "deg", what + ": azimuth angle"},
    };
}

const std::vector<Layout>& layouts()
{
    static const std::vector<Layout> table = {
        {Kind::Star, "Star_sensor_Hardware_Service", "", 41, 31, 0,
         {
             {0, Type::U8, "type", "", "sensor type: 0 nano, 1 pico"},
             {1, Type::U8, "number", "", "sensor number"},
             {2, Type::F32, "q0", "", "attitude quaternion, first component"},
             {6, Type::F32, "q1", "", "attitude quaternion, second component"},
             {10, Type::F32, "q2", "", "attitude quaternion, third component"},
             {14, Type::F32, "q3", "", "attitude quaternion, fourth component"},
             {18, Type::F32, "wx", "", "angular rate, x axis (0 for pico)"},
             {22, Type::F32, "wy", "", "angular rate, y axis (0 for pico)"},
             {26, Type::F32, "wz", "", "angular rate, z axis (0 for pico)"},
             {30, Type::U8, "detected_stars", "", "stars the sensor detected"},
             {31, Type::U16, "header_errors", "", "answers rejected for a wrong header"},
             {33, Type::U16, "check_errors", "", "answers rejected for a wrong checksum"},
             {35, Type::U16, "length_errors", "", "answers that stayed too short"},
             {37, Type::U16, "resets", "", "serial line resets"},
             {39, Type::U16, "fault_count", "", "sum of the four counts"},
         }},
        {Kind::Gyro, "Gyro_Hardware_Service", "gyro", 18, 18, 3,
         rate_axes() + line_status(12)},
        {Kind::Mems, "Mems_Hardware_Service", "mems", 18, 18, 4,
         rate_axes() + line_status(12)},
        {Kind::Wheel, "Flywheel_Hardware_Service", "", 13, 13, FIRST_WHEEL_LINE,
         {
             {0, Type::U8, "wheel_id", "", "bus wheel number"},
             {1, Type::F32, "speed", "rpm", "wheel speed"},
             {5, Type::F32, "current", "", "motor current"},
             {9, Type::F32, "torque", "", "torque"},
         }},
        {Kind::Gnss, "Gnss_Hardware_Service", "gnss", 33, 33, 0,
         {
             {0, Type::U32, "utc_time", "s", "UTC time"},
             {4, Type::F32, "pos_x", "m", "position, x"},
             {8, Type::F32, "pos_y", "m", "position, y"},
             {12, Type::F32, "pos_z", "m", "position, z"},
             {16, Type::F32, "vel_x", "m/s", "velocity, x"},
             {20, Type::F32, "vel_y", "m/s", "velocity, y"},
             {24, Type::F32, "vel_z", "m/s", "velocity, z"},
             {28, Type::U8, "position_status", "", "positioning state"},
             {29, Type::U8, "orbit_status", "", "orbit determination state"},
             {30, Type::U8, "solution_status", "", "solution state"},
             {31, Type::U8, "work_status", "", "working state"},
             {32, Type::U8, "data_valid", "", "1: data valid, 0: invalid"},
         }},
        {Kind::Vision, "Vision_Hardware_Service", "vision", 70, 70, 9,
         std::vector<Slot>{
             {0, Type::U8, "line_of_sight_flag_far", "", "far camera line of sight: 0 unreliable .. 3 reliable"},
             {1, Type::U8, "line_of_sight_flag_close", "", "close camera line of sight: 0 unreliable .. 3 reliable"},
             {2, Type::F32, "line_distance_far", "m", "far camera line-of-sight distance"},
             {6, Type::F32, "line_distance_close", "m", "close camera line-of-sight distance"},
         } + recognition(10, "left_sail_far", "left solar panel, far camera") +
             recognition(19, "right_sail_far", "right solar panel, far camera") +
             recognition(28, "self_plat_far", "platform body, far camera") +
             recognition(37, "left_sail_close", "left solar panel, close camera") +
             recognition(46, "right_sail_close", "right solar panel, close camera") +
             recognition(55, "self_plat_close", "platform body, close camera") + line_status(64)},
        {Kind::Optical, "Optical_Hardware_Service", "optical", 28, 28, 10,
         {
             {0, Type::F32, "far_range", "m", "range, far-range laser"},
             {4, Type::F32, "near_range", "m", "range, near-range laser"},
             {8, Type::I16, "far_mirror_azimuth", "arcsec", "far-range swing mirror, horizontal angle"},
             {10, Type::I16, "near_mirror_pitch", "arcsec", "near-range swing mirror, pitch angle"},
             {12, Type::U8, "cmd_recv_count", "", "commands the unit counted"},
             {13, Type::U8, "tlm_count", "", "telemetry answers the unit counted"},
             {14, Type::U32, "ranging_time_sec", "s", "ranging valid time, whole seconds"},
             {18, Type::U16, "ranging_time_ms", "ms", "ranging valid time, milliseconds"},
             {20, Type::U8, "service_cmd_received", "", "command messages the service received"},
             {21, Type::U8, "service_cmd_accepted", "", "command messages that passed their checks"},
             {22, Type::U8, "service_cmd_written", "", "command frames written whole to the line"},
             {23, Type::U8, "header_errors", "", "answers rejected for a wrong header"},
             {24, Type::U8, "check_errors", "", "answers rejected for a wrong checksum"},
             {25, Type::U8, "length_errors", "", "answers of a wrong length"},
             {26, Type::U8, "resets", "", "serial line resets"},
             {27, Type::U8, "reset_enabled", "", "1: the service resets its line"},
         }},
    };
    return table;
}

// The line statistics records sent to the line-health monitor: line id and
// four counts, 8 bits wide from the single-line services, 16 from the wheels.
const Layout& narrow_statistics()
{
    static const Layout layout = {Kind::Gyro, "", "", 5, 5, 0, line_statistics(0)};
    return layout;
}

const Layout& wheel_statistics()
{
    static const Layout layout = {Kind::Wheel, "", "", 9, 9, 0,
                                  {
                                      {0, Type::U8, "line_id", "", "serial line id: wheel number + 4"},
                                      {1, Type::U16, "header_errors", "", "frames rejected for a wrong header"},
                                      {3, Type::U16, "check_errors", "", "frames rejected for a wrong checksum"},
                                      {5, Type::U16, "length_errors", "", "reads that returned an incomplete frame"},
                                      {7, Type::U16, "resets", "", "serial line resets"},
                                  }};
    return layout;
}

const Layout* layout_of_source(const std::string& source)
{
    for (const Layout& l : layouts())
        if (source == l.service) return &l;
    return nullptr;
}

const Layout& layout_of_kind(Kind kind)
{
    for (const Layout& l : layouts())
        if (l.kind == kind) return l;
    return layouts().front();  // every kind has a layout
}

// The fields of the slots that end within the first `end` bytes.
std::vector<Field> read_fields(const Layout& layout, const uint8_t* data, std::size_t end)
{
    std::vector<Field> fields;
    for (const Slot& s : layout.slots) {
        if (s.offset + width(s.type) > end) continue;
        fields.push_back(Field{s.key, s.unit, read(s.type, data + s.offset), s.type != Type::F32});
    }
    return fields;
}

FieldInfo info_of(const Slot& s) { return FieldInfo{s.key, s.unit, s.type != Type::F32, s.description}; }

std::string record_device(const Layout& layout, const uint8_t* data)
{
    switch (layout.kind) {
    case Kind::Star: return (data[0] == 0 ? "nano" : "pico") + std::to_string(data[1]);
    case Kind::Wheel: return "wheel" + std::to_string(data[0]);
    default: return layout.device;
    }
}

// Operator device names: a family is one name, or a prefix numbered 1..count.
struct Family {
    const char* name;
    Kind kind;
    int count;  // 0: a single device, named `name`
    std::vector<uint8_t> (*request)(int number);
};

std::vector<uint8_t> single_request(int) { return {0xFF}; }

const Family kFamilies[] = {
    {"nano", Kind::Star, STAR_COUNT, [](int n) { return std::vector<uint8_t>{0, uint8_t(n)}; }},
    {"pico", Kind::Star, STAR_COUNT, [](int n) { return std::vector<uint8_t>{1, uint8_t(n)}; }},
    {"wheel", Kind::Wheel, WHEEL_COUNT, [](int n) { return std::vector<uint8_t>{uint8_t(n), 0xFF}; }},
    {"gyro", Kind::Gyro, 0, single_request},
    {"mems", Kind::Mems, 0, single_request},
    {"optical", Kind::Optical, 0, single_request},
    {"vision", Kind::Vision, 0, single_request},
    {"gnss", Kind::Gnss, 0, single_request},
};

}  // namespace

const Field* Record::field(const std::string& key) const
{
    for (const Field& f : fields)
        if (f.key == key) return &f;
    return nullptr;
}

std::optional<double> Record::value(const std::string& key) const
{
    const Field* f = field(key);
    if (f == nullptr) return std::nullopt;
    return f->value;
}

Decoded decode(const std::string& source, const uint8_t* data, std::size_t size)
{
    Decoded d;
    const Layout* layout = layout_of_source(source);
    if (layout == nullptr) {
        d.error = DecodeError::UnknownSource;
        return d;
    }
    d.record.kind = layout->kind;
    if (data == nullptr || size < layout->required) {
        d.error = DecodeError::TooShort;
        d.expected = layout->required;
        return d;
    }
    // A payload that falls short of the whole record is read only as far as
    // the part it must carry.
    d.record.fields = read_fields(*layout, data, size >= layout->size ? layout->size : layout->required);
    d.record.device = record_device(*layout, data);
    return d;
}

const std::vector<std::string>& device_names()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const Family& f : kFamilies) {
            if (f.count == 0) v.push_back(f.name);
            for (int n = 1; n <= f.count; ++n) v.push_back(f.name + std::to_string(n));
        }
        return v;
    }();
    return names;
}

std::optional<DeviceAddress> device_address(const std::string& device)
{
    for (const Family& f : kFamilies) {
        for (int n = f.count == 0 ? 0 : 1; n <= f.count; ++n) {
            if (device != (f.count == 0 ? std::string(f.name) : f.name + std::to_string(n))) continue;
            return DeviceAddress{layout_of_kind(f.kind).service, f.kind, f.request(n)};
        }
    }
    return std::nullopt;
}

std::vector<FieldInfo> device_fields(const std::string& device)
{
    std::vector<FieldInfo> fields;
    auto address = device_address(device);
    if (!address) return fields;
    for (const Slot& s : layout_of_kind(address->kind).slots) fields.push_back(info_of(s));
    // The wheel record carries no counts: they come with its line statistics.
    if (address->kind == Kind::Wheel)
        for (const Slot& s : wheel_statistics().slots)
            if (s.key != "line_id") fields.push_back(info_of(s));
    return fields;
}

std::optional<LineStatistics> decode_line_statistics(const std::string& source, const uint8_t* data,
                                                     std::size_t size)
{
    const Layout* layout = layout_of_source(source);
    if (layout == nullptr || layout->line_id == 0 || data == nullptr) return std::nullopt;
    const bool wheels = layout->kind == Kind::Wheel;
    const Layout& statistics = wheels ? wheel_statistics() : narrow_statistics();
    if (size != statistics.size) return std::nullopt;

    LineStatistics s;
    s.line_id = data[0];
    if (wheels) {
        if (s.line_id < FIRST_WHEEL_LINE || s.line_id >= FIRST_WHEEL_LINE + WHEEL_COUNT) return std::nullopt;
        s.device = "wheel" + std::to_string(s.line_id - FIRST_WHEEL_LINE + 1);
        s.count_bits = 16;
    } else {
        if (s.line_id != layout->line_id) return std::nullopt;
        s.device = layout->device;
        s.count_bits = 8;
    }
    Record r;
    r.fields = read_fields(statistics, data, size);
    s.header_errors = uint32_t(*r.value("header_errors"));
    s.check_errors = uint32_t(*r.value("check_errors"));
    s.length_errors = uint32_t(*r.value("length_errors"));
    s.resets = uint32_t(*r.value("resets"));
    return s;
}

}  // namespace telemetry
