// A bus participant for the secured-bus tests: joins domain 0 through the
// bench's endpoint (so with whatever profile FASTDDS_DEFAULT_PROFILES_FILE
// names), hears everything on Telemetry and Raw_Telemetry, and sends gyro
// style telemetry requests (type "command", payload 0xFF) to a service.
//
//   bus_probe --name NAME [--as SRC] [--target SERVICE] [--count N | --check [--topic TOPIC]]
//
// NAME is the participant's name, SRC the source written into the requests
// (default Gnc_Service, the console's: a service answers to it whoever asked).
// --check      only set up, print "[PROBE] ready" and exit 0; with --topic,
//              also make a writer on TOPIC and exit 4 when that fails.
// --count N    wait (bounded) until SERVICE's request reader is matched, then
//              send N requests one after another, each after the previous
//              one was answered (an answer: Telemetry from SERVICE addressed
//              to SRC); the first may be sent up to three times. Exit 0 when
//              all N were answered, 1 when one was not.
// otherwise    send a request every 200 ms until SIGTERM or SIGINT, exit 0.
//
// Output, one line each: "[PROBE] ready", "[PROBE] matched before sending N"
// (--count only), "[PROBE] sent I" (I counts every request written),
// "[PROBE] answered I", "[PROBE] heard TOPIC SRC -> DEST TYPE SIZE" for every
// message received but its own requests (they carry NAME in the first spare
// string), "[PROBE] log TEXT" for the endpoint's own messages, and at
// the end "[PROBE] matched N" (readers of SERVICE matched to the request
// writer) and "[PROBE] done sent=S answered=A heard=H". Exit 3 when the
// endpoint has no participant (the profile's credentials were refused).
#include "bus_endpoint.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::atomic<bool> g_running{true};

void on_signal(int) { g_running.store(false); }

std::mutex g_out_mutex;

void say(const std::string& line)
{
    std::lock_guard<std::mutex> lock(g_out_mutex);
    std::fputs(("[PROBE] " + line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

int usage()
{
    std::fputs("usage: bus_probe --name NAME [--as SRC] [--target SERVICE] [--count N | --check [--topic TOPIC]]\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string name, src_name = "Gnc_Service", target = "Gyro_Hardware_Service", extra_topic;
    long count = -1;
    bool check_only = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--name" && i + 1 < argc) {
            name = argv[++i];
        } else if (a == "--as" && i + 1 < argc) {
            src_name = argv[++i];
        } else if (a == "--target" && i + 1 < argc) {
            target = argv[++i];
        } else if (a == "--count" && i + 1 < argc) {
            count = std::strtol(argv[++i], nullptr, 10);
            if (count < 1) return usage();
        } else if (a == "--topic" && i + 1 < argc) {
            extra_topic = argv[++i];
        } else if (a == "--check") {
            check_only = true;
        } else {
            return usage();
        }
    }
    if (name.empty() || (!extra_topic.empty() && !check_only)) return usage();

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    std::mutex m;
    std::condition_variable cv;
    long answered = 0, heard = 0;

    Vantrel endpoint(0, 3000, name, [](const std::string& text) { say("log " + text); });
    if (!endpoint.create_pub("Telemetry")) {
        say("no bus participant");
        return 3;
    }
    auto listener = [&](const std::string& topic) {
        return [&, topic](std::string src, std::string dest, std::string type, std::string extra1, std::string,
                          std::vector<unsigned char>& data) {
            if (extra1 == name) return;
            say("heard " + topic + " " + src + " -> " + dest + " " + type + " " + std::to_string(data.size()));
            std::lock_guard<std::mutex> lock(m);
            ++heard;
            if (topic == "Telemetry" && src == target && dest == src_name) ++answered;
            cv.notify_all();
        };
    };
    // Everything on the topics, whoever it is for.
    for (const char* topic : {"Telemetry", "Raw_Telemetry"}) {
        if (!endpoint.create_sub(topic, listener(topic), "dest LIKE '%'", {})) {
            say("cannot subscribe to " + std::string(topic));
            return 3;
        }
    }
    say("ready");
    if (check_only) {
        if (!extra_topic.empty() && !endpoint.create_pub(extra_topic)) {
            say("cannot publish on " + extra_topic);
            return 4;
        }
        return 0;
    }

    unsigned char request[1] = {0xFF};
    long sent = 0;
    bool all_answered = true;
    if (count > 0) {
        // Counted requests go out once the service's request reader is
        // matched: secured discovery can outlast the endpoint's settle window.
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (g_running.load() && vantrel_matched_readers(endpoint, "Telemetry", target) == 0 &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        say("matched before sending " + std::to_string(vantrel_matched_readers(endpoint, "Telemetry", target)));
    }
    long request_no = 0;
    while (g_running.load() && (count < 0 || request_no < count)) {
        ++request_no;
        // The first counted request may be sent again: its reply can still be
        // lost while the service's reply writer finishes matching this
        // endpoint's reader. Every request sent reaches the service.
        const int attempts = (count > 0 && request_no == 1) ? 3 : 1;
        bool got = false;
        for (int attempt = 0; attempt < attempts && !got && g_running.load(); ++attempt) {
            if (!endpoint.publish("Telemetry", src_name, target, "command", request, sizeof request, name, "")) {
                say("publish failed");
            }
            ++sent;
            say("sent " + std::to_string(sent));
            if (count < 0) break;
            std::unique_lock<std::mutex> lock(m);
            got = cv.wait_for(lock, std::chrono::seconds(10),
                              [&] { return answered >= request_no || !g_running.load(); }) &&
                  answered >= request_no;
        }
        if (count > 0) {
            if (!got) {
                all_answered = false;
                break;
            }
            say("answered " + std::to_string(request_no));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    say("matched " + std::to_string(vantrel_matched_readers(endpoint, "Telemetry", target)));
    {
        std::lock_guard<std::mutex> lock(m);
        say("done sent=" + std::to_string(sent) + " answered=" + std::to_string(answered) +
            " heard=" + std::to_string(heard));
        if (count > 0 && answered < count) all_answered = false;
    }
    return all_answered ? 0 : 1;
}
