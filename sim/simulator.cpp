#include "simulator.h"

#include "device_registry.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace devsim {
namespace {

std::string errno_text(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

}  // namespace

void sim_log(const std::string& text)
{
    std::cout << "[SIM] " << text << std::endl;
}

void sim_error(const std::string& text)
{
    std::cerr << "[SIM] " << text << std::endl;
}

Simulator::Simulator(Options options, std::shared_ptr<TruthModel> truth)
    : options_(std::move(options)), truth_(std::move(truth))
{
}

Simulator::~Simulator()
{
    shut_down();
}

int Simulator::run(int stop_fd)
{
    started_ = Clock::now();
    std::string error;
    if (!start(error)) {
        sim_error("error: " + error);
        shut_down();
        return 1;
    }
    loop(stop_fd);
    shut_down();
    return 0;
}

bool Simulator::start(std::string& error)
{
    // Create the run directory and any missing parents.
    const std::string& dir = options_.run_dir;
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        const std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) == 0) {
            made_dirs_.push_back(part);
        } else if (errno != EEXIST) {
            error = errno_text("mkdir " + part);
            return false;
        }
    }
    struct stat st{};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = dir + " is not a directory";
        return false;
    }

    // A ready file left by a killed run must not announce this one.
    ready_path_ = dir + "/" + READY_FILE;
    ::unlink(ready_path_.c_str());

    fifo_path_ = dir + "/" + CONTROL_FIFO;
    if (::lstat(fifo_path_.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) ::unlink(fifo_path_.c_str());
    if (::mkfifo(fifo_path_.c_str(), 0660) != 0) {
        error = errno_text("mkfifo " + fifo_path_);
        return false;
    }
    fifo_made_ = true;
    // Read-write, so the FIFO never reports end-of-file when a writer leaves.
    fifo_ = ::open(fifo_path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo_ < 0) {
        error = errno_text("open " + fifo_path_);
        return false;
    }

    if (truth_ && !options_.truth_log.empty() && !truth_->open_log(options_.truth_log, error)) return false;

    std::size_t wheels = 0;
    for (std::size_t i = 0; i < options_.lines.size(); ++i) {
        const auto& spec = options_.lines[i];
        const std::string name = spec.name;
        DeviceSetup setup;
        setup.index = unsigned(i);
        setup.hardware_id = uint8_t(spec.hardware_id < 0 ? 0 : spec.hardware_id);
        setup.status_hz = options_.wheel_hz;
        setup.truth = truth_;
        setup.name = name;
        if (spec.kind == "wheel") setup.wheel_number = wheels++;
        if (truth_ && spec.kind == "wheel") {
            const std::size_t model = truth_->craft().wheel_count();
            sim_log(setup.wheel_number < model ? name + " is spacecraft wheel " + std::to_string(setup.wheel_number + 1) +
                                                     " of " + std::to_string(model)
                                               : name + " is no spacecraft wheel (the model has " +
                                                     std::to_string(model) + "); it turns on its own");
        }
        auto device = make_device(spec.kind, setup, [name](const std::string& text) {
            sim_log(name + " " + text);
        });
        WireSettings wire;
        wire.pace = options_.pace;
        wire.baud = options_.baud;
        wire.hangup_time = std::chrono::milliseconds(options_.hangup_ms);
        auto line = std::make_unique<SimLine>(spec.name, std::move(device), dir, wire, options_.seed, sim_log);
        if (!line->open(error)) return false;
        lines_.push_back(std::move(line));
    }
    for (const auto& f : options_.faults) apply(f);

    const std::string tmp = dir + "/.devsim.ready.tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = errno_text("create " + tmp);
        return false;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    const bool written = ::write(fd, pid.data(), pid.size()) == ssize_t(pid.size());
    ::close(fd);
    if (!written || ::rename(tmp.c_str(), ready_path_.c_str()) != 0) {
        error = errno_text("publish " + ready_path_);
        ::unlink(tmp.c_str());
        return false;
    }
    ready_made_ = true;
    sim_log("ready");
    return true;
}

void Simulator::loop(int stop_fd)
{
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({stop_fd, POLLIN, 0});
        fds.push_back({fifo_, POLLIN, 0});
        for (const auto& line : lines_) fds.push_back({line->fd(), line->poll_events(), 0});

        std::optional<Clock::time_point> deadline;
        if (truth_) {
            if (const auto due = truth_->next_log_time())
                deadline = started_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*due));
        }
        for (const auto& line : lines_) {
            const auto d = line->next_deadline(started_);
            if (d && (!deadline || *d < *deadline)) deadline = d;
        }
        timespec timeout{};
        timespec* timeout_ptr = nullptr;
        if (deadline) {
            const auto wait = std::max(Clock::duration::zero(), *deadline - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            timeout.tv_sec = time_t(ns / 1000000000);
            timeout.tv_nsec = long(ns % 1000000000);
            timeout_ptr = &timeout;
        }

        if (::ppoll(fds.data(), fds.size(), timeout_ptr, nullptr) < 0 && errno != EINTR) {
            sim_error(errno_text("poll"));
            return;
        }
        if (fds[0].revents) return;

        // Control commands first, and always: a command written before a
        // service's query must act on the answer to that query, even when
        // this poll only saw the line.
        read_control();

        const auto now = Clock::now();
        const double t = std::chrono::duration<double>(now - started_).count();
        if (truth_) truth_->advance(t);
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            SimLine& line = *lines_[i];
            const short revents = fds[i + 2].revents;
            if (fds[i + 2].fd >= 0 && fds[i + 2].fd == line.fd() && (revents & POLLIN)) line.on_readable(now, t);
            line.tick(now, t);
            line.service(now);
        }
    }
}

void Simulator::read_control()
{
    char buf[1024];
    for (;;) {
        const ssize_t n = ::read(fifo_, buf, sizeof buf);
        if (n <= 0) break;
        control_buffer_.append(buf, std::size_t(n));
    }
    std::size_t end;
    while ((end = control_buffer_.find('\n')) != std::string::npos) {
        std::string text = control_buffer_.substr(0, end);
        control_buffer_.erase(0, end + 1);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.find_first_not_of(" \t") == std::string::npos) continue;
        FaultRequest request;
        std::string error;
        if (!parse_control_command(text, request, error)) {
            sim_error("control: " + error);
            continue;
        }
        if (!find_line(request.line)) {
            sim_error("control: no line '" + request.line + "'");
            continue;
        }
        sim_log("control: " + text);
        apply(request);
    }
    // A writer that never ends its line must not grow the buffer for ever.
    if (control_buffer_.size() > 4096) control_buffer_.clear();
}

void Simulator::apply(const FaultRequest& request)
{
    if (SimLine* line = find_line(request.line)) line->set_fault(request.kind, request.mode);
}

SimLine* Simulator::find_line(const std::string& name)
{
    for (auto& line : lines_)
        if (line->name() == name) return line.get();
    return nullptr;
}

void Simulator::shut_down()
{
    for (auto& line : lines_) line->close();
    lines_.clear();
    if (ready_made_) ::unlink(ready_path_.c_str());
    ready_made_ = false;
    if (fifo_ >= 0) ::close(fifo_);
    fifo_ = -1;
    if (fifo_made_) ::unlink(fifo_path_.c_str());
    fifo_made_ = false;
    // Directories we made go again if nothing else was put in them.
    for (auto it = made_dirs_.rbegin(); it != made_dirs_.rend(); ++it) ::rmdir(it->c_str());
    made_dirs_.clear();
}

}  // namespace devsim
