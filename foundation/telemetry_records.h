// Telemetry records as values. Every record a hardware service sends to the
// console is decoded field by field from one table of layouts per device
// kind: the console prints from these records, and the operator tools
// (gncctl, the line-health monitor) read the same fields by name.
//
// Devices are named as an operator reads them: "nano1".."nano8",
// "pico1".."pico8", "wheel1".."wheel8", "gyro", "mems", "optical",
// "vision" (and "gnss", which the console polls though no service of this
// bench answers for it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace telemetry {

enum class Kind { Star, Gyro, Mems, Wheel, Gnss, Vision, Optical };

// One field of a device's record.
struct FieldInfo {
    std::string key;          // "speed", "q0", "header_errors"
    std::string unit;         // "rpm", "m", "arcsec", "" when it has none
    bool integer = false;     // counts, flags, ids, times in whole units
    std::string description;  // one line for listings
};

struct Field {
    std::string key;
    std::string unit;
    double value = 0.0;  // integers are exact up to 2^53
    bool integer = false;
};

struct Record {
    std::string device;  // "nano1", "wheel2", "gyro"
    Kind kind = Kind::Gyro;
    std::vector<Field> fields;  // in the record's layout order

    // The value of field `key`, if the record carries it.
    std::optional<double> value(const std::string& key) const;
    // Field `key` itself (with its unit and integer flag); null when absent.
    const Field* field(const std::string& key) const;
};

// Why a payload gave no record.
enum class DecodeError { None, UnknownSource, TooShort };

struct Decoded {
    DecodeError error = DecodeError::None;
    std::size_t expected = 0;  // the record's size, for TooShort
    Record record;             // filled when error is None; record.kind also for TooShort
};

// Decodes a telemetry record sent by the service `source` (its bus name,
// for instance "Flywheel_Hardware_Service"). Bytes beyond the record are
// ignored, as the console ignores them. The star sensor's record is 41
// bytes, but 31 (the part the console shows) are enough: its line counts
// are then left out of the record, and `expected` is 31.
Decoded decode(const std::string& source, const uint8_t* data, std::size_t size);
inline Decoded decode(const std::string& source, const std::vector<uint8_t>& payload)
{
    return decode(source, payload.data(), payload.size());
}

// Where a device is polled: the service's bus name and the telemetry
// request payload the console sends for it.
struct DeviceAddress {
    std::string service;
    Kind kind = Kind::Gyro;
    std::vector<uint8_t> request;
};

// Every device name gncctl accepts, in listing order.
const std::vector<std::string>& device_names();
// The address of a device; nothing for a name the bench does not know.
std::optional<DeviceAddress> device_address(const std::string& device);
// The fields a device's record carries (the line counts included, as
// "header_errors", "check_errors", "length_errors", "resets", where the
// device has them); empty for an unknown device.
std::vector<FieldInfo> device_fields(const std::string& device);

// The line statistics records the services send to the line-health
// monitor after every request: 5 bytes (line id and four uint8 counts) from
// the gyro, MEMS, vision and optical services, 9 bytes (line id and four
// uint16 little-endian counts) from the wheel service. For the wheels, whose
// telemetry record carries no counts, these are where the counts come from.
struct LineStatistics {
    int line_id = 0;
    std::string device;  // "gyro", "mems", "wheel1".."wheel8", "vision", "optical"
    uint32_t header_errors = 0, check_errors = 0, length_errors = 0, resets = 0;
    unsigned count_bits = 8;  // the counts wrap at 2^count_bits
};
std::optional<LineStatistics> decode_line_statistics(const std::string& source, const uint8_t* data,
                                                     std::size_t size);

}  // namespace telemetry
