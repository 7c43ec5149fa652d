// gncweb in process: the store against a real SQLite file, line health and
// the live stream, and the HTTP interface on 127.0.0.1 (a free port) with a
// stand-in for the bus that records what would have been sent.
#include "gncweb.h"
#include "support/waiting.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <unistd.h>

using namespace gncweb;
using namespace std::chrono_literals;

namespace {

std::string temp_db(const std::string& name)
{
    const std::string path = testing::TempDir() + "gncweb_" + name + "_" + std::to_string(getpid()) + ".sqlite";
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    return path;
}

Store::Options options(const std::string& path)
{
    Store::Options o;
    o.path = path;
    o.retention_hours = 0;
    return o;
}

Json::Value parse(const std::string& text)
{
    Json::Value v;
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, nullptr)) << text;
    return v;
}

}  // namespace

TEST(GncwebStore, RangeQueriesReturnTheValuesInRangeInOrderAndThinBeyondTheCap)
{
    Store store(options(temp_db("range")), nullptr);
    // Two keys interleaved, 100 values each 10 ms apart, added in pieces;
    // one value NaN.
    for (int i = 0; i < 100; i += 7) {
        std::vector<Sample> batch;
        for (int j = i; j < std::min(i + 7, 100); ++j) {
            batch.push_back({"wheel1.speed", 1000 + 10 * j, j == 50 ? NAN : double(j)});
            batch.push_back({"wheel2.speed", 1000 + 10 * j, -double(j)});
        }
        store.add(batch);
    }
    store.flush();
    EXPECT_EQ(store.written(), 200u);

    struct Case {
        Ms start, end;
        std::size_t cap, points, step;
        Ms first_t;
    } cases[] = {
        {1000, 1990, 1000, 100, 1, 1000},  // everything
        {1205, 1300, 1000, 10, 1, 1210},   // bounds inclusive, between samples
        {0, 999, 1000, 0, 1, 0},           // before the first
        {1000, 1990, 30, 25, 4, 1000},     // 100 thinned to every 4th
    };
    for (const Case& c : cases) {
        auto r = store.history("wheel1.speed", c.start, c.end, c.cap);
        ASSERT_EQ(r.points.size(), c.points) << c.start << ".." << c.end;
        EXPECT_EQ(r.step, c.step);
        if (r.points.empty()) continue;
        EXPECT_EQ(r.points.front().t, c.first_t);
        for (std::size_t i = 1; i < r.points.size(); ++i) {
            EXPECT_EQ(r.points[i].t - r.points[i - 1].t, Ms(10 * c.step));
            const double v = r.points[i].value;
            EXPECT_TRUE(r.points[i].t == 1500 ? std::isnan(v) : v == double(r.points[i].t - 1000) / 10) << r.points[i].t;
        }
    }
    EXPECT_TRUE(store.history("gyro.x", 0, 5000, 10).points.empty());
    auto [first, last] = store.span();
    EXPECT_EQ(first, 1000);
    EXPECT_EQ(last, 1990);
}

TEST(GncwebStore, ClosingCommitsEverythingQueuedAndRetentionDeletesOnlyOldValues)
{
    const std::string path = temp_db("retention");
    const Ms now = wall_ms(std::chrono::system_clock::now());
    const Ms hour = 3'600'000;
    {
        Store store(options(path), nullptr);
        std::vector<Sample> batch;
        for (Ms age : {3 * hour, 2 * hour, hour / 2, Ms(0)})
            for (const char* key : {"gyro.x", "mems.x"}) batch.push_back({key, now - age, 1.0});
        store.add(batch);
        // No flush: closing must commit them.
    }
    {
        Store::Options o = options(path);
        o.review = true;
        Store review(o, nullptr);
        EXPECT_EQ(review.history("mems.x", 0, now, 10).points.size(), 4u);
    }
    // One hour kept; the writer's first pass deletes what is older.
    Store::Options o = options(path);
    o.retention_hours = 1;
    Store store(o, nullptr);
    store.add({{"gyro.x", now, 2.0}});
    ASSERT_TRUE(wait_until([&] { return store.history("gyro.x", 0, now, 10).points.size() == 3; }, 10s));
    EXPECT_EQ(store.history("mems.x", 0, now, 10).points.size(), 2u);
    EXPECT_EQ(store.delete_before(now), 2u);  // what is left before `now`, both keys
    EXPECT_EQ(store.span().first, now);
}

TEST(GncwebFeed, LineHealthTakesCountsFromRecordsOrLineStatisticsAndCountsFrames)
{
    LineHealth health(std::chrono::seconds(5));
    const auto t0 = bus::Clock::now();
    auto record = [&](const std::string& device, std::vector<telemetry::Field> fields, double s) {
        bus::Observation o;
        o.record.device = device;
        o.record.fields = std::move(fields);
        o.at = t0 + std::chrono::milliseconds(long(s * 1000));
        o.wall = std::chrono::system_clock::time_point(std::chrono::milliseconds(1'000'000 + long(s * 1000)));
        return o;
    };
    auto line = [&](const std::string& device, uint32_t resets) {
        bus::Observation o = record(device, {}, 0);
        o.is_record = false;
        o.line.device = device;
        o.line.resets = resets;
        return o;
    };
    struct Case {
        bus::Observation o;
        std::vector<std::string> keys;
    } cases[] = {
        {record("wheel1", {{"speed", "rpm", 1500, false}}, 0), {"wheel1.speed"}},
        {line("wheel1", 3), {"wheel1.header_errors", "wheel1.check_errors", "wheel1.length_errors", "wheel1.resets"}},
        {line("gyro", 3), {}},  // the gyro's record carries its counts
        {record("gyro", {{"x", "rad/s", 0.1, false}, {"resets", "", 2, true}}, 1), {"gyro.x", "gyro.resets"}},
    };
    for (const Case& c : cases) {
        auto samples = health.observe(c.o);
        std::vector<std::string> keys;
        for (const auto& s : samples) {
            keys.push_back(s.key);
            EXPECT_EQ(s.t, wall_ms(c.o.wall));
        }
        EXPECT_EQ(keys, c.keys);
        if (!c.o.is_record && !samples.empty()) {
            EXPECT_EQ(samples[3].value, 3);
        }
    }
    for (int i = 1; i <= 11; ++i) health.observe(record("wheel1", {}, 0.5 * i));  // 2 per second
    std::map<std::string, double> tick;
    for (const auto& s : health.tick(t0 + 6s, 7)) tick[s.key] = s.value;
    EXPECT_EQ(tick.size(), 4u);
    EXPECT_DOUBLE_EQ(tick["wheel1.age_s"], 0.5);
    EXPECT_DOUBLE_EQ(tick["gyro.age_s"], 5.0);
    EXPECT_DOUBLE_EQ(tick["wheel1.frames_per_s"], 2.0);  // records at 1.0 .. 5.5 s
    EXPECT_DOUBLE_EQ(tick["gyro.frames_per_s"], 0.2);    // its one record, within the window
}

TEST(GncwebFeed, AClientThatFallsBehindIsDroppedAndTheOthersKeepTheirEvents)
{
    Stream stream(3, 2);
    auto slow = stream.subscribe({});
    auto filtered = stream.subscribe({"gyro.x"});
    EXPECT_EQ(stream.subscribe({}), nullptr);  // two at most
    for (int i = 0; i < 2; ++i) stream.publish({{"gyro.x", i, 1.5}, {"mems.x", i, 2}});
    std::string out;
    EXPECT_FALSE(slow->take(out, 0ms));  // 4 events for a queue of 3
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(stream.dropped_clients(), 1u);
    ASSERT_TRUE(filtered->take(out, 0ms));
    EXPECT_EQ(out, "data: {\"key\":\"gyro.x\",\"t\":0,\"value\":1.5}\n\n"
                   "data: {\"key\":\"gyro.x\",\"t\":1,\"value\":1.5}\n\n");
    stream.unsubscribe(slow);
    EXPECT_NE(stream.subscribe({}), nullptr);
}

// ---------------------------------------------------------------------------
// HTTP

namespace {

struct Server {
    explicit Server(Api::Config config = {}, CommandStatus answer = CommandStatus::Taken)
        : store(options(temp_db("api")), nullptr)
    {
        config.db_path = store.path();
        api = std::make_unique<Api>(
            store, stream, config,
            [this, answer](const commands::Built& b) {
                sent.push_back(b);
                return answer;
            },
            [this](const std::string& text) {
                std::lock_guard<std::mutex> lock(log_mutex);
                log += text + "\n";
            });
        EXPECT_TRUE(api->bind("127.0.0.1", 0));
        api->start();
        http = std::make_unique<httplib::Client>("127.0.0.1", api->port());
    }
    httplib::Result post(const std::string& body, const std::string& auth = "")
    {
        httplib::Headers h;
        if (!auth.empty()) h.emplace("Authorization", auth);
        return http->Post("/api/command", h, body, "application/json");
    }

    // The log comes after the answer: wait for a line.
    bool logged(const std::string& text)
    {
        return wait_until(
            [&] {
                std::lock_guard<std::mutex> lock(log_mutex);
                return log.find(text) != std::string::npos;
            },
            5s);
    }

    Store store;
    Stream stream;
    std::vector<commands::Built> sent;
    std::mutex log_mutex;
    std::string log;
    std::unique_ptr<Api> api;
    std::unique_ptr<httplib::Client> http;
};

}  // namespace

TEST(GncwebHttp, DictionaryCoversEveryOperatorDeviceWithUnitsFormatsAndLineHealth)
{
    Server s;
    auto res = s.http->Get("/api/dictionary");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    Json::Value d = parse(res->body);
    ASSERT_EQ(d.size(), 28u);  // nano1..8, pico1..8, wheel1..8, gyro, mems, optical, vision
    std::map<std::string, Json::Value> fields;
    for (const auto& dev : d) {
        ASSERT_FALSE(dev["name"].asString().empty());
        for (const auto& f : dev["fields"]) {
            EXPECT_EQ(f["key"].asString(), dev["device"].asString() + "." + f["name"].asString());
            EXPECT_TRUE(f["format"] == "float" || f["format"] == "integer") << f;
            EXPECT_TRUE(fields.emplace(f["key"].asString(), f).second) << "twice: " << f["key"];
        }
        for (const char* h : {"header_errors", "check_errors", "length_errors", "resets", "frames_per_s", "age_s"})
            EXPECT_EQ(fields.count(dev["device"].asString() + "." + h), 1u) << dev["device"] << " " << h;
    }
    EXPECT_EQ(fields.count("gnss.pos_x"), 0u);
    EXPECT_EQ(fields["wheel1.speed"]["unit"], "rpm");
    EXPECT_EQ(fields["wheel1.speed"]["format"], "float");
    EXPECT_EQ(fields["vision.resets"]["format"], "integer");
    EXPECT_EQ(fields["gyro.age_s"]["limits"]["warning_above"], 3);
    EXPECT_FALSE(fields["gyro.x"].isMember("limits"));
}

TEST(GncwebHttp, HistoryAnswersSortedValuesAndRefusesBadKeysAndRanges)
{
    Server s;
    s.store.add({{"gyro.x", 300, 3}, {"gyro.x", 100, 1}, {"gyro.x", 200, 2.5}, {"gyro.y", 150, 9}});
    s.store.flush();
    struct Case {
        std::string query;
        int status;
        std::string body;
    } cases[] = {
        {"key=gyro.x&start=100&end=250", 200, R"([{"t":100,"value":1},{"t":200,"value":2.5}])"},
        {"key=gyro.x&start=0&end=1000", 200, R"([{"t":100,"value":1},{"t":200,"value":2.5},{"t":300,"value":3}])"},
        {"key=gyro.z&start=0&end=1000", 200, "[]"},  // known, nothing stored
        {"key=gyro.spin&start=0&end=1000", 400, "unknown key 'gyro.spin'"},
        {"key=gyro.x&start=0", 400, "start and end"},
        {"key=gyro.x&start=500&end=100", 400, "start <= end"},
        {"key=gyro.x&start=1e3&end=2000", 400, "start and end"},
    };
    for (const Case& c : cases) {
        auto res = s.http->Get(("/api/history?" + c.query).c_str());
        ASSERT_TRUE(res) << c.query;
        EXPECT_EQ(res->status, c.status) << c.query << " " << res->body;
        if (c.status == 200)
            EXPECT_EQ(res->body, c.body) << c.query;
        else
            EXPECT_NE(parse(res->body)["error"].asString().find(c.body), std::string::npos) << res->body;
    }
    EXPECT_TRUE(s.logged("refused GET /api/history from 127.0.0.1: 400"));

    auto status = parse(s.http->Get("/api/status")->body);
    EXPECT_EQ(status["mode"], "live");
    EXPECT_EQ(status["first_ms"], 100);
    EXPECT_EQ(status["last_ms"], 300);
}

TEST(GncwebHttp, CommandsAreCheckedBeforeAnythingIsSent)
{
    Server s;
    auto list = parse(s.http->Get("/api/commands")->body);
    std::set<std::string> devices;
    for (const auto& d : list) devices.insert(d["device"].asString());
    EXPECT_EQ(devices.count("wheel1"), 1u);
    EXPECT_EQ(devices.count("gyro"), 0u);  // takes no commands

    struct Refused {
        const char* body;
        const char* names;
    } refused[] = {
        {R"({"device":"wheel1","command":"speed","args":["fast"]})", "'fast' is not a number"},
        {R"({"device":"wheel1","command":"speed","args":[3e6]})", "out of range"},
        {R"({"device":"optical","command":"direct","args":[25]})", "0..24"},
        {R"({"device":"gyro","command":"reset"})", "no commands"},
        {R"({"device":"wheel9","command":"speed","args":[1]})", "wheel9"},
        {R"({"device":"wheel1","command":"speed","args":[[1]]})", "string or a number"},
        {R"({"device":"wheel1"})", "device and command"},
        {"not json", "JSON object"},
    };
    for (const Refused& r : refused) {
        auto res = s.post(r.body);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << r.body;
        EXPECT_NE(res->body.find(r.names), std::string::npos) << r.body << " -> " << res->body;
    }
    EXPECT_TRUE(s.sent.empty());

    auto res = s.post(R"({"device":"wheel1","command":"speed","args":[1500]})");
    ASSERT_EQ(res->status, 200) << res->body;
    Json::Value ok = parse(res->body);
    ASSERT_EQ(s.sent.size(), 1u);
    EXPECT_EQ(ok["sent"], true);
    EXPECT_EQ(ok["service"], s.sent[0].service);
    std::string hex;
    char b[3];
    for (uint8_t c : s.sent[0].payload) hex += (std::snprintf(b, sizeof b, "%02x", c), b);
    EXPECT_EQ(ok["payload"], hex);
    EXPECT_EQ(s.sent[0].payload, commands::build_command("wheel1", "speed", {"1500"}).built.payload);
}

TEST(GncwebHttp, TokenAndBusAvailabilityDecideWhetherACommandGoesOut)
{
    const std::string body = R"({"device":"wheel1","command":"speed","args":["10"]})";
    struct Case {
        std::string token;
        bool review;
        CommandStatus bus;
        std::string auth;
        int status;
        std::size_t sent;  // commands handed to the bus
    } cases[] = {
        {"", false, CommandStatus::Taken, "", 200, 1},
        {"s3cret", false, CommandStatus::Taken, "Bearer s3cret", 200, 1},
        {"s3cret", false, CommandStatus::Taken, "", 401, 0},
        {"s3cret", false, CommandStatus::Taken, "Bearer s3cre", 401, 0},
        {"s3cret", false, CommandStatus::Taken, "Bearer s3cretX", 401, 0},
        {"s3cret", false, CommandStatus::Taken, "s3cret", 401, 0},
        {"", false, CommandStatus::NotOnBus, "", 503, 1},
        {"", false, CommandStatus::NotTaken, "", 504, 1},
        {"", true, CommandStatus::Taken, "", 503, 0},
    };
    for (const Case& c : cases) {
        Api::Config config;
        config.token = c.token;
        config.review = c.review;
        Server s(config, c.bus);
        auto res = s.post(body, c.auth);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status) << c.token << " / " << c.auth << ": " << res->body;
        EXPECT_EQ(s.sent.size(), c.sent) << c.token << " / " << c.auth;
        if (c.status != 200) {
            EXPECT_TRUE(s.logged("refused POST /api/command from 127.0.0.1: " + std::to_string(c.status)));
        }
    }

    // Serving beyond this host needs a token.
    struct Listen {
        std::vector<std::string> args;
        bool ok;
    } listens[] = {
        {{}, true},
        {{"--listen", "localhost:9000"}, true},
        {{"--listen", "0.0.0.0:9000"}, false},
        {{"--listen", "192.0.2.1:9000"}, false},
        {{"--listen", "0.0.0.0:9000", "--token", "t"}, true},
        {{"--listen", "127.0.0.1"}, false},
        {{"--retention-hours", "-1"}, false},
    };
    unsetenv("GNCWEB_TOKEN");
    for (const Listen& l : listens) {
        std::string error;
        bool help = false;
        EXPECT_EQ(parse_options(l.args, error, help).has_value(), l.ok) << (l.args.empty() ? "" : l.args.back()) << error;
    }
    EXPECT_EQ(run({"--listen", "0.0.0.0:9000", "--db", temp_db("refused")}), 2);
}

TEST(GncwebHttp, TheStreamCarriesEachValueAsAnEventAndHonoursItsKeyFilter)
{
    Server s;
    std::string received;
    std::mutex m;
    std::thread reader([&] {
        s.http->Get("/api/stream?keys=gyro.x,mems.y", [&](const char* data, size_t n) {
            std::lock_guard<std::mutex> lock(m);
            received.append(data, n);
            return received.find("\"t\":2,") == std::string::npos;
        });
    });
    ASSERT_TRUE(wait_until([&] { return s.stream.clients() == 1; }, 5s));
    s.stream.publish({{"gyro.x", 1, 0.5}, {"gyro.y", 1, 7}, {"mems.y", 2, -1}});
    reader.join();
    EXPECT_EQ(received, "retry: 2000\n\ndata: {\"key\":\"gyro.x\",\"t\":1,\"value\":0.5}\n\n"
                        "data: {\"key\":\"mems.y\",\"t\":2,\"value\":-1}\n\n");
    EXPECT_EQ(s.http->Get("/api/stream?keys=gyro.spin")->status, 400);
}
