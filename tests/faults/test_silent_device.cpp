// A silent device does not make its service deaf. Real processes: devsim
// plays two nano star sensors and the optical unit on paced lines, star
// sensor 1 and the optical unit never answering; Brenvik and Tavrin run on
// the fault campaign's private bus, and this test polls both once a second
// for 40 s as the console does, both services at the same time.
//
// A silent device costs its service a whole query per request: ten attempts
// of about a second each. Brenvik serves both sensors' requests through one
// queue, so sensor 2 waits behind sensor 1's queries, but only those asked
// for before it. A repeat of a request still waiting is answered once, so
// the records are compared with what the service sent, not with what was
// asked, and every one of them must arrive. Tavrin takes a command while a
// query is under way: it reaches the line as soon as that query ends and
// shows in the counts of the records after it. On SIGTERM each service is
// out within the query in hand, the requests still waiting left unserved.
#include "faults/campaign.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/wait.h>

using namespace std::chrono_literals;
using namespace fault_campaign;
using Clock = std::chrono::steady_clock;

namespace {

const std::string STAR = "Star_sensor_Hardware_Service";
const std::string OPTICAL = "Optical_Hardware_Service";
// A bus apart from the fault campaign's, so that the two may run together.
const int SILENT_DEVICE_PORT_BASE = CAMPAIGN_PORT_BASE + 4000;
const std::string STAR2_SENT = "[OK] Telemetry data sent to Gnc_Service (type=NANO, num=2)\n";
const std::string OPTICAL_SENT = "[ERROR] Failed to read optical data: ";
const std::string COMMAND_ON_LINE = "[SIM] optical command direct 01 00\n";
const std::string OPTICAL_SILENCE = "[SIM] optical fault silence\n";

// Ten attempts of about a second: the star sensor's 1 s read window, the
// optical unit's twenty 50 ms waits.
constexpr auto SILENT_QUERY = 10s;
constexpr int ATTEMPTS = 10;
constexpr auto PERIOD = 1s;
constexpr int POLLS = 41;
constexpr auto SLACK = 2s;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The console's side of the bus, polling: requests go out as the console
// sends them, without waiting for replies, and every record for the
// console is kept with the time it arrived.
class PollingConsole {
public:
    struct Record {
        std::string src;
        Bytes data;
        Clock::time_point at;
    };

    PollingConsole() : endpoint_(0, 3000, "Silent_Device_Console", [](const std::string&) {})
    {
        endpoint_.create_pub("Telemetry");
        endpoint_.create_pub("Command");
        endpoint_.create_sub(
            "Telemetry",
            [this](std::string src, std::string, std::string, std::string, std::string, Bytes& data) {
                std::lock_guard<std::mutex> lock(mutex_);
                records_.push_back(Record{src, data, Clock::now()});
            },
            "dest = 'Gnc_Service'", {});
    }

    bool matched(const std::string& topic, const std::string& service)
    {
        return vantrel_matched_readers(endpoint_, topic, service) > 0;
    }

    void send(const std::string& topic, const std::string& service, Bytes payload)
    {
        endpoint_.publish(topic, "Gnc_Service", service, "command", payload.data(), payload.size(), "", "");
    }

    // Records from `src` whose first bytes are `head`.
    std::vector<Record> from(const std::string& src, const Bytes& head = {})
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Record> found;
        for (const Record& r : records_)
            if (r.src == src && r.data.size() >= head.size() && std::equal(head.begin(), head.end(), r.data.begin()))
                found.push_back(r);
        return found;
    }

    void forget()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.clear();
    }

private:
    std::mutex mutex_;
    std::vector<Record> records_;
    Vantrel endpoint_;  // last: no callback runs into the members above while they go
};

std::string exit_text(int status)
{
    if (status == -1) return "still running";
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

std::string tail(const std::string& s) { return s.substr(s.size() > 3000 ? s.size() - 3000 : 0); }

struct RemoveDir {
    std::string path;
    ~RemoveDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

}  // namespace

TEST(SilentDevice, DoesNotMakeItsServiceDeaf)
{
    const std::string dir = run_dir("silent");
    const RemoveDir remove_dir{dir};
    use_private_bus(testing::TempDir(), SILENT_DEVICE_PORT_BASE);
    std::vector<std::string> args = devsim_args({"nano1=nano", "nano2=nano", "optical=optical"});
    args.insert(args.end(), {"--fault", "nano1:silence:rate=1", "--fault", "optical:silence:rate=1"});
    DevsimRun sim(DEVSIM_PATH, dir, args);
    ASSERT_TRUE(sim.wait_ready(20s)) << sim.err();
    write_file(dir + "/Brenvik.json", "{\"star_sensors\": [{\"type\": \"nano\", \"star_num\": 1, \"device\": \"" + dir +
                                          "/nano1\"}, {\"type\": \"nano\", \"star_num\": 2, \"device\": \"" + dir +
                                          "/nano2\"}]}");
    write_file(dir + "/Tavrin.json", "{\"optical\": {\"device\": \"" + dir + "/optical\", \"baudrate\": 115200}}");
    PollingConsole console;
    ChildProcess brenvik(BRENVIK_PATH, {}, dir);
    ChildProcess tavrin(TAVRIN_PATH, {dir + "/Tavrin.json"});

    ASSERT_TRUE(wait_until([&] { return console.matched("Telemetry", STAR) && console.matched("Telemetry", OPTICAL) &&
                                        console.matched("Command", OPTICAL); },
                           30s))
        << brenvik.err() << tavrin.err();
    // Sensor 2 answers at once: ask until the first record is back, so none
    // of those counted below is lost to discovery.
    ASSERT_TRUE(wait_until([&] {
        console.send("Telemetry", STAR, {0x00, 0x02});
        return wait_until([&] { return !console.from(STAR).empty(); }, 3s);
    }, 30s)) << brenvik.out() << brenvik.err();
    std::this_thread::sleep_for(500ms);
    console.forget();
    const int star2_answers_before = sim.count("nano2", "answer");
    const int star2_sent_before = ChildProcess::occurrences(brenvik.out(), STAR2_SENT);

    // Polls both services every second, and sends one optical command early
    // in the second query (its attempts 1 to 3 silenced so far).
    const auto start = Clock::now();
    int silences_at_command = -1;
    for (int i = 0; i < POLLS; ++i) {
        std::this_thread::sleep_until(start + i * PERIOD);
        console.send("Telemetry", STAR, {0x00, 0x01});
        console.send("Telemetry", STAR, {0x00, 0x02});
        console.send("Telemetry", OPTICAL, {0xFF});
        const int silences = ChildProcess::occurrences(sim.out(), OPTICAL_SILENCE);
        if (silences_at_command < 0 && silences > ATTEMPTS && silences % ATTEMPTS >= 1 &&
            silences % ATTEMPTS <= 3) {
            console.send("Command", OPTICAL, {0x00, 0x01});  // direct command row 1: CD 90 01 00 FF
            silences_at_command = silences;
        }
    }
    const auto end = Clock::now();

    // Both sensors' requests wait in one queue, each at most once. A request
    // for sensor 2 can find sensor 1's query running and a newer request for
    // sensor 1 ahead of it, so it waits at most two of sensor 1's queries
    // (and a poll period) for its record, from the first poll to the last.
    {
        std::vector<Clock::time_point> at = {start};
        for (const auto& r : console.from(STAR, {0x00, 0x02}))
            if (r.at < end) at.push_back(r.at);
        at.push_back(end);
        for (std::size_t k = 1; k < at.size(); ++k)
            EXPECT_LE(seconds(at[k] - at[k - 1]), seconds(2 * SILENT_QUERY + PERIOD + SLACK))
                << "sensor 2 went unanswered from " << seconds(at[k - 1] - start) << " s to "
                << seconds(at[k] - start) << " s of polling";
    }

    // The command waited for the query under way and no longer: on the line
    // after that query's tenth silent attempt, before the next query's first.
    const std::string sim_out = sim.out();
    const std::size_t command_at = sim_out.find(COMMAND_ON_LINE);
    if (silences_at_command < 0) {
        ADD_FAILURE() << "no query of the optical unit was seen under way";
    } else if (command_at == std::string::npos) {
        ADD_FAILURE() << "the command, sent after " << silences_at_command << " silent attempts, never reached the "
                      << "line; attempts since: " << ChildProcess::occurrences(sim_out, OPTICAL_SILENCE);
    } else {
        EXPECT_EQ(ChildProcess::occurrences(sim_out.substr(0, command_at), OPTICAL_SILENCE),
                  (silences_at_command / ATTEMPTS + 1) * ATTEMPTS)
            << "attempts before the command, sent after " << silences_at_command;
        EXPECT_EQ(ChildProcess::occurrences(sim_out, COMMAND_ON_LINE), 1);
    }

    // SIGTERM while silent queries are under way and more requests wait:
    // each service is out, cleanly, within the query in hand and a little
    // more, the waiting requests left unserved.
    struct Stop {
        const char* name;
        ChildProcess& service;
        std::vector<std::string> cleanup;
        int status = -1;
        Clock::duration took{};
    };
    Stop stops[] = {{"Brenvik", brenvik, {"[INFO] Brenvik cleaning up...\n"}},
                    {"Tavrin", tavrin, {"[INFO] Tavrin cleaning up...\n", "[INFO] Tavrin cleanup completed\n"}}};
    const auto term = Clock::now();
    for (Stop& s : stops) s.service.signal(SIGTERM);
    wait_until([&] {
        bool all = true;
        for (Stop& s : stops) {
            if (s.status == -1 && (s.status = s.service.wait_exit(0ms)) != -1) s.took = Clock::now() - term;
            all = all && s.status != -1;
        }
        return all;
    }, 3 * SILENT_QUERY);
    for (const Stop& s : stops) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(s.status, 0) << exit_text(s.status) << "\n" << tail(s.service.err());
        if (s.status != -1) {
            EXPECT_LE(seconds(s.took), seconds(SILENT_QUERY + SLACK)) << "seconds from SIGTERM to the exit";
        }
        for (const std::string& line : s.cleanup) EXPECT_NE(s.service.out().find(line), std::string::npos) << line;
    }

    // Every record a service sent reached the console. Sensor 2's records
    // carry the answers devsim sent, in order.
    const int star2_sent = ChildProcess::occurrences(brenvik.out(), STAR2_SENT) - star2_sent_before;
    const int optical_sent = ChildProcess::occurrences(tavrin.err(), OPTICAL_SENT);
    wait_until([&] { return int(console.from(STAR, {0x00, 0x02}).size()) >= star2_sent &&
                            int(console.from(OPTICAL).size()) >= optical_sent; },
               SLACK);
    std::vector<std::string> star2_records;
    for (const auto& r : console.from(STAR, {0x00, 0x02})) {
        EXPECT_EQ(r.data.size(), fr::STAR_RECORD_LEN);
        if (r.data.size() == fr::STAR_RECORD_LEN) star2_records.push_back(fr::star_text(r.data));
    }
    std::vector<std::string> answers = sim.lines("nano2", "answer");
    answers.erase(answers.begin(), answers.begin() + std::min(answers.size(), std::size_t(star2_answers_before)));
    EXPECT_EQ(int(star2_records.size()), star2_sent) << "sensor 2 records received and sent";
    EXPECT_EQ(star2_records, answers) << "sensor 2 records and devsim's answers";

    const auto optical = console.from(OPTICAL);
    EXPECT_EQ(int(optical.size()), optical_sent) << "optical records received and sent";
    for (const auto& r : optical) {
        ASSERT_EQ(r.data.size(), fr::OPTICAL_RECORD_LEN);
        EXPECT_TRUE(fr::optical_values_zero(r.data)) << "a silent unit's record";
    }
    // The command counted as received, accepted and written whole.
    ASSERT_FALSE(optical.empty());
    EXPECT_EQ(Bytes(optical.back().data.begin() + 20, optical.back().data.begin() + 23), (Bytes{1, 1, 1}));
}
