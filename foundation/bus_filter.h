// Subscription filters the endpoint evaluates itself: one string field of
// the bus message compared with a literal, "dest = 'Gyro_Hardware_Service'".
//
// The comparison reads the field straight from the serialized message,
// without deserializing it: a reader rejects a message addressed elsewhere
// for the cost of a few length reads and one memcmp. Expressions of any
// other form are left to Fast DDS's SQL filter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The message's string fields in their serialized order.
enum class BusField { topic = 0, src = 1, dest = 2, type = 3 };

struct FieldEquality {
    BusField field;
    std::string value;
};

// "<field> = '<literal>'" with optional blanks around the tokens; the literal
// may contain '' for a quote. Nothing else is accepted.
std::optional<FieldEquality> parse_field_equality(const std::string& expression);

// True when string field `field` of a serialized message (the 4-byte
// encapsulation header first, then the fields in plain CDR, either byte
// order) equals `value`. Malformed or truncated data never matches.
bool serialized_field_equals(const uint8_t* data, std::size_t length, BusField field, const std::string& value);
