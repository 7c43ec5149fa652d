// The shared telemetry decoding: records built the way the services build
// them (their own structures and record assembly), decoded field by field.
#include "byte_order.h"
#include "device_status.h"
#include "flywheel_protocol.h"
#include "optical_protocol.h"
#include "rate_exchange.h"
#include "star_protocol.h"
#include "telemetry_records.h"
#include "vision_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

using Bytes = std::vector<uint8_t>;
using telemetry::DecodeError;

namespace {

template <typename T>
Bytes bytes_of(const T& v, Bytes tail = {})
{
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

Bytes rate_record(int status, Rate_Info_Frame info, Rate_Serial_Frame line)
{
    Bytes b(RATE_GNC_RECORD_LEN);
    rate_gnc_record(status, info, line, b.data());
    return b;
}

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes lef(float f) { return le32(bits_from_float(f)); }
Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(TelemetryRecords, DecodesEveryKindAsTheServicesWriteIt)
{
    Brenvik_Frame star{0, 2, 0.5f, -0.25f, 0.1f, -2e-13f, 1e8f, 2.5f, 123456.7f, 7, 300, 2, 3, 4, 309};
    Brenvik_Frame pico = star;
    pico.star_type = 5;  // any nonzero type is a pico sensor
    pico.star_num = 3;
    Bytes pico_shown = bytes_of(pico);
    pico_shown.resize(35);  // its counts cut short: only the shown part is read
    VISION_Info_Frame vision{3, 1, 152.25f, 2.5f, {3, 1.25f, -2.5f}, {2, 10.5f, -20.75f}, {1, 0.1f, 45.0f},
                             {0, -2e-13f, 1e8f}, {5, 3.5f, -7.0f}, {3, 90.0f, -180.0f}};
    Line_Serial_Frame vision_line{9, 201, 20, 30, 40};
    OPTICAL_GNC_Frame optical{1234.5f, 12.75f, -12345, -300, 7, 250, 3000000000u, 65000};
    const Bytes gnss = le32(4000000000u) + lef(6.5e6f) + lef(-1234.5f) + lef(0.001f) + lef(7.5f) + lef(-0.5f) +
                       lef(1e8f) + Bytes{1, 2, 3, 254, 1};

    struct Case {
        const char* what;
        std::string source;
        Bytes payload;
        DecodeError error;
        std::size_t expected;  // the size a short payload was measured against
        std::string device;
        std::size_t fields;
        std::map<std::string, double> values;  // a selection, compared exactly
    };
    const Case cases[] = {
        {"nano, whole record", "Star_sensor_Hardware_Service", bytes_of(star), DecodeError::None, 0, "nano2", 15,
         {{"type", 0}, {"number", 2}, {"q1", -0.25f}, {"q3", -2e-13f}, {"wz", 123456.7f}, {"detected_stars", 7},
          {"header_errors", 300}, {"resets", 4}, {"fault_count", 309}}},
        {"pico, shown part only", "Star_sensor_Hardware_Service", pico_shown, DecodeError::None, 0, "pico3", 10,
         {{"type", 5}, {"q0", 0.5f}, {"detected_stars", 7}}},
        {"gyro", "Gyro_Hardware_Service", rate_record(DEV_OK, {0.1f, -3.75f, 1e-6f}, {3, 250, 17, 4, 129}),
         DecodeError::None, 0, "gyro", 9,
         {{"x", 0.1f}, {"y", -3.75f}, {"z", 1e-6f}, {"line_id", 3}, {"header_errors", 250}, {"check_errors", 17},
          {"length_errors", 4}, {"resets", 129}, {"reset_enabled", 1}}},
        {"mems after a failed exchange, one byte more", "Mems_Hardware_Service",
         rate_record(DEV_ERR_CHECKSUM, {5, 5, 5}, {4, 1, 2, 3, 0}) + Bytes{0x99}, DecodeError::None, 0, "mems", 9,
         {{"x", 0}, {"z", 0}, {"line_id", 4}, {"length_errors", 3}, {"reset_enabled", 1}}},
        {"wheel", "Flywheel_Hardware_Service", bytes_of(Flywheel_Info_Frame{3, 1500.5f, 0.75f, -0.0125f}),
         DecodeError::None, 0, "wheel3", 4,
         {{"wheel_id", 3}, {"speed", 1500.5f}, {"current", 0.75f}, {"torque", -0.0125f}}},
        {"gnss", "Gnss_Hardware_Service", gnss, DecodeError::None, 0, "gnss", 12,
         {{"utc_time", 4000000000.0}, {"pos_x", 6.5e6f}, {"vel_z", 1e8f}, {"work_status", 254}, {"data_valid", 1}}},
        {"vision", "Vision_Hardware_Service", bytes_of(vision, bytes_of(vision_line, {1})), DecodeError::None, 0,
         "vision", 28,
         {{"line_of_sight_flag_far", 3}, {"line_distance_close", 2.5f}, {"left_sail_far_alpha", 1.25f},
          {"right_sail_far_beta", -20.75f}, {"self_plat_far_valid", 1}, {"right_sail_close_valid", 5},
          {"self_plat_close_beta", -180}, {"line_id", 9}, {"header_errors", 201}, {"resets", 40},
          {"reset_enabled", 1}}},
        {"optical", "Optical_Hardware_Service", bytes_of(optical, {21, 22, 23, 31, 131, 33, 34, 0}), DecodeError::None,
         0, "optical", 16,
         {{"far_range", 1234.5f}, {"far_mirror_azimuth", -12345}, {"near_mirror_pitch", -300}, {"tlm_count", 250},
          {"ranging_time_sec", 3000000000.0}, {"ranging_time_ms", 65000}, {"service_cmd_received", 21},
          {"service_cmd_written", 23}, {"check_errors", 131}, {"resets", 34}, {"reset_enabled", 0}}},
        {"star short", "Star_sensor_Hardware_Service", Bytes(30, 1), DecodeError::TooShort, 31, "", 0, {}},
        {"gyro as published before", "Gyro_Hardware_Service", Bytes(12, 1), DecodeError::TooShort, 18, "", 0, {}},
        {"mems short", "Mems_Hardware_Service", Bytes(17, 1), DecodeError::TooShort, 18, "", 0, {}},
        {"wheel empty", "Flywheel_Hardware_Service", {}, DecodeError::TooShort, 13, "", 0, {}},
        {"gnss short", "Gnss_Hardware_Service", Bytes(32, 1), DecodeError::TooShort, 33, "", 0, {}},
        {"vision short", "Vision_Hardware_Service", Bytes(69, 1), DecodeError::TooShort, 70, "", 0, {}},
        {"optical record alone", "Optical_Hardware_Service", bytes_of(optical), DecodeError::TooShort, 28, "", 0, {}},
        {"the monitor", "Mag_Service", Bytes(18, 1), DecodeError::UnknownSource, 0, "", 0, {}},
        {"near miss of a name", "gyro_hardware_service", Bytes(18, 1), DecodeError::UnknownSource, 0, "", 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const telemetry::Decoded d = telemetry::decode(c.source, c.payload);
        ASSERT_EQ(d.error, c.error);
        EXPECT_EQ(d.expected, c.expected);
        EXPECT_EQ(d.record.device, c.device);
        ASSERT_EQ(d.record.fields.size(), c.fields);
        for (const auto& [key, value] : c.values) EXPECT_EQ(d.record.value(key).value_or(NAN), value) << key;
        if (c.error != DecodeError::None) continue;
        // The record's fields are those its device lists, in the same order.
        const auto listed = telemetry::device_fields(d.record.device);
        ASSERT_GE(listed.size(), d.record.fields.size());
        for (std::size_t i = 0; i < d.record.fields.size(); ++i) {
            EXPECT_EQ(d.record.fields[i].key, listed[i].key);
            EXPECT_EQ(d.record.fields[i].unit, listed[i].unit) << listed[i].key;
            EXPECT_EQ(d.record.fields[i].integer, listed[i].integer) << listed[i].key;
        }
    }
}

TEST(TelemetryRecords, DeviceAddressesAndFields)
{
    struct Case {
        std::string device;
        bool known;
        std::string service;
        telemetry::Kind kind;
        Bytes request;
        std::string key;  // a field the device lists, with its unit
        std::string unit;
    };
    using telemetry::Kind;
    const Case cases[] = {
        {"nano1", true, "Star_sensor_Hardware_Service", Kind::Star, {0, 1}, "detected_stars", ""},
        {"pico8", true, "Star_sensor_Hardware_Service", Kind::Star, {1, 8}, "header_errors", ""},
        {"wheel3", true, "Flywheel_Hardware_Service", Kind::Wheel, {3, 0xFF}, "speed", "rpm"},
        {"wheel8", true, "Flywheel_Hardware_Service", Kind::Wheel, {8, 0xFF}, "resets", ""},
        {"gyro", true, "Gyro_Hardware_Service", Kind::Gyro, {0xFF}, "z", "deg/s"},
        {"mems", true, "Mems_Hardware_Service", Kind::Mems, {0xFF}, "x", "deg/s"},
        {"optical", true, "Optical_Hardware_Service", Kind::Optical, {0xFF}, "near_mirror_pitch", "arcsec"},
        {"vision", true, "Vision_Hardware_Service", Kind::Vision, {0xFF}, "left_sail_close_beta", "deg"},
        {"gnss", true, "Gnss_Hardware_Service", Kind::Gnss, {0xFF}, "vel_y", "m/s"},
        {"nano0", false, "", Kind::Gyro, {}, "", ""},
        {"pico9", false, "", Kind::Gyro, {}, "", ""},
        {"wheel01", false, "", Kind::Gyro, {}, "", ""},
        {"wheel", false, "", Kind::Gyro, {}, "", ""},
        {"Gyro", false, "", Kind::Gyro, {}, "", ""},
        {"", false, "", Kind::Gyro, {}, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        const auto a = telemetry::device_address(c.device);
        const auto fields = telemetry::device_fields(c.device);
        ASSERT_EQ(a.has_value(), c.known);
        const auto& names = telemetry::device_names();
        EXPECT_EQ(std::count(names.begin(), names.end(), c.device), c.known ? 1 : 0);
        if (!c.known) {
            EXPECT_TRUE(fields.empty());
            continue;
        }
        EXPECT_EQ(a->service, c.service);
        EXPECT_EQ(a->kind, c.kind);
        EXPECT_EQ(a->request, c.request);
        auto f = std::find_if(fields.begin(), fields.end(), [&](const auto& f) { return f.key == c.key; });
        ASSERT_NE(f, fields.end()) << c.key;
        EXPECT_EQ(f->unit, c.unit);
        EXPECT_FALSE(f->description.empty());
    }
    for (const auto& name : telemetry::device_names()) EXPECT_TRUE(telemetry::device_address(name)) << name;
    EXPECT_EQ(telemetry::device_names().size(), 29u);
}
