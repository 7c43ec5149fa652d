// The endpoint's own subscription filter: which expressions it takes, and
// field comparisons on messages serialized by the generated type itself.
#include "bus_filter.h"

#include "BusMessage.h"
#include "BusMessagePubSubTypes.h"

#include <fastdds/rtps/common/SerializedPayload.h>
#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes serialize(const std::string& topic, const std::string& src, const std::string& dest, const std::string& type,
                std::size_t payload_size = 3)
{
    vantrel::BusMessage m;
    m.topic(topic);
    m.src(src);
    m.dest(dest);
    m.type(type);
    m.payload(std::vector<uint8_t>(payload_size, 0xAB));
    vantrel::BusMessagePubSubType support;
    eprosima::fastrtps::rtps::SerializedPayload_t payload(support.getSerializedSizeProvider(&m)());
    EXPECT_TRUE(support.serialize(&m, &payload));
    return Bytes(payload.data, payload.data + payload.length);
}

bool equals(const Bytes& b, BusField f, const std::string& v)
{
    return serialized_field_equals(b.data(), b.size(), f, v);
}

}  // namespace

TEST(BusFilterExpression, WhatIsTakenAndWhatIsLeftToSql)
{
    const struct {
        const char* expression;
        bool taken;
        BusField field;
        const char* value;
    } cases[] = {
        {"dest = 'Gyro_Hardware_Service'", true, BusField::dest, "Gyro_Hardware_Service"},
        {"  dest='x'  ", true, BusField::dest, "x"},
        {"src = 'Gnc_Service'", true, BusField::src, "Gnc_Service"},
        {"type = 'command'", true, BusField::type, "command"},
        {"topic = 'Telemetry'", true, BusField::topic, "Telemetry"},
        {"dest = ''", true, BusField::dest, ""},
        {"dest = 'O''Brien'", true, BusField::dest, "O'Brien"},
        {"dest = 'a = ''b'' '", true, BusField::dest, "a = 'b' "},
        {"dest = 'x' AND src = 'y'", false, BusField::dest, ""},
        {"dest <> 'x'", false, BusField::dest, ""},
        {"dest = %0", false, BusField::dest, ""},
        {"dest = \"x\"", false, BusField::dest, ""},
        {"dest = 'unterminated", false, BusField::dest, ""},
        {"destination = 'x'", false, BusField::dest, ""},
        {"payload = 'x'", false, BusField::dest, ""},
        {"extra1 = ''", false, BusField::dest, ""},
        {"", false, BusField::dest, ""},
        {"dest", false, BusField::dest, ""},
        {"dest =", false, BusField::dest, ""},
        {"= 'x'", false, BusField::dest, ""},
    };
    for (const auto& c : cases) {
        auto eq = parse_field_equality(c.expression);
        EXPECT_EQ(eq.has_value(), c.taken) << c.expression;
        if (eq && c.taken) {
            EXPECT_EQ(eq->field, c.field) << c.expression;
            EXPECT_EQ(eq->value, c.value) << c.expression;
        }
    }
}

TEST(BusFilterMatch, EachFieldOfARealMessage)
{
    // Field lengths chosen so that the fields after them start at every
    // alignment (the length words are aligned to four bytes).
    for (std::size_t n = 1; n <= 6; ++n) {
        std::string topic(n, 'T'), src(n + 1, 'S'), dest = "Gyro_Hardware_Service", type(n + 2, 'y');
        Bytes b = serialize(topic, src, dest, type, n * 7);
        EXPECT_TRUE(equals(b, BusField::topic, topic)) << n;
        EXPECT_TRUE(equals(b, BusField::src, src)) << n;
        EXPECT_TRUE(equals(b, BusField::dest, dest)) << n;
        EXPECT_TRUE(equals(b, BusField::type, type)) << n;
        EXPECT_FALSE(equals(b, BusField::dest, "Gyro_Hardware_Servic")) << "a prefix is not equal";
        EXPECT_FALSE(equals(b, BusField::dest, "Gyro_Hardware_Service_")) << "nor is a longer name";
        EXPECT_FALSE(equals(b, BusField::dest, src)) << "another field's value";
        EXPECT_FALSE(equals(b, BusField::src, dest));
    }
    Bytes empty_dest = serialize("Telemetry", "Gnc_Service", "", "command");
    EXPECT_TRUE(equals(empty_dest, BusField::dest, ""));
    EXPECT_FALSE(equals(empty_dest, BusField::dest, "x"));
    EXPECT_TRUE(equals(empty_dest, BusField::type, "command"));
}

TEST(BusFilterMatch, BigEndianEncapsulation)
{
    // topic "ab", src "", dest "Xyz" in big-endian CDR.
    Bytes b = {0x00, 0x00, 0x00, 0x00,                    // CDR_BE
               0, 0, 0, 3, 'a', 'b', 0, 0,                 // topic, padded
               0, 0, 0, 1, 0, 0, 0, 0,                     // src "", padded
               0, 0, 0, 4, 'X', 'y', 'z', 0};              // dest
    EXPECT_TRUE(equals(b, BusField::topic, "ab"));
    EXPECT_TRUE(equals(b, BusField::src, ""));
    EXPECT_TRUE(equals(b, BusField::dest, "Xyz"));
    EXPECT_FALSE(equals(b, BusField::type, "")) << "the message ends before its type";
}

TEST(BusFilterMatch, MalformedDataNeverMatches)
{
    Bytes good = serialize("Telemetry", "Gnc_Service", "Gyro_Hardware_Service", "command");
    ASSERT_TRUE(equals(good, BusField::dest, "Gyro_Hardware_Service"));
    // Every truncation of a good message: no read past the end (the
    // sanitizer builds check), and the dest only matches once it is whole.
    for (std::size_t len = 0; len < good.size(); ++len) {
        bool m = serialized_field_equals(good.data(), len, BusField::dest, "Gyro_Hardware_Service");
        std::size_t dest_end = 4 + (4 + 10) + 2 /*pad*/ + (4 + 12) + (4 + 22);
        EXPECT_EQ(m, len >= dest_end) << len;
    }
    Bytes bad = good;
    bad[1] = 0x02;  // parameter-list encapsulation: not ours
    EXPECT_FALSE(equals(bad, BusField::dest, "Gyro_Hardware_Service"));
    bad = good;
    bad[4] = 0xFF;  // a topic length far beyond the data
    EXPECT_FALSE(equals(bad, BusField::dest, "Gyro_Hardware_Service"));
    bad = good;
    bad[bad.size() > 60 ? 4 + 16 + 16 + 4 + 21 : 0] = 'X';  // the dest's terminating NUL overwritten
    EXPECT_FALSE(equals(bad, BusField::dest, "Gyro_Hardware_Service"));
    EXPECT_FALSE(serialized_field_equals(nullptr, 0, BusField::dest, ""));
}
