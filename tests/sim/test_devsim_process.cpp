// devsim as a child process: its run directory, answers through the
// published symlinks, faults through the control FIFO, pacing and shutdown.
// Each test has its own run directory; the child is stopped by pid whatever
// happens (ChildProcess).
#include "rate_answer_check.h"
#include "star_answer_check.h"
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
namespace sc = star_check;
namespace rc = rate_check;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

// Guards against hangs only; none of these is a measurement.
constexpr auto GUARD = 15s;

const Bytes NANO_QUERY = {0x74, 0xA1, 0x00, 0x00, 0x15};
const Bytes PICO_QUERY = {0x74, 0xA1, 0x00, 0x05, 0x1A};
const Bytes OTHER_COMMAND = {0x74, 0xA0, 0x00, 0x00, 0x14};
const Bytes RATE_REQUEST = {0x55, 0x68};

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/devsim-test-XXXXXX";
        if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

int remaining_ms(std::chrono::steady_clock::time_point until)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    return int(std::max<long long>(0, left.count()));
}

// The service's end of a simulated line.
class ServiceEnd {
public:
    explicit ServiceEnd(const std::string& path)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ >= 0) {
            termios t{};
            ::tcgetattr(fd_, &t);
            cfmakeraw(&t);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~ServiceEnd()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    ServiceEnd(const ServiceEnd&) = delete;
    ServiceEnd& operator=(const ServiceEnd&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool send(const Bytes& b) const { return ::write(fd_, b.data(), b.size()) == ssize_t(b.size()); }

    struct Received {
        Bytes bytes;
        int reads = 0;
    };

    // Reads exactly `n` bytes unless the guard runs out first.
    Received read_exact(std::size_t n) const
    {
        Received r;
        const auto until = std::chrono::steady_clock::now() + GUARD;
        while (r.bytes.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, remaining_ms(until)) <= 0 || !(p.revents & POLLIN)) break;
            uint8_t buf[512];
            const ssize_t k = ::read(fd_, buf, std::min(sizeof buf, n - r.bytes.size()));
            if (k <= 0) break;
            r.bytes.insert(r.bytes.end(), buf, buf + k);
            ++r.reads;
        }
        return r;
    }

    // Whatever is already waiting, without blocking.
    Bytes drain() const
    {
        Bytes out;
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
            uint8_t buf[512];
            const ssize_t k = ::read(fd_, buf, sizeof buf);
            if (k <= 0) break;
            out.insert(out.end(), buf, buf + k);
        }
        return out;
    }

    Received ask(const Bytes& query, std::size_t answer_size) const
    {
        if (!send(query)) return {};
        return read_exact(answer_size);
    }

private:
    int fd_ = -1;
};

std::string line_with(const std::string& text, const std::string& prefix, int nth = 1)
{
    std::size_t pos = 0;
    for (int i = 0; i < nth; ++i) {
        pos = text.find(prefix, i == 0 ? 0 : pos + 1);
        if (pos == std::string::npos) return "";
    }
    const auto end = text.find('\n', pos);
    return text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
}

class DevsimProcess : public ::testing::Test {
protected:
    // Starts devsim on this test's run directory and waits for its ready file.
    void start(const std::vector<std::string>& args)
    {
        std::vector<std::string> all = {"--run-dir", run_dir_};
        all.insert(all.end(), args.begin(), args.end());
        sim_ = std::make_unique<ChildProcess>(DEVSIM_PATH, all);
        const auto until = std::chrono::steady_clock::now() + GUARD;
        while (!fs::exists(path("devsim.ready"))) {
            ASSERT_EQ(sim_->wait_exit(0ms), -1) << "devsim exited early:\n" << sim_->err();
            ASSERT_LT(std::chrono::steady_clock::now(), until) << "no ready file; output:\n" << sim_->out();
            std::this_thread::sleep_for(10ms);
        }
    }

    std::string path(const std::string& name) const { return run_dir_ + "/" + name; }

    // One writer per command, closed again, as a shell's echo would do it.
    void control(const std::string& text)
    {
        const int fd = ::open(path("devsim.control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0) << "control FIFO: " << std::strerror(errno);
        const std::string line = text + "\n";
        EXPECT_EQ(::write(fd, line.data(), line.size()), ssize_t(line.size()));
        ::close(fd);
    }

    bool wait_log(const std::string& text, int count = 1)
    {
        return sim_->wait_for_output(text, std::chrono::duration_cast<std::chrono::milliseconds>(GUARD), count);
    }

    int log_count(const std::string& text) { return ChildProcess::occurrences(sim_->out(), text); }

    // Output arrives through a pipe and a reader thread: wait for a line
    // before counting it.
    int logged(const std::string& text)
    {
        wait_log(text);
        return log_count(text);
    }

    bool wait_err(const std::string& text)
    {
        const auto until = std::chrono::steady_clock::now() + GUARD;
        while (sim_->err().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    TempDir tmp_;
    std::string run_dir_ = tmp_.path() + "/run";
    std::unique_ptr<ChildProcess> sim_;  // destroyed (and stopped) before tmp_
};

std::string link_target(const std::string& p)
{
    std::error_code ec;
    return fs::read_symlink(p, ec).string();
}

}  // namespace

TEST_F(DevsimProcess, PublishesLinesFifoAndReadyFile)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "nano1=nano", "--line", "pico1=pico"}));
    EXPECT_TRUE(fs::is_fifo(path("devsim.control")));
    for (const auto& [name, kind] : {std::pair<std::string, std::string>{"nano1", "nano"}, {"pico1", "pico"}}) {
        ASSERT_TRUE(fs::is_symlink(path(name))) << name;
        const std::string target = link_target(path(name));
        EXPECT_EQ(target.rfind("/dev/pts/", 0), 0u) << target;
        EXPECT_TRUE(fs::is_character_file(target)) << target;
        EXPECT_TRUE(wait_log("[SIM] line " + name + " " + kind + " at " + target + "\n")) << sim_->out();
    }
    EXPECT_NE(link_target(path("nano1")), link_target(path("pico1")));
    // Nothing else is left lying around (no temporary links).
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(run_dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"devsim.control", "devsim.ready", "nano1", "pico1"}));
}

TEST_F(DevsimProcess, QueriesThroughTheSymlinksGetGoodAnswersMatchingTheLog)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "nano1=nano", "--line", "pico1=pico"}));
    ServiceEnd nano(path("nano1"));
    ServiceEnd pico(path("pico1"));
    ASSERT_TRUE(nano.ok() && pico.ok());

    for (int round = 1; round <= 2; ++round) {
        const auto n = nano.ask(NANO_QUERY, 64);
        ASSERT_TRUE(sc::nano_ok(n.bytes)) << "round " << round;
        EXPECT_NEAR(sc::norm_squared(sc::decode_nano(n.bytes)), 1.0, 1e-6);
        ASSERT_TRUE(wait_log("[SIM] nano1 answer ", round));
        EXPECT_EQ(line_with(sim_->out(), "[SIM] nano1 answer ", round),
                  "[SIM] nano1 answer " + sc::answer_text(sc::decode_nano(n.bytes)));

        const auto p = pico.ask(PICO_QUERY, 256);
        ASSERT_TRUE(sc::pico_ok(p.bytes)) << "round " << round;
        ASSERT_TRUE(wait_log("[SIM] pico1 answer ", round));
        EXPECT_EQ(line_with(sim_->out(), "[SIM] pico1 answer ", round),
                  "[SIM] pico1 answer " + sc::answer_text(sc::decode_pico(p.bytes)));
    }
    EXPECT_EQ(log_count("[SIM] nano1 command: 74 A1 00 00 15\n"), 2);
    EXPECT_EQ(log_count("[SIM] pico1 command: 74 A1 00 05 1A\n"), 2);
}

TEST_F(DevsimProcess, OtherCommandsAndTheOtherTypesQueryGetNoAnswer)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "nano1=nano"}));
    ServiceEnd nano(path("nano1"));
    ASSERT_TRUE(nano.ok());
    ASSERT_TRUE(nano.send(PICO_QUERY));
    ASSERT_TRUE(nano.send({0x74, 0xA1, 0x00, 0x00, 0x16}));  // bad checksum
    ASSERT_TRUE(nano.send(OTHER_COMMAND));
    // The log is written in order: once the last command is logged, any
    // answer to the earlier ones would have been logged (and written) too.
    ASSERT_TRUE(wait_log("[SIM] nano1 command: 74 A0 00 00 14\n"));
    EXPECT_EQ(log_count("[SIM] nano1 command: 74 A1 00 05 1A\n"), 1);
    EXPECT_EQ(log_count("[SIM] nano1 bad frame"), 1);
    EXPECT_EQ(log_count(" answer "), 0);
    EXPECT_TRUE(nano.drain().empty());

    // The line still answers its own query, and with exactly one answer.
    const auto n = nano.ask(NANO_QUERY, 64);
    EXPECT_TRUE(sc::nano_ok(n.bytes));
}

TEST_F(DevsimProcess, ChecksumOnceSpoilsExactlyTheNextAnswerOfThatLine)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "nano1=nano", "--line", "nano2=nano"}));
    ServiceEnd one(path("nano1"));
    ServiceEnd two(path("nano2"));
    ASSERT_TRUE(one.ok() && two.ok());

    // A bad control line is reported and does not stop the FIFO.
    ASSERT_NO_FATAL_FAILURE(control("bogus words"));
    ASSERT_NO_FATAL_FAILURE(control("fault nano1 checksum once"));
    EXPECT_TRUE(sc::nano_ok(two.ask(NANO_QUERY, 64).bytes));  // other line unaffected

    const auto bad = one.ask(NANO_QUERY, 64);
    ASSERT_EQ(bad.bytes.size(), 64u);
    EXPECT_EQ(bad.bytes[0], 0x8A);
    EXPECT_EQ(bad.bytes[1], 0xA1);
    EXPECT_NE(bad.bytes[63], sc::sum8(bad.bytes, 63));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(sc::nano_ok(one.ask(NANO_QUERY, 64).bytes)) << i;
    EXPECT_EQ(logged("[SIM] nano1 fault checksum\n"), 1);
    EXPECT_TRUE(wait_err("bogus")) << sim_->err();

    // The FIFO keeps working after its writers have come and gone.
    ASSERT_NO_FATAL_FAILURE(control("fault nano1 checksum"));
    const auto again = one.ask(NANO_QUERY, 64);
    ASSERT_EQ(again.bytes.size(), 64u);
    EXPECT_NE(again.bytes[63], sc::sum8(again.bytes, 63));
    EXPECT_TRUE(sc::nano_ok(one.ask(NANO_QUERY, 64).bytes));
}

TEST_F(DevsimProcess, HeaderFaultChangesTheFirstHeaderByte)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "pico1=pico"}));
    ServiceEnd pico(path("pico1"));
    ASSERT_TRUE(pico.ok());
    ASSERT_NO_FATAL_FAILURE(control("fault pico1 header once"));
    const auto bad = pico.ask(PICO_QUERY, 256);
    ASSERT_EQ(bad.bytes.size(), 256u);
    EXPECT_NE(bad.bytes[0], 0xEB);
    EXPECT_EQ(bad.bytes[1], 0x50);
    EXPECT_EQ(bad.bytes[2], 0x22);
    EXPECT_TRUE(sc::pico_ok(pico.ask(PICO_QUERY, 256).bytes));
    EXPECT_EQ(logged("[SIM] pico1 fault header\n"), 1);
}

TEST_F(DevsimProcess, ShortFaultSendsHalfAnAnswer)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "nano1=nano"}));
    ServiceEnd nano(path("nano1"));
    ASSERT_TRUE(nano.ok());
    ASSERT_NO_FATAL_FAILURE(control("fault nano1 short"));
    ASSERT_TRUE(nano.send(NANO_QUERY));
    ASSERT_TRUE(nano.send(NANO_QUERY));
    // Half an answer, then a whole one: a whole first answer would put the
    // second one's header at byte 64, not 32.
    const auto got = nano.read_exact(32 + 64);
    ASSERT_EQ(got.bytes.size(), 96u);
    EXPECT_EQ(got.bytes[0], 0x8A);
    EXPECT_EQ(got.bytes[1], 0xA1);
    EXPECT_TRUE(sc::nano_ok(Bytes(got.bytes.begin() + 32, got.bytes.end())));
    EXPECT_EQ(logged("[SIM] nano1 fault short\n"), 1);
}

TEST_F(DevsimProcess, SilenceFaultSendsNothing)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "nano1=nano"}));
    ServiceEnd nano(path("nano1"));
    ASSERT_TRUE(nano.ok());
    ASSERT_NO_FATAL_FAILURE(control("fault nano1 silence once"));
    ASSERT_TRUE(nano.send(NANO_QUERY));
    ASSERT_TRUE(nano.send(OTHER_COMMAND));
    ASSERT_TRUE(wait_log("[SIM] nano1 command: 74 A0 00 00 14\n"));
    const std::string out = sim_->out();
    EXPECT_EQ(log_count("[SIM] nano1 fault silence\n"), 1) << out;
    EXPECT_LT(out.find("[SIM] nano1 fault silence\n"), out.find("[SIM] nano1 command: 74 A0 00 00 14\n")) << out;
    EXPECT_EQ(log_count("[SIM] nano1 answer "), 0);
    EXPECT_TRUE(nano.drain().empty());

    EXPECT_TRUE(sc::nano_ok(nano.ask(NANO_QUERY, 64).bytes));
    ASSERT_TRUE(wait_log("[SIM] nano1 answer "));
    EXPECT_EQ(log_count("[SIM] nano1 answer "), 1);
}

TEST_F(DevsimProcess, SplitFaultDeliversTheSameBytesInSeveralReads)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "pico1=pico"}));
    ServiceEnd pico(path("pico1"));
    ASSERT_TRUE(pico.ok());
    ASSERT_NO_FATAL_FAILURE(control("fault pico1 split"));
    const auto got = pico.ask(PICO_QUERY, 256);
    ASSERT_TRUE(sc::pico_ok(got.bytes));
    EXPECT_GE(got.reads, 2);
    ASSERT_TRUE(wait_log("[SIM] pico1 answer "));
    EXPECT_EQ(line_with(sim_->out(), "[SIM] pico1 answer "),
              "[SIM] pico1 answer " + sc::answer_text(sc::decode_pico(got.bytes)));
    EXPECT_EQ(log_count("[SIM] pico1 fault split\n"), 1);
}

TEST_F(DevsimProcess, GarbageFaultPutsBytesBeforeAGoodAnswer)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "nano1=nano", "--seed", "99"}));
    ServiceEnd nano(path("nano1"));
    ASSERT_TRUE(nano.ok());
    ASSERT_NO_FATAL_FAILURE(control("fault nano1 garbage"));
    ASSERT_TRUE(nano.send(NANO_QUERY));
    Bytes got;
    const auto until = std::chrono::steady_clock::now() + GUARD;
    while (!(got.size() > 64 && sc::nano_ok(Bytes(got.end() - 64, got.end()))) &&
           std::chrono::steady_clock::now() < until) {
        const auto more = nano.read_exact(1);
        got.insert(got.end(), more.bytes.begin(), more.bytes.end());
        if (more.bytes.empty()) break;
    }
    ASSERT_GT(got.size(), 64u);
    EXPECT_LE(got.size(), 64u + 8u);
    EXPECT_TRUE(sc::nano_ok(Bytes(got.end() - 64, got.end())));
    EXPECT_EQ(logged("[SIM] nano1 fault garbage\n"), 1);
}

TEST_F(DevsimProcess, HangupBreaksTheOldLineAndComesBackOnANewOne)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "nano1=nano", "--hangup-ms", "300"}));
    {
        ServiceEnd old(path("nano1"));
        ASSERT_TRUE(old.ok());
        ASSERT_NO_FATAL_FAILURE(control("fault nano1 hangup"));
        ASSERT_TRUE(old.send(NANO_QUERY));
        ASSERT_TRUE(wait_log("[SIM] nano1 hangup\n"));
        EXPECT_EQ(log_count("[SIM] nano1 fault hangup\n"), 1);

        pollfd p{old.fd(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, int(std::chrono::milliseconds(GUARD).count())), 1);
        EXPECT_TRUE(p.revents & POLLHUP) << p.revents;
        errno = 0;
        EXPECT_EQ(::write(old.fd(), NANO_QUERY.data(), NANO_QUERY.size()), -1);
        EXPECT_EQ(errno, EIO);
    }

    ASSERT_TRUE(wait_log("[SIM] nano1 back\n"));
    ASSERT_TRUE(wait_log("[SIM] line nano1 nano at ", 2));
    const std::string target = link_target(path("nano1"));
    EXPECT_NE(line_with(sim_->out(), "[SIM] line nano1 nano at ", 2).find(target), std::string::npos);
    ServiceEnd fresh(path("nano1"));
    ASSERT_TRUE(fresh.ok());
    EXPECT_TRUE(sc::nano_ok(fresh.ask(NANO_QUERY, 64).bytes));
    EXPECT_EQ(log_count("[SIM] nano1 hangup\n"), 1);
}

TEST_F(DevsimProcess, FaultsGivenOnTheCommandLine)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "nano1=nano", "--line", "pico1=pico", "--fault",
                                   "nano1:checksum:rate=1", "--fault", "pico1:header"}));
    ServiceEnd nano(path("nano1"));
    ServiceEnd pico(path("pico1"));
    ASSERT_TRUE(nano.ok() && pico.ok());
    for (int i = 0; i < 3; ++i) {
        const auto b = nano.ask(NANO_QUERY, 64).bytes;
        ASSERT_EQ(b.size(), 64u);
        EXPECT_NE(b[63], sc::sum8(b, 63)) << i;
    }
    EXPECT_NE(pico.ask(PICO_QUERY, 256).bytes.at(0), 0xEB);
    EXPECT_TRUE(sc::pico_ok(pico.ask(PICO_QUERY, 256).bytes));

    ASSERT_NO_FATAL_FAILURE(control("fault nano1 checksum off"));
    EXPECT_TRUE(sc::nano_ok(nano.ask(NANO_QUERY, 64).bytes));
}

TEST_F(DevsimProcess, PacedAnswersStillArriveWhole)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "nano1=nano", "--line", "pico1=pico", "--pace", "--baud", "9600"}));
    ServiceEnd nano(path("nano1"));
    ServiceEnd pico(path("pico1"));
    ASSERT_TRUE(nano.ok() && pico.ok());
    const auto n = nano.ask(NANO_QUERY, 64);
    EXPECT_TRUE(sc::nano_ok(n.bytes));
    const auto p = pico.ask(PICO_QUERY, 256);
    EXPECT_TRUE(sc::pico_ok(p.bytes));
    // Byte by byte on the wire, so the reader sees it trickle in.
    EXPECT_GT(p.reads, 1);
}

TEST_F(DevsimProcess, SigtermRemovesWhatItCreatedAndExitsZero)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "nano1=nano", "--line", "pico1=pico"}));
    {
        ServiceEnd nano(path("nano1"));
        ASSERT_TRUE(sc::nano_ok(nano.ask(NANO_QUERY, 64).bytes));
    }
    sim_->signal(SIGTERM);
    const int status = sim_->wait_exit(std::chrono::duration_cast<std::chrono::milliseconds>(GUARD));
    ASSERT_NE(status, -1);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << sim_->err();
    // devsim made the run directory, so it goes too.
    EXPECT_FALSE(fs::exists(run_dir_));
}

TEST_F(DevsimProcess, SigintKeepsARunDirectoryItDidNotCreate)
{
    fs::create_directories(run_dir_);
    { std::ofstream(path("keep.txt")) << "mine\n"; }
    ASSERT_NO_FATAL_FAILURE(start({"--line", "nano1=nano"}));
    sim_->signal(SIGINT);
    const int status = sim_->wait_exit(std::chrono::duration_cast<std::chrono::milliseconds>(GUARD));
    ASSERT_NE(status, -1);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << sim_->err();
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(run_dir_)) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"keep.txt"});
}

TEST_F(DevsimProcess, BadCommandLineExitsWithUsageAndCreatesNothing)
{
    sim_ = std::make_unique<ChildProcess>(DEVSIM_PATH, std::vector<std::string>{"--run-dir", run_dir_, "--line",
                                                                                  "x=flux-capacitor"});
    const int status = sim_->wait_exit(std::chrono::duration_cast<std::chrono::milliseconds>(GUARD));
    ASSERT_NE(status, -1);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_FALSE(fs::exists(run_dir_));
    EXPECT_TRUE(wait_err("usage: devsim"));
    EXPECT_NE(sim_->err().find("flux-capacitor"), std::string::npos) << sim_->err();
    EXPECT_NE(sim_->err().find("usage: devsim"), std::string::npos);
}

TEST_F(DevsimProcess, GyroAndMemsLinesAnswerRequestsMatchingTheLog)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "g=gyro", "--line", "m=mems"}));
    EXPECT_TRUE(wait_log("[SIM] line g gyro at " + link_target(path("g")) + "\n"));
    EXPECT_TRUE(wait_log("[SIM] line m mems at " + link_target(path("m")) + "\n"));
    ServiceEnd gyro(path("g"));
    ServiceEnd mems(path("m"));
    ASSERT_TRUE(gyro.ok() && mems.ok());

    for (int round = 1; round <= 2; ++round) {
        const auto g = gyro.ask(RATE_REQUEST, 27);
        ASSERT_TRUE(rc::gyro_ok(g.bytes)) << "round " << round;
        for (int a = 0; a < 3; ++a) EXPECT_EQ(rc::time(g.bytes, a), 1000u);
        const auto gv = rc::decode_gyro(g.bytes);
        for (float v : gv) EXPECT_LT(std::fabs(v), 1.0f);
        ASSERT_TRUE(wait_log("[SIM] g answer ", round));
        EXPECT_EQ(line_with(sim_->out(), "[SIM] g answer ", round), "[SIM] g answer " + rc::answer_text(gv));

        const auto m = mems.ask(RATE_REQUEST, 44);
        ASSERT_TRUE(rc::mems_ok(m.bytes)) << "round " << round;
        for (int a = 0; a < 3; ++a) EXPECT_EQ(rc::time(m.bytes, a), 1024u);
        const auto mv = rc::decode_mems(m.bytes);
        for (float v : mv) EXPECT_LT(std::fabs(v), 1.0f);
        ASSERT_TRUE(wait_log("[SIM] m answer ", round));
        EXPECT_EQ(line_with(sim_->out(), "[SIM] m answer ", round), "[SIM] m answer " + rc::answer_text(mv));
    }
    // One answer per request, nothing more.
    EXPECT_TRUE(gyro.drain().empty());
    EXPECT_TRUE(mems.drain().empty());
}

TEST_F(DevsimProcess, GyroRequestInPiecesAfterGarbageGetsOneAnswer)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "g=gyro"}));
    ServiceEnd gyro(path("g"));
    ASSERT_TRUE(gyro.ok());
    ASSERT_TRUE(gyro.send({0x00, 0x74, 0x55}));
    ASSERT_TRUE(wait_log("[SIM] g skipped 2 byte(s) outside a request\n"));
    EXPECT_EQ(log_count("[SIM] g answer "), 0);
    EXPECT_TRUE(gyro.drain().empty());

    const auto g = gyro.ask({0x68}, 27);
    ASSERT_TRUE(rc::gyro_ok(g.bytes));
    ASSERT_TRUE(wait_log("[SIM] g answer "));
    EXPECT_EQ(line_with(sim_->out(), "[SIM] g answer "), "[SIM] g answer " + rc::answer_text(rc::decode_gyro(g.bytes)));
    EXPECT_TRUE(gyro.drain().empty());
    EXPECT_EQ(log_count("[SIM] g skipped "), 1);
}

TEST_F(DevsimProcess, GyroChecksumAndHeaderFaults)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "g=gyro", "--line", "m=mems"}));
    ServiceEnd gyro(path("g"));
    ServiceEnd mems(path("m"));
    ASSERT_TRUE(gyro.ok() && mems.ok());

    ASSERT_NO_FATAL_FAILURE(control("fault g checksum once"));
    EXPECT_TRUE(rc::mems_ok(mems.ask(RATE_REQUEST, 44).bytes));  // other line unaffected
    const auto bad_sum = gyro.ask(RATE_REQUEST, 27).bytes;
    ASSERT_EQ(bad_sum.size(), 27u);
    EXPECT_EQ(bad_sum[0], 0x97);
    EXPECT_EQ(bad_sum[26], uint8_t(~rc::sum8(bad_sum, 26)));
    // The answer line still tells what the bytes carry.
    ASSERT_TRUE(wait_log("[SIM] g answer "));
    EXPECT_EQ(line_with(sim_->out(), "[SIM] g answer "), "[SIM] g answer " + rc::answer_text(rc::decode_gyro(bad_sum)));
    EXPECT_TRUE(rc::gyro_ok(gyro.ask(RATE_REQUEST, 27).bytes));
    EXPECT_EQ(logged("[SIM] g fault checksum\n"), 1);

    ASSERT_NO_FATAL_FAILURE(control("fault g header once"));
    const auto bad_head = gyro.ask(RATE_REQUEST, 27).bytes;
    ASSERT_EQ(bad_head.size(), 27u);
    EXPECT_EQ(bad_head[0], 0x68);  // 0x97 inverted
    // The checksum is that of the untouched answer.
    Bytes original = bad_head;
    original[0] = 0x97;
    EXPECT_EQ(bad_head[26], rc::sum8(original, 26));
    EXPECT_TRUE(rc::gyro_ok(gyro.ask(RATE_REQUEST, 27).bytes));
    EXPECT_EQ(logged("[SIM] g fault header\n"), 1);
    EXPECT_EQ(log_count("[SIM] m fault"), 0);
}

TEST_F(DevsimProcess, MemsSplitFaultDeliversAWholeAnswerInPieces)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "m=mems"}));
    ServiceEnd mems(path("m"));
    ASSERT_TRUE(mems.ok());
    ASSERT_NO_FATAL_FAILURE(control("fault m split"));
    const auto split = mems.ask(RATE_REQUEST, 44);
    ASSERT_TRUE(rc::mems_ok(split.bytes));
    EXPECT_GE(split.reads, 2);
    EXPECT_EQ(logged("[SIM] m fault split\n"), 1);
}

namespace {

// Reads whatever the next read returns (one read), or nothing when the
// guard runs out.
Bytes next_read(const ServiceEnd& end)
{
    pollfd p{end.fd(), POLLIN, 0};
    if (::poll(&p, 1, int(std::chrono::milliseconds(GUARD).count())) <= 0 || !(p.revents & POLLIN)) return {};
    uint8_t buf[512];
    const ssize_t k = ::read(end.fd(), buf, sizeof buf);
    return k > 0 ? Bytes(buf, buf + k) : Bytes{};
}

bool wheel_frame_ok(const Bytes& f, uint8_t id)
{
    if (f.size() != 19 || f[0] != 0xFF || f[17] != id) return false;
    unsigned sum = 0;
    for (int i = 1; i <= 16; ++i) sum += f[i];
    return f[18] == uint8_t(sum);
}

float wheel_value(const Bytes& f, std::size_t at)
{
    const uint32_t raw = (uint32_t(f[at]) << 24) | (uint32_t(f[at + 1]) << 16) | (uint32_t(f[at + 2]) << 8) |
                         uint32_t(f[at + 3]);
    return float(double(int32_t(raw)) / 1000.0);
}

std::string wheel_status_line(const std::string& name, const Bytes& f)
{
    std::ostringstream os;
    os << "[SIM] " << name << " status speed=" << wheel_value(f, 1) << " current=" << wheel_value(f, 5)
       << " torque=" << wheel_value(f, 13);
    return os.str();
}

// Status frames as they stream in, cut at their headers. The stream is
// only ever joined by the simulator's own frames, so a frame boundary is a
// multiple of 19 from the first header seen.
class WheelReader {
public:
    explicit WheelReader(const ServiceEnd& end) : end_(end) {}

    Bytes frame()
    {
        while (buffer_.size() < 19) {
            const Bytes more = next_read(end_);
            if (more.empty()) return {};
            buffer_.insert(buffer_.end(), more.begin(), more.end());
            // Drop a partial frame read before the first header.
            while (!synced_ && !buffer_.empty() && buffer_[0] != 0xFF) buffer_.erase(buffer_.begin());
            synced_ = !buffer_.empty();
        }
        Bytes f(buffer_.begin(), buffer_.begin() + 19);
        buffer_.erase(buffer_.begin(), buffer_.begin() + 19);
        return f;
    }

private:
    const ServiceEnd& end_;
    Bytes buffer_;
    bool synced_ = false;
};

const Bytes WHEEL_SPEED_200_ID11 = {0x58, 0x00, 0x03, 0x0D, 0x40, 0x00, 0x00, 0x05, 0xDC, 0x11, 0x9A};

}  // namespace

TEST_F(DevsimProcess, WheelsStreamStatusAndFollowASpeedCommand)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "w0=wheel", "--line", "w1=wheel:0x22"}));
    EXPECT_TRUE(wait_log("[SIM] line w0 wheel at " + link_target(path("w0")) + "\n"));
    ServiceEnd w0(path("w0"));
    ServiceEnd w1(path("w1"));
    ASSERT_TRUE(w0.ok() && w1.ok());
    WheelReader r0(w0), r1(w1);

    // Frames arrive without any request; both wheels stand still.
    for (int i = 0; i < 3; ++i) {
        const Bytes f0 = r0.frame();
        ASSERT_TRUE(wheel_frame_ok(f0, 0x11)) << i;
        EXPECT_EQ(wheel_value(f0, 1), 0.0f);
        const Bytes f1 = r1.frame();
        ASSERT_TRUE(wheel_frame_ok(f1, 0x22)) << i;
        EXPECT_EQ(wheel_value(f1, 1), 0.0f);
    }

    // A command for the other wheel's id is ignored by this one.
    ASSERT_TRUE(w0.send({0x58, 0x00, 0x03, 0x0D, 0x40, 0x00, 0x00, 0x05, 0xDC, 0x22, 0xAB}));
    ASSERT_TRUE(wait_log("[SIM] w0 command for hardware id 0x22 ignored"));

    ASSERT_TRUE(w0.send(WHEEL_SPEED_200_ID11));
    ASSERT_TRUE(wait_log("[SIM] w0 command speed target=200 limit=1.5\n"));
    const std::size_t statuses_before = std::size_t(log_count("[SIM] w0 status "));

    // Later frames show the wheel spinning up, and each status line of the
    // log tells exactly what the frame carries.
    float previous = 0.0f;
    bool accelerating_seen = false;
    for (int i = 0; i < 15; ++i) {
        const Bytes f = r0.frame();
        ASSERT_TRUE(wheel_frame_ok(f, 0x11)) << i;
        const float speed = wheel_value(f, 1);
        EXPECT_GE(speed, previous) << i;
        EXPECT_LT(speed, 200.0f) << i;
        if (speed > previous && wheel_value(f, 13) > 0.0f && wheel_value(f, 5) > 0.0f) accelerating_seen = true;
        previous = speed;
        const std::string line = wheel_status_line("w0", f);
        ASSERT_TRUE(wait_log(line + "\n")) << line << "\n" << sim_->out();
    }
    EXPECT_TRUE(accelerating_seen);
    EXPECT_GT(previous, 0.0f);
    EXPECT_GT(std::size_t(log_count("[SIM] w0 status ")), statuses_before);

    // The other wheel was not commanded.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(wheel_value(r1.frame(), 1), 0.0f);
    EXPECT_EQ(log_count("[SIM] w1 command"), 0);
}

TEST_F(DevsimProcess, WheelBadCommandsAreLoggedWithTheirBytes)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "w0=wheel"}));
    ServiceEnd w0(path("w0"));
    ASSERT_TRUE(w0.ok());
    Bytes bad = WHEEL_SPEED_200_ID11;
    bad[10] = 0x9B;
    ASSERT_TRUE(w0.send(bad));
    EXPECT_TRUE(wait_log("[SIM] w0 bad frame dropped (checksum 9B, expected 9A): 58 00 03 0D 40 00 00 05 DC 11 9B\n"))
        << sim_->out();
    ASSERT_TRUE(w0.send({0x59, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x11, 0x74}));
    EXPECT_TRUE(wait_log("[SIM] w0 command torque value=0.01\n")) << sim_->out();
    EXPECT_EQ(log_count("[SIM] w0 command speed"), 0);
}

TEST_F(DevsimProcess, WheelBackToBackSendsTwoFramesInOneRead)
{
    // A slow stream, so that frames sent apart are read apart.
    ASSERT_NO_FATAL_FAILURE(start({"--line", "w0=wheel", "--wheel-hz", "2"}));
    ServiceEnd w0(path("w0"));
    ASSERT_TRUE(w0.ok());
    Bytes first = next_read(w0);
    ASSERT_FALSE(first.empty());
    ASSERT_NO_FATAL_FAILURE(control("fault w0 backtoback"));
    ASSERT_TRUE(wait_log("[SIM] control: fault w0 backtoback\n"));

    Bytes joined;
    for (int i = 0; i < 6 && joined.empty(); ++i) {
        const Bytes got = next_read(w0);
        ASSERT_FALSE(got.empty()) << i;
        if (got.size() == 38) joined = got;
    }
    ASSERT_EQ(joined.size(), 38u);
    EXPECT_TRUE(wheel_frame_ok(Bytes(joined.begin(), joined.begin() + 19), 0x11));
    EXPECT_TRUE(wheel_frame_ok(Bytes(joined.begin() + 19, joined.end()), 0x11));
    EXPECT_EQ(logged("[SIM] w0 fault backtoback\n"), 1);
}

TEST_F(DevsimProcess, WheelStatusFramesTakeTheGenericFaults)
{
    ASSERT_NO_FATAL_FAILURE(start({"--line", "w0=wheel", "--wheel-hz", "5"}));
    ServiceEnd w0(path("w0"));
    ASSERT_TRUE(w0.ok());
    ASSERT_FALSE(next_read(w0).empty());

    ASSERT_NO_FATAL_FAILURE(control("fault w0 checksum"));
    Bytes spoiled;
    for (int i = 0; i < 6 && spoiled.empty(); ++i) {
        const Bytes got = next_read(w0);
        ASSERT_EQ(got.size(), 19u) << i;
        if (!wheel_frame_ok(got, 0x11)) spoiled = got;
    }
    ASSERT_EQ(spoiled.size(), 19u);
    EXPECT_EQ(spoiled[0], 0xFF);
    Bytes repaired = spoiled;
    repaired[18] = uint8_t(~repaired[18]);
    EXPECT_TRUE(wheel_frame_ok(repaired, 0x11));
    EXPECT_TRUE(wheel_frame_ok(next_read(w0), 0x11));
    EXPECT_EQ(logged("[SIM] w0 fault checksum\n"), 1);

    ASSERT_NO_FATAL_FAILURE(control("fault w0 header"));
    Bytes bad_head;
    for (int i = 0; i < 6 && bad_head.empty(); ++i) {
        const Bytes got = next_read(w0);
        ASSERT_EQ(got.size(), 19u) << i;
        if (got[0] != 0xFF) bad_head = got;
    }
    ASSERT_EQ(bad_head.size(), 19u);
    EXPECT_EQ(bad_head[0], 0x00);
    EXPECT_EQ(logged("[SIM] w0 fault header\n"), 1);
}
