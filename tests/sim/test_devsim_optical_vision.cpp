// devsim as a child process playing the laser-ranging unit and the vision
// unit: answers through the published symlinks matching the log, commands
// and noise, and line faults on these answers. Each test has its own run
// directory; the child is stopped by pid whatever happens (ChildProcess).
#include "optical_vision_check.h"
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
namespace oc = optical_check;
namespace vc = vision_check;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

// Guards against hangs only; none of these is a measurement.
constexpr auto GUARD = 15s;

// The service's end of a simulated line.
class Client {
public:
    explicit Client(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
        termios t{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Client()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool send(const Bytes& b) const { return ::write(fd_, b.data(), b.size()) == ssize_t(b.size()); }

    // Exactly `n` bytes unless the guard runs out first.
    Bytes read_exact(std::size_t n) const
    {
        Bytes got;
        const auto until = std::chrono::steady_clock::now() + GUARD;
        while (got.size() < n && std::chrono::steady_clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) < 0) break;
            if (!(p.revents & POLLIN)) continue;
            uint8_t buf[512];
            const ssize_t k = ::read(fd_, buf, std::min(sizeof buf, n - got.size()));
            if (k <= 0) break;
            got.insert(got.end(), buf, buf + k);
        }
        return got;
    }

    Bytes ask(const Bytes& query, std::size_t answer_size) const
    {
        return send(query) ? read_exact(answer_size) : Bytes{};
    }

private:
    int fd_;
};

class DevsimOpticalVision : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/devsim-ov-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        tmp_ = tmpl;
        run_dir_ = tmp_ + "/run";
    }
    void TearDown() override
    {
        sim_.reset();  // stopped before its directory goes
        std::error_code ec;
        fs::remove_all(tmp_, ec);
    }

    void start(const std::vector<std::string>& extra)
    {
        std::vector<std::string> args = {"--run-dir", run_dir_, "--line", "opt=optical", "--line", "vis=vision"};
        args.insert(args.end(), extra.begin(), extra.end());
        sim_ = std::make_unique<ChildProcess>(DEVSIM_PATH, args);
        const auto until = std::chrono::steady_clock::now() + GUARD;
        while (!fs::exists(path("devsim.ready"))) {
            ASSERT_EQ(sim_->wait_exit(0ms), -1) << "devsim exited early:\n" << sim_->err();
            ASSERT_LT(std::chrono::steady_clock::now(), until) << "no ready file; output:\n" << sim_->out();
            std::this_thread::sleep_for(10ms);
        }
    }

    std::string path(const std::string& name) const { return run_dir_ + "/" + name; }

    void control(const std::string& text)
    {
        const int fd = ::open(path("devsim.control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const std::string line = text + "\n";
        EXPECT_EQ(::write(fd, line.data(), line.size()), ssize_t(line.size()));
        ::close(fd);
    }

    // Output arrives through a pipe and a reader thread: wait for a line
    // before counting lines written before it.
    bool wait_log(const std::string& text, int count = 1)
    {
        return sim_->wait_for_output(text, std::chrono::duration_cast<std::chrono::milliseconds>(GUARD), count);
    }
    int log_count(const std::string& text) { return ChildProcess::occurrences(sim_->out(), text); }

    std::string tmp_, run_dir_;
    std::unique_ptr<ChildProcess> sim_;
};

}  // namespace

TEST_F(DevsimOpticalVision, AnswersCommandsAndNoiseThroughTheSymlinks)
{
    ASSERT_NO_FATAL_FAILURE(start({}));
    for (const auto& [name, kind] : {std::pair<std::string, std::string>{"opt", "optical"}, {"vis", "vision"}}) {
        const std::string target = fs::read_symlink(path(name)).string();
        EXPECT_EQ(target.rfind("/dev/pts/", 0), 0u) << target;
        EXPECT_TRUE(wait_log("[SIM] line " + name + " " + kind + " at " + target + "\n")) << sim_->out();
    }
    Client opt(path("opt")), vis(path("vis"));
    ASSERT_TRUE(opt.ok() && vis.ok());

    // Commands are logged, not answered; the next answer counts them. The
    // answer line tells what the bytes carry.
    Bytes commands = oc::direct(0x01, 0x00);
    for (const Bytes& c : {oc::param(2, 0x12345678), oc::time(1000, 250)})
        commands.insert(commands.end(), c.begin(), c.end());
    ASSERT_TRUE(opt.send(commands));
    const Bytes o = opt.ask(oc::TELEMETRY_REQUEST, 228);
    ASSERT_TRUE(oc::answer_ok(o));
    EXPECT_EQ(oc::decode(o).cmds, 3u);
    EXPECT_EQ(oc::decode(o).tlm, 1u);
    ASSERT_TRUE(wait_log("[SIM] opt answer " + oc::answer_text(oc::decode(o)) + "\n")) << sim_->out();
    EXPECT_EQ(log_count("[SIM] opt command direct 01 00\n[SIM] opt command param 2 value=0x12345678\n"
                        "[SIM] opt command time sec=1000 ms=250\n"),
              1);

    const Bytes v = vis.ask(vc::HEALTH_QUERY, 170);
    ASSERT_TRUE(vc::answer_ok(v));
    ASSERT_TRUE(wait_log("[SIM] vis answer " + vc::answer_text(vc::decode(v)) + "\n")) << sim_->out();

    // Noise and a request in pieces: one answer, once the request is whole.
    ASSERT_TRUE(opt.send({0x00, 0x13, 0xCD, 0x90, 0x06}));
    ASSERT_TRUE(wait_log("[SIM] opt skipped 2 byte(s) before a command\n")) << sim_->out();
    EXPECT_EQ(oc::decode(opt.ask({0x00, 0xFF}, 228)).tlm, 2u);
    // A query with a bad checksum is dropped; the good one behind it is answered.
    ASSERT_TRUE(vis.send({0xEB, 0x90, 0x0F, 0x00, 0x01, 0xA5, 0xB4, 0xEB, 0x90, 0x0F}));
    ASSERT_TRUE(wait_log("[SIM] vis bad frame dropped (checksum B4, expected B5): EB 90 0F 00 01 A5 B4\n"))
        << sim_->out();
    EXPECT_TRUE(vc::answer_ok(vis.ask({0x00, 0x01, 0xA5, 0xB5}, 170)));
    ASSERT_TRUE(wait_log("[SIM] vis answer ", 2));
    EXPECT_EQ(log_count("[SIM] opt answer "), 2);
}

TEST_F(DevsimOpticalVision, LineFaultsHitTheseAnswersToo)
{
    ASSERT_NO_FATAL_FAILURE(start({"--fault", "vis:short"}));
    Client opt(path("opt")), vis(path("vis"));
    ASSERT_TRUE(opt.ok() && vis.ok());

    // checksum once: exactly the next optical answer.
    ASSERT_NO_FATAL_FAILURE(control("fault opt checksum once"));
    ASSERT_TRUE(wait_log("[SIM] control: fault opt checksum once\n"));
    const Bytes bad = opt.ask(oc::TELEMETRY_REQUEST, 228);
    ASSERT_EQ(bad.size(), 228u);
    EXPECT_EQ(bad[0], 0xEB);
    EXPECT_EQ(bad[227], uint8_t(~oc::sum(bad, 2, 226)));
    EXPECT_TRUE(oc::answer_ok(opt.ask(oc::TELEMETRY_REQUEST, 228)));
    ASSERT_TRUE(wait_log("[SIM] opt answer ", 2));
    EXPECT_EQ(log_count("[SIM] opt fault checksum\n"), 1);

    // short, from the command line: half an answer, then a whole one (a
    // whole first answer would put the second one's header at 170, not 85).
    ASSERT_TRUE(vis.send(vc::HEALTH_QUERY));
    ASSERT_TRUE(vis.send(vc::HEALTH_QUERY));
    const Bytes got = vis.read_exact(85 + 170);
    ASSERT_EQ(got.size(), 255u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 3), (Bytes{0xEB, 0x90, 0xF0}));
    EXPECT_TRUE(vc::answer_ok(Bytes(got.begin() + 85, got.end())));
    ASSERT_TRUE(wait_log("[SIM] vis answer ", 2));
    EXPECT_EQ(log_count("[SIM] vis fault short\n"), 1);
    EXPECT_EQ(log_count("[SIM] opt fault short"), 0);
}
