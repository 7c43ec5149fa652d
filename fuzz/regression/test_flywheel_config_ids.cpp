// Wheel ids far outside 0..7 in the wheel service's configuration: the
// default hardware id (id × 17 + 17, low byte) must come out without
// signed overflow. Found by fuzz_flywheel_config (an id of 211515201 made
// id * 17 overflow int); the sanitizer builds turn the overflow into a
// failure, the value checks hold in every build.
#include "Skardel.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

class ConfigFile {
public:
    explicit ConfigFile(const std::string& text)
    {
        char name[] = "/tmp/skardel-config-XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0) ::close(fd);
        path_ = name;
        std::ofstream(path_) << text;
    }
    ~ConfigFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

uint8_t low_byte_of_default(long long id) { return uint8_t((id * 17 + 17) & 0xFF); }

}  // namespace

TEST(FlywheelConfigIds, LargeIdGetsDefaultHardwareIdWithoutOverflow)
{
    ConfigFile file(R"({"flywheels": [{"id": 211515201, "device": "/dev/wheel-a"}]})");
    FlywheelConfig configs[FLYWHEEL_MAX];
    ASSERT_EQ(parse_flywheel_config_file(file.path(), configs, FLYWHEEL_MAX), 1);
    EXPECT_EQ(configs[0].device, "/dev/wheel-a");
    EXPECT_EQ(configs[0].id, 211515201) << "kept as configured, to be refused, not wrapped";
    EXPECT_EQ(configs[0].hardware_id, low_byte_of_default(211515201));
}

TEST(FlywheelConfigIds, ExtremeIdsAreParsedAndNegativeIdsToo)
{
    ConfigFile file(R"({"flywheels": [
        {"id": 2147483647, "device": "/dev/wheel-max"},
        {"id": -2147483648, "device": "/dev/wheel-min"},
        {"id": -1, "device": "/dev/wheel-neg"},
        {"id": 2, "device": "/dev/wheel-2"}]})");
    FlywheelConfig configs[FLYWHEEL_MAX];
    ASSERT_EQ(parse_flywheel_config_file(file.path(), configs, FLYWHEEL_MAX), 4);
    EXPECT_EQ(configs[0].hardware_id, low_byte_of_default(INT_MAX));
    EXPECT_EQ(configs[1].hardware_id, low_byte_of_default(INT_MIN));
    EXPECT_EQ(configs[2].hardware_id, low_byte_of_default(-1));
    // The ordinary case is unchanged: wheel 2 is 0x33.
    EXPECT_EQ(configs[3].id, 2);
    EXPECT_EQ(configs[3].hardware_id, 0x33);
}

TEST(FlywheelConfigIds, GivenHardwareIdKeepsItsLowByte)
{
    ConfigFile file(R"({"flywheels": [{"id": 1, "device": "/dev/w", "hardware_id": 4386},
                                      {"id": 3, "device": "/dev/v", "hardware_id": -1}]})");
    FlywheelConfig configs[FLYWHEEL_MAX];
    ASSERT_EQ(parse_flywheel_config_file(file.path(), configs, FLYWHEEL_MAX), 2);
    EXPECT_EQ(configs[0].hardware_id, 0x22);
    EXPECT_EQ(configs[1].hardware_id, 0xFF);
}
