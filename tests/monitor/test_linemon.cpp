// linemon's parts without the bus: decoding, the per-line table, its text,
// the JSON Lines log and the command line.
#include "linemon.h"
#include "support/child_process.h"
#include "support/waiting.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <sstream>

using namespace linemon;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

const std::string GYRO = "Gyro_Hardware_Service";
const std::string WHEELS = "Flywheel_Hardware_Service";
const std::string OPTICAL = "Optical_Hardware_Service";
const std::string STAR = "Star_sensor_Hardware_Service";

const ReportRow* row_of(const Report& r, const std::string& name)
{
    for (const ReportRow& row : r.rows)
        if (row.line_name == name) return &row;
    return nullptr;
}

Json::Value parse_json(const std::string& line)
{
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    Json::Value v;
    std::string errors;
    EXPECT_TRUE(reader->parse(line.data(), line.data() + line.size(), &v, &errors)) << errors << "\n" << line;
    return v;
}

}  // namespace

TEST(LinemonDecode, StatisticsRecordsOfEverySource)
{
    struct Case {
        std::string source;
        Bytes bytes;
        int id;
        std::string name;
        Counts counts;
        unsigned bits;
    };
    const Case cases[] = {
        {GYRO, {3, 1, 2, 3, 4}, 3, "gyro", {1, 2, 3, 4}, 8},
        {"Mems_Hardware_Service", {4, 0, 255, 0, 7}, 4, "mems", {0, 255, 0, 7}, 8},
        {"Vision_Hardware_Service", {9, 9, 8, 7, 6}, 9, "vision", {9, 8, 7, 6}, 8},
        {OPTICAL, {10, 0, 0, 1, 0}, 10, "optical", {0, 0, 1, 0}, 8},
        {WHEELS, {5, 0x2C, 0x01, 0x02, 0x00, 0x00, 0x01, 0xFF, 0xFF}, 5, "wheel1", {300, 2, 256, 65535}, 16},
        {WHEELS, {12, 1, 0, 0, 0, 0, 0, 0, 0x80}, 12, "wheel8", {1, 0, 0, 32768}, 16},
    };
    for (const Case& c : cases) {
        auto s = telemetry::decode_line_statistics(c.source, c.bytes.data(), c.bytes.size());
        ASSERT_TRUE(s) << c.source;
        EXPECT_EQ(s->line_id, c.id);
        EXPECT_EQ(s->device, c.name);
        EXPECT_EQ(counts_of(*s), c.counts) << c.source;
        EXPECT_EQ(s->count_bits, c.bits);
    }
}

TEST(LinemonDecode, WrongSizesSourcesAndIdsAreCountedAsUnrecognised)
{
    const std::pair<std::string, Bytes> cases[] = {
        {GYRO, {}},                                   // empty
        {GYRO, {3, 0, 0, 0}},                         // short
        {GYRO, {3, 0, 0, 0, 0, 0}},                   // long
        {GYRO, {3, 0, 0, 0, 0, 0, 0, 0, 0}},          // a wheel's size
        {GYRO, {4, 0, 0, 0, 0}},                      // the MEMS id
        {WHEELS, {5, 0, 0, 0, 0}},                    // 5 bytes from the wheels
        {WHEELS, {4, 0, 0, 0, 0, 0, 0, 0, 0}},        // below wheel 1
        {WHEELS, {13, 0, 0, 0, 0, 0, 0, 0, 0}},       // above wheel 8
        {STAR, Bytes(41, 0)},                         // never sent here
        {"Someone_Else", {3, 0, 0, 0, 0}},            // unknown source
    };
    LineTable t(0.0);
    for (const auto& [source, bytes] : cases) {
        EXPECT_FALSE(telemetry::decode_line_statistics(source, bytes.data(), bytes.size()))
            << source << " " << bytes.size();
        EXPECT_EQ(t.on_statistics(source, bytes, 1.0).kind, Observation::UNRECOGNISED);
    }
    Report r = t.take_report(2.0);
    EXPECT_TRUE(r.rows.empty());
    EXPECT_EQ(r.unrecognised, (std::map<std::string, uint64_t>{{GYRO, 5}, {WHEELS, 3}, {STAR, 1}, {"Someone_Else", 1}}));
    EXPECT_EQ(r.unrecognised_new, 10u);
    EXPECT_EQ(t.take_report(3.0).unrecognised_new, 0u);
}

TEST(LinemonRise, WrapsAtTheCountWidth)
{
    struct Case {
        uint32_t before, after;
        unsigned bits;
        uint32_t rise;
    };
    for (const Case& c : {Case{0, 1, 8, 1}, Case{255, 0, 8, 1}, Case{250, 4, 8, 10}, Case{7, 7, 8, 0},
                          Case{65535, 0, 16, 1}, Case{255, 256, 16, 1}, Case{65530, 3, 16, 9}})
        EXPECT_EQ(wrapped_rise(c.before, c.after, c.bits), c.rise) << c.before << "->" << c.after << "/" << c.bits;
}

TEST(LinemonRise, MarkedOncePerReportAcrossWraps)
{
    LineTable t(0.0);
    auto gyro = [&](uint8_t check, uint8_t reset) { t.on_statistics(GYRO, {3, 0, check, 0, reset}, 0.5); };
    auto wheel = [&](uint16_t head) {
        t.on_statistics(WHEELS, {6, uint8_t(head), uint8_t(head >> 8), 0, 0, 0, 0, 0, 0}, 0.5);
    };

    gyro(254, 9);  // the first record is the baseline, whatever it holds
    wheel(65535);
    Report r1 = t.take_report(1.0);
    EXPECT_EQ(row_of(r1, "gyro")->rose, (Counts{0, 0, 0, 0}));
    EXPECT_EQ(row_of(r1, "wheel2")->rose, (Counts{0, 0, 0, 0}));

    gyro(255, 9);
    gyro(0, 10);  // 255 -> 0 is one more
    wheel(0);
    Report r2 = t.take_report(2.0);
    EXPECT_EQ(row_of(r2, "gyro")->rose, (Counts{0, 2, 0, 1}));
    EXPECT_EQ(row_of(r2, "gyro")->counts, (Counts{0, 0, 0, 10}));
    EXPECT_EQ(row_of(r2, "wheel2")->rose, (Counts{1, 0, 0, 0}));
    EXPECT_NE(format_report(r2).find("check+2,reset+1\n"), std::string::npos) << format_report(r2);

    gyro(0, 10);
    Report r3 = t.take_report(3.0);
    EXPECT_EQ(row_of(r3, "gyro")->rose, (Counts{0, 0, 0, 0}));
    EXPECT_EQ(row_of(r3, "gyro")->counts, (Counts{0, 0, 0, 10}));
}

TEST(LinemonRaw, FramesGoToTheLineOfTheSourcesLatestStatistics)
{
    LineTable t(10.0);
    const Bytes frame19(19, 0xAA), frame27(27, 0x55);
    EXPECT_FALSE(t.on_raw(GYRO, frame27, 10.1).line_id);  // before any statistics
    t.on_statistics(GYRO, {3, 0, 0, 0, 0}, 10.2);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(t.on_raw(GYRO, frame27, 10.3).line_id, 3);
    t.on_statistics(WHEELS, {5, 0, 0, 0, 0, 0, 0, 0, 0}, 10.4);
    t.on_raw(WHEELS, frame19, 10.4);
    t.on_statistics(WHEELS, {6, 0, 0, 0, 0, 0, 0, 0, 0}, 10.5);
    t.on_raw(WHEELS, frame19, 10.5);
    t.on_raw(WHEELS, Bytes(3, 0), 10.6);  // another size: still wheel 2's frame
    t.on_statistics(WHEELS, {5, 0, 0}, 10.7);  // unrecognised: the next frame's line is unknown
    Observation lost = t.on_raw(WHEELS, frame19, 10.8);
    EXPECT_FALSE(lost.line_id);
    // The vision unit's id 9 is also wheel 5's: two lines, in source order.
    t.on_statistics("Vision_Hardware_Service", {9, 0, 0, 0, 0}, 10.9);
    t.on_statistics(WHEELS, {9, 0, 0, 0, 0, 0, 0, 0, 0}, 10.9);

    Report r = t.take_report(12.0);
    std::vector<std::string> order;
    for (const ReportRow& row : r.rows) order.push_back(row.line_name);
    EXPECT_EQ(order, (std::vector<std::string>{"gyro", "wheel1", "wheel2", "wheel5", "vision", "wheel?", "gyro?"}));
    struct Expect {
        std::string name;
        uint64_t frames;
        double per_s;
        std::optional<std::size_t> len;
    };
    for (const Expect& e : {Expect{"gyro", 4, 2.0, 27}, Expect{"wheel1", 1, 0.5, 19}, Expect{"wheel2", 2, 1.0, 3},
                            Expect{"gyro?", 1, 0.5, 27}, Expect{"wheel?", 1, 0.5, 19}, Expect{"vision", 0, 0.0, {}}}) {
        const ReportRow* row = row_of(r, e.name);
        ASSERT_NE(row, nullptr) << e.name;
        EXPECT_EQ(row->raw_frames, e.frames) << e.name;
        EXPECT_DOUBLE_EQ(row->raw_per_s, e.per_s) << e.name;
        EXPECT_EQ(row->last_raw_len, e.len) << e.name;
    }
    EXPECT_FALSE(row_of(r, "gyro?")->has_counts);
    EXPECT_NEAR(row_of(r, "wheel2")->age_s, 1.4, 1e-9);

    // The next interval starts empty; totals stay.
    t.on_raw(GYRO, frame27, 12.5);
    Report next = t.take_report(13.0);
    EXPECT_EQ(row_of(next, "gyro")->raw_frames, 5u);
    EXPECT_DOUBLE_EQ(row_of(next, "gyro")->raw_per_s, 1.0);
    EXPECT_DOUBLE_EQ(row_of(next, "wheel1")->raw_per_s, 0.0);
}

TEST(LinemonText, GoldenTable)
{
    LineTable t(100.0);
    t.on_statistics(GYRO, {3, 0, 0, 0, 0}, 100.2);
    t.on_raw(GYRO, Bytes(27, 1), 100.2);
    t.on_statistics(WHEELS, {5, 0x2C, 0x01, 0, 0, 0, 0, 2, 0}, 100.5);
    t.on_raw(OPTICAL, Bytes(228, 2), 100.7);
    t.on_statistics(STAR, Bytes(41, 0), 100.8);
    t.on_statistics(GYRO, {3, 0, 1, 0, 0}, 100.9);
    t.on_raw(GYRO, Bytes(27, 1), 100.9);
    EXPECT_EQ(format_report(t.take_report(102.0)),
              "== line health: report 1, interval 2.00 s ==\n"
              "  id line      header  check length  reset    raw  raw/s   len  age_s  rose\n"
              "   3 gyro           0      1      0      0      2    1.0    27    1.1  check+1\n"
              "   5 wheel1       300      0      0      2      0    0.0     -    1.5  -\n"
              "   ? optical?       -      -      -      -      1    0.5   228    1.3  -\n"
              "   - unrecognised 1 (+1): Star_sensor_Hardware_Service=1\n");
    EXPECT_EQ(format_report(LineTable(0.0).take_report(1.0)),
              "== line health: report 1, interval 1.00 s ==\n"
              "  id line      header  check length  reset    raw  raw/s   len  age_s  rose\n"
              "   (no records yet)\n");
}

TEST(LinemonLog, OneParsableObjectPerRecord)
{
    std::ostringstream out;
    Monitor m(0.0, &out);
    const auto wall = std::chrono::system_clock::from_time_t(1714564803) + 123ms;  // 2024-05-01 12:00:03.123
    m.receive("Raw_Telemetry", GYRO, {0xA5, 0x0F}, {wall, 1.5});
    m.receive("Telemetry", GYRO, {3, 0, 1, 0, 255}, {wall, 2.25});
    m.receive("Raw_Telemetry", GYRO, {0x00, 0xFF, 0x10}, {wall, 2.5});
    m.receive("Telemetry", WHEELS, {7, 0x2C, 0x01, 0, 0, 0, 0, 0, 0}, {wall, 3.0});
    m.receive("Telemetry", std::string("bad\xff\"name\n", 10), {1, 2}, {wall + 999ms, 4.0});
    m.receive("Command", GYRO, {0xFF}, {wall, 5.0});  // not a topic the monitor serves

    std::istringstream lines(out.str());
    std::vector<Json::Value> v;
    for (std::string line; std::getline(lines, line);) v.push_back(parse_json(line));
    ASSERT_EQ(v.size(), 5u) << out.str();
    EXPECT_EQ(v[0]["utc"].asString(), "2024-05-01T12:00:03.123Z");
    EXPECT_EQ(v[4]["utc"].asString(), "2024-05-01T12:00:04.122Z");

    EXPECT_DOUBLE_EQ(v[0]["mono"].asDouble(), 1.5);
    EXPECT_EQ(v[0]["topic"].asString(), "Raw_Telemetry");
    EXPECT_EQ(v[0]["kind"].asString(), "raw");
    EXPECT_FALSE(v[0].isMember("line")) << "no statistics from the gyro yet";
    EXPECT_EQ(v[0]["hex"].asString(), "a50f");
    EXPECT_EQ(v[0]["len"].asUInt(), 2u);

    EXPECT_EQ(v[1]["kind"].asString(), "statistics");
    EXPECT_EQ(v[1]["source"].asString(), GYRO);
    EXPECT_EQ(v[1]["line"].asInt(), 3);
    EXPECT_EQ(v[1]["name"].asString(), "gyro");
    Json::Value counts(Json::objectValue);
    counts["header"] = 0;
    counts["check"] = 1;
    counts["length"] = 0;
    counts["reset"] = 255;
    EXPECT_EQ(v[1]["counts"], counts);
    EXPECT_FALSE(v[1].isMember("hex"));
    EXPECT_EQ(v[1]["len"].asUInt(), 5u);

    EXPECT_EQ(v[2]["line"].asInt(), 3);
    EXPECT_EQ(v[2]["hex"].asString(), "00ff10");
    EXPECT_EQ(v[3]["name"].asString(), "wheel3");
    EXPECT_EQ(v[3]["counts"]["header"].asUInt(), 300u);
    EXPECT_EQ(v[4]["kind"].asString(), "unrecognised");
    EXPECT_EQ(v[4]["source"].asString(), "bad\xEF\xBF\xBD\"name\n");
    EXPECT_EQ(v[4]["hex"].asString(), "0102");
}

TEST(LinemonOptions, CommandLines)
{
    struct Case {
        std::vector<std::string> args;
        bool ok;
        std::string log;
        long interval;
    };
    const Case cases[] = {
        {{}, true, "", 1000},
        {{"--log", "l.jsonl", "--interval-ms", "250"}, true, "l.jsonl", 250},
        {{"--interval-ms", "1"}, true, "", 1},
        {{"--interval-ms", "0"}, false, "", 0},
        {{"--interval-ms", "-5"}, false, "", 0},
        {{"--interval-ms", "10x"}, false, "", 0},
        {{"--interval-ms", " 10"}, false, "", 0},
        {{"--interval-ms", "99999999999999999999"}, false, "", 0},
        {{"--interval-ms"}, false, "", 0},
        {{"--log"}, false, "", 0},
        {{"--log", ""}, false, "", 0},
        {{"--verbose"}, false, "", 0},
        {{"extra"}, false, "", 0},
    };
    for (const Case& c : cases) {
        std::string error;
        bool help = true;
        auto o = parse_options(c.args, error, help);
        EXPECT_FALSE(help);
        ASSERT_EQ(o.has_value(), c.ok) << testing::PrintToString(c.args);
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(o->log_path, c.log);
        EXPECT_EQ(o->interval_ms, c.interval);
    }
}

TEST(LinemonOptions, BadCommandLineExitsTwoWithUsage)
{
    // Refused before the program joins the bus.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--bogus"}, {"--interval-ms", "0"}}) {
        ChildProcess p(LINEMON_PATH, args);
        int status = p.wait_exit(30s);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 2);
        EXPECT_TRUE(wait_until([&] { return p.err().find(std::string(USAGE) + "\n") != std::string::npos; }, 10s))
            << p.err();
    }
}
