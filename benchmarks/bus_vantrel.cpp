// The bus exchange through Vantrel, as the bench's programs use it: one
// endpoint per process with a 3000 ms settle window, a writer on "Telemetry"
// and a subscription on "Telemetry" filtered "dest = '<own name>'".
//
//   bus_vantrel --role requester [--count N] [--warmup N] [--warmup-ms N] [--messages N]
//       endpoint "R"; starts its replier (this program, --role replier) and prints RESULT lines
//   bus_vantrel --role replier [--name X] [--peer R]
//       endpoint X answering requests addressed to it with replies to `peer`
#include "bus_endpoint.h"
#include "bus_roles.h"

#include <cstdio>
#include <memory>

namespace {

const std::string TOPIC = "Telemetry";

class VantrelSide : public busbench::Side {
public:
    VantrelSide(std::string name, std::string peer) : name_(std::move(name)), peer_(std::move(peer)) {}
    void use(Vantrel* endpoint) { endpoint_ = endpoint; }
    bool send(const std::string& type, const uint8_t* data, std::size_t size) override
    {
        return endpoint_->publish(TOPIC, name_, peer_, type, const_cast<uint8_t*>(data), size, "", "");
    }
    bool peer_matched() override { return vantrel_matched_readers(*endpoint_, TOPIC, peer_) > 0; }

private:
    Vantrel* endpoint_ = nullptr;
    std::string name_, peer_;
};

}  // namespace

int main(int argc, char** argv)
{
    benchkit::install_stop_handlers();
    busbench::Args a;
    if (!busbench::parse_args(argc, argv, a) || (a.role != "requester" && a.role != "replier")) {
        std::fprintf(stderr, "usage: bus_vantrel --role requester|replier [--name N] [--peer N] ...\n");
        return 2;
    }
    const bool requester = a.role == "requester";
    const std::string own = !a.name.empty() ? a.name : (requester ? "R" : "X");
    const std::string peer = !a.peer.empty() ? a.peer : (requester ? "X" : "R");

    std::unique_ptr<benchkit::Child> replier;
    if (requester) {
        replier.reset(new benchkit::Child({busbench::self_path(), {"--role", "replier"}, "", "/dev/null", ""},
                                          "Vantrel replier"));
    }

    // Declared before the endpoint, so they outlive it: the endpoint waits
    // for running callbacks when it goes.
    busbench::Requester rq;
    busbench::Replier rp;
    VantrelSide side(own, peer);
    const auto created = benchkit::Clock::now();
    int status = 0;
    {
        Vantrel endpoint(0, 3000, own, benchkit::quiet_log);
        side.use(&endpoint);
        rq.attach(&side);
        rp.attach(&side);
        endpoint.create_pub(TOPIC);
        endpoint.create_sub(
            TOPIC,
            [&](std::string, std::string, std::string type, std::string, std::string, std::vector<unsigned char>& p) {
                if (requester) {
                    rq.on_message(type, p.data(), p.size());
                } else {
                    rp.on_message(type, p.data(), p.size());
                }
            },
            "dest = '" + own + "'", {});
        if (requester) {
            status = rq.run(created, a.options);
        } else {
            while (benchkit::nap(std::chrono::milliseconds(200))) {
            }
        }
    }
    return status;
}
