// The console's display of whatever reaches it: print_telemetry and
// print_command_echo with any source name, type label and payload, and the
// two bus handlers that print them. The source is one of the services the
// console knows (so the records of every layout are shown) or any string.
//
// Input, per message: kind byte (bit 0 telemetry; bits 1-4 source: 0-6 the
// hardware services, 7 the console itself, 8-15 a string from the input:
// length byte, bytes), type label (length byte, bytes), payload (length
// byte, bytes).
#include "Corvane.h"
#include "harness.h"

#include <sstream>

namespace {

const char* const kKnown[7] = {"Star_sensor_Hardware_Service", "Gyro_Hardware_Service", "Mems_Hardware_Service",
                               "Flywheel_Hardware_Service",    "Gnss_Hardware_Service", "Vision_Hardware_Service",
                               "Optical_Hardware_Service"};
const std::size_t kExpected[7] = {31, 18, 18, 13, 33, 70, 28};

std::size_t count_of(const std::string& hay, const std::string& needle)
{
    std::size_t n = 0;
    for (std::size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

// "Data (<n> bytes): " and the bytes in hexadecimal, separated by ", ".
void check_dump(const std::string& out, std::size_t from, const std::vector<unsigned char>& data)
{
    const std::string head = "Data (" + std::to_string(data.size()) + " bytes): ";
    const std::size_t at = out.find(head, from);
    FUZZ_CHECK(at != std::string::npos, "no data line in: " + out);
    const std::size_t end = out.find('\n', at);
    const std::string list = out.substr(at + head.size(), end - at - head.size());
    std::string want;
    char b[8];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(b, sizeof b, "%s%X", i ? ", " : "", unsigned(data[i]));
        want += b;
    }
    FUZZ_CHECK(list == want, "dump '" + list + "' want '" + want + "'");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::ByteReader in(data, size);
    for (int m = 0; m < fuzz::MAX_MESSAGES && !in.empty(); ++m) {
        const uint8_t kind = in.u8();
        const bool telemetry = kind & 1;
        const unsigned source = (kind >> 1) & 15;
        std::string src = source < 7 ? kKnown[source] : source == 7 ? "Gnc_Service" : in.text(in.u8());
        std::string type = in.text(in.u8());
        std::vector<uint8_t> bytes = in.bytes(in.u8());
        std::vector<unsigned char> payload(bytes.begin(), bytes.end());

        std::ostringstream out;
        if (telemetry) {
            print_telemetry(out, src, payload);
            telemetry_callback(src, servername, type, "", "", payload);
            const std::string text = out.str();
            int known = -1;
            for (int i = 0; i < 7; ++i)
                if (src == kKnown[i]) known = i;
            if (known < 0) {
                FUZZ_CHECK(text.rfind("[WARNING] Unknown source device or command data: " + src + "\n", 0) == 0,
                           "unknown source shown as: " + text.substr(0, 200));
                check_dump(text, 50 + src.size(), payload);
            } else if (payload.size() < kExpected[known]) {
                FUZZ_CHECK(text.find("size mismatch. Expected: " + std::to_string(kExpected[known])) !=
                               std::string::npos,
                           "short record shown as: " + text.substr(0, 200));
                FUZZ_CHECK(text.find("=====================================") == std::string::npos,
                           "a block for a short record");
            } else {
                FUZZ_CHECK(text.rfind("\n========== ", 0) == 0, "block start: " + text.substr(0, 80));
                FUZZ_CHECK(count_of(text, "=====================================\n") == 1, "block end");
                FUZZ_CHECK(text.size() >= 2 && text.compare(text.size() - 2, 2, "\n\n") == 0, "block ending");
            }
        } else {
            print_command_echo(out, src, servername, type, payload);
            command_callback(src, servername, type, "", "", payload);
            const std::string text = out.str();
            FUZZ_CHECK(text.rfind("Command received from " + src + " to " + servername + "\nType: " + type + "\n", 0) == 0,
                       "echo: " + text.substr(0, 200));
            check_dump(text, 34 + src.size() + servername.size() + type.size(), payload);
        }
    }
    return 0;
}
