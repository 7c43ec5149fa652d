// Reading a service's JSON configuration: every bad file is reported and
// refused, none ends the program.
#include "config_file.h"

#include <gtest/gtest.h>

#include <fstream>

TEST(ConfigFile, BadFilesAreRefusedWithTheirMessage)
{
    const std::string deep(5000, '[');
    const struct {
        const char* name;
        std::string text;
        const char* message;
    } cases[] = {
        {"cfg_broken.json", "{\"gyro\": ", "[ERROR] Failed to parse JSON: "},
        {"cfg_deep.json", "{\"a\": " + deep, "[ERROR] Failed to parse JSON: "},  // the reader throws here
        {"cfg_empty.json", "", "[ERROR] Failed to parse JSON: "},
    };
    for (const auto& c : cases) {
        std::string path = testing::TempDir() + c.name;
        std::ofstream(path) << c.text;
        Json::Value root;
        testing::internal::CaptureStderr();
        EXPECT_EQ(load_json_config(path, root), -1) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(c.message, 0), 0u) << c.name;
    }
    testing::internal::CaptureStderr();
    Json::Value root;
    EXPECT_EQ(load_json_config("/nonexistent/x.json", root), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] Cannot open config file: /nonexistent/x.json\n");

    std::string good = testing::TempDir() + "cfg_good.json";
    std::ofstream(good) << "{\"gyro\": {\"baudrate\": 9600}}";
    ASSERT_EQ(load_json_config(good, root), 0);
    EXPECT_EQ(root["gyro"]["baudrate"].asInt(), 9600);
}
