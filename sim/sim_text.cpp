#include "sim_text.h"

#include <sstream>

namespace devsim {

std::string hex_bytes(const uint8_t* data, std::size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 3);
    for (std::size_t i = 0; i < size; ++i) {
        if (i) text += ' ';
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

std::string float_text(float value)
{
    std::ostringstream os;
    os << value;
    return os.str();
}

}  // namespace devsim
