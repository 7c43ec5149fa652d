#include "bus_filter.h"

#include <cctype>
#include <cstring>

std::optional<FieldEquality> parse_field_equality(const std::string& e)
{
    std::size_t i = 0;
    auto blanks = [&] {
        while (i < e.size() && std::isspace(static_cast<unsigned char>(e[i]))) ++i;
    };
    blanks();
    std::size_t start = i;
    while (i < e.size() && (std::isalnum(static_cast<unsigned char>(e[i])) || e[i] == '_')) ++i;
    const std::string name = e.substr(start, i - start);
    static const struct {
        const char* name;
        BusField field;
    } fields[] = {{"topic", BusField::topic}, {"src", BusField::src}, {"dest", BusField::dest}, {"type", BusField::type}};
    std::optional<BusField> field;
    for (const auto& f : fields)
        if (name == f.name) field = f.field;
    if (!field) return std::nullopt;
    blanks();
    if (i >= e.size() || e[i] != '=') return std::nullopt;
    ++i;
    blanks();
    if (i >= e.size() || e[i] != '\'') return std::nullopt;
    ++i;
    std::string value;
    for (;;) {
        if (i >= e.size()) return std::nullopt;  // unterminated literal
        if (e[i] == '\'') {
            if (i + 1 < e.size() && e[i + 1] == '\'') {
                value += '\'';
                i += 2;
                continue;
            }
            ++i;
            break;
        }
        value += e[i++];
    }
    blanks();
    if (i != e.size()) return std::nullopt;
    return FieldEquality{*field, value};
}

bool serialized_field_equals(const uint8_t* data, std::size_t length, BusField field, const std::string& value)
{
    constexpr std::size_t header = 4;  // encapsulation id and options
    if (data == nullptr || length < header) return false;
    // Encapsulation ids 0x0000 (big-endian CDR) and 0x0001 (little-endian).
    if (data[0] != 0x00 || (data[1] != 0x00 && data[1] != 0x01)) return false;
    const bool little = data[1] == 0x01;
    std::size_t at = 0;  // offset from the end of the header; CDR aligns relative to it
    const std::size_t body = length - header;
    const uint8_t* p = data + header;
    for (int k = 0;; ++k) {
        at = (at + 3) & ~std::size_t(3);
        if (at > body || body - at < 4) return false;
        uint32_t n;
        if (little) {
            n = uint32_t(p[at]) | (uint32_t(p[at + 1]) << 8) | (uint32_t(p[at + 2]) << 16) | (uint32_t(p[at + 3]) << 24);
        } else {
            n = (uint32_t(p[at]) << 24) | (uint32_t(p[at + 1]) << 16) | (uint32_t(p[at + 2]) << 8) | uint32_t(p[at + 3]);
        }
        at += 4;
        // n counts the terminating NUL; an empty string may be sent as 0 or 1.
        if (n > body - at) return false;
        if (k == static_cast<int>(field)) {
            std::size_t chars = n == 0 ? 0 : n - 1;
            if (n > 0 && p[at + chars] != 0) return false;
            return chars == value.size() && std::memcmp(p + at, value.data(), chars) == 0;
        }
        at += n;
    }
}
