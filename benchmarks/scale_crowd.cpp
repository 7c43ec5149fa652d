// A crowd of extra bus endpoints, for the scale rows: the bench's figures
// again with more programs on the same bus. The endpoints live in this one
// process, each used as a bench program uses its own: a Vantrel endpoint with
// a 3000 ms settle window, a writer on "Telemetry" and a subscription on
// "Telemetry" filtered "dest = '<own name>'".
//
// Endpoint i asks endpoint i+1 (the last asks the first) once a period: 2
// bytes of type "command". The one asked answers from its delivery callback,
// 41 bytes of type "telemetry" (the size of a star sensor's record) to the
// asker. The requests are spread evenly over the period, so the bus carries
// one request and one answer every period / count.
//
//   scale_crowd [--count 24] [--prefix Scale_] [--period-ms 1000]
//
// Standard output: "READY endpoints=N ms=T" once every endpoint is matched
// to both its neighbours (T from start), and the requests begin then; on
// SIGTERM, "CROWD endpoints=N requests=R answers=A failed=F seconds=S",
// counted from READY: requests handed to the bus, answers that came back,
// publishes that failed. Exits 1 when the endpoints were not matched within
// 60 s. The endpoints' own messages go to standard error.
#include "bench_support.h"
#include "bus_endpoint.h"

#include <cstdio>
#include <memory>

using namespace benchkit;

namespace {

const std::string TOPIC = "Telemetry";

struct Counts {
    std::atomic<long> requests{0}, answers{0}, failed{0};
};

std::string endpoint_name(const std::string& prefix, int i)
{
    char b[16];
    std::snprintf(b, sizeof b, "%02d", i);
    return prefix + b;
}

}  // namespace

int main(int argc, char** argv)
{
    install_stop_handlers();
    int count = 24, period_ms = 1000;
    std::string prefix = "Scale_";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--count") count = std::stoi(v);
        else if (k == "--prefix") prefix = v;
        else if (k == "--period-ms") period_ms = std::stoi(v);
        else {
            std::fprintf(stderr, "usage: scale_crowd [--count N] [--prefix P] [--period-ms N]\n");
            return 2;
        }
    }
    if (count < 2 || period_ms < 1) {
        std::fprintf(stderr, "scale_crowd: needs at least 2 endpoints and a period of 1 ms or more\n");
        return 2;
    }

    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.push_back(endpoint_name(prefix, i));
    // Declared before the endpoints, so they outlive them: an endpoint waits
    // for its running callbacks when it goes.
    Counts counts;
    std::vector<std::unique_ptr<Vantrel>> endpoints(count);
    const auto started = Clock::now();
    for (int i = 0; i < count && !stopping(); ++i) {
        endpoints[i].reset(new Vantrel(0, 3000, names[i], quiet_log));
        Vantrel* self = endpoints[i].get();
        const std::string own = names[i];
        self->create_pub(TOPIC);
        self->create_sub(
            TOPIC,
            [self, own, &counts](std::string src, std::string, std::string type, std::string, std::string,
                                 std::vector<unsigned char>&) {
                if (type == "command") {
                    uint8_t answer[41] = {0};
                    if (!self->publish(TOPIC, own, src, "telemetry", answer, sizeof answer, "", "")) ++counts.failed;
                } else if (type == "telemetry") {
                    ++counts.answers;
                }
            },
            "dest = '" + own + "'", {});
    }

    auto neighbours_matched = [&] {
        for (int i = 0; i < count; ++i) {
            const std::string& next = names[(i + 1) % count];
            const std::string& previous = names[(i + count - 1) % count];
            if (vantrel_matched_readers(*endpoints[i], TOPIC, next) == 0) return false;
            if (vantrel_matched_readers(*endpoints[i], TOPIC, previous) == 0) return false;
        }
        return true;
    };
    if (stopping() || !wait_until(neighbours_matched, 60s)) {
        if (!stopping()) note("scale_crowd: the endpoints were not matched to their neighbours within 60 s");
        return stopping() ? 0 : 1;
    }
    const auto ready = Clock::now();
    std::printf("READY endpoints=%d ms=%.0f\n", count, ms_between(started, ready));
    std::fflush(stdout);

    // Request k goes from endpoint k mod count, at ready + k * period / count.
    const auto step = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(period_ms)) / count;
    for (long k = 0; !stopping(); ++k) {
        const auto due = ready + step * k;
        while (!stopping() && Clock::now() < due) {
            std::this_thread::sleep_until(std::min(due, Clock::now() + 100ms));
        }
        if (stopping()) break;
        const int i = int(k % count);
        uint8_t request[2] = {0x00, 0x01};
        if (endpoints[i]->publish(TOPIC, names[i], names[(i + 1) % count], "command", request, sizeof request, "",
                                  "")) {
            ++counts.requests;
        } else {
            ++counts.failed;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - ready).count();
    // The answers to the last requests may still be on their way.
    std::this_thread::sleep_for(200ms);
    std::printf("CROWD endpoints=%d requests=%ld answers=%ld failed=%ld seconds=%.1f\n", count,
                counts.requests.load(), counts.answers.load(), counts.failed.load(), seconds);
    std::fflush(stdout);
    // Endpoints go in reverse order of creation; each waits for its callbacks.
    while (!endpoints.empty()) endpoints.pop_back();
    return 0;
}
