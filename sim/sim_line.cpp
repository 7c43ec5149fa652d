#include "sim_line.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <iterator>
#include <utility>

namespace devsim {
namespace {

std::string errno_text(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// Where the symlink at `path` points, or "" if it is not a symlink.
std::string link_target(const std::string& path)
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return "";
    return std::string(buf, std::size_t(n));
}

}  // namespace

SimLine::SimLine(std::string name, std::unique_ptr<Device> device, std::string run_dir, WireSettings wire,
                 uint64_t seed, std::function<void(const std::string&)> log)
    : name_(std::move(name)),
      device_(std::move(device)),
      run_dir_(std::move(run_dir)),
      link_path_(run_dir_ + "/" + name_),
      wire_(wire),
      log_(std::move(log))
{
    if (wire_.pace) out_.set_batch(wire_.batch);
    // Each line draws from its own sequence, so traffic on one line does not
    // change the faults another line sees.
    uint32_t name_hash = 2166136261u;  // FNV-1a: the same on every build
    for (unsigned char c : name_) name_hash = (name_hash ^ c) * 16777619u;
    std::seed_seq seq{uint32_t(seed), uint32_t(seed >> 32), name_hash};
    rng_.seed(seq);
}

SimLine::~SimLine()
{
    close();
}

bool SimLine::open(std::string& error)
{
    return open_pty(error);
}

bool SimLine::open_pty(std::string& error)
{
    int master = -1, slave = -1;
    char path[PATH_MAX] = {};
    if (::openpty(&master, &slave, path, nullptr, nullptr) != 0) {
        error = errno_text("openpty");
        return false;
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    termios t{};
    if (::tcgetattr(slave, &t) != 0 || (cfmakeraw(&t), ::tcsetattr(slave, TCSANOW, &t)) != 0) {
        error = errno_text("raw mode on the slave");
        ::close(master);
        ::close(slave);
        return false;
    }

    // Publish atomically: a service never sees the name missing or half made.
    const std::string tmp = run_dir_ + "/." + name_ + ".link";
    ::unlink(tmp.c_str());
    if (::symlink(path, tmp.c_str()) != 0) {
        error = errno_text(("symlink " + tmp).c_str());
        ::close(master);
        ::close(slave);
        return false;
    }
    if (::rename(tmp.c_str(), link_path_.c_str()) != 0) {
        error = errno_text(("rename to " + link_path_).c_str());
        ::unlink(tmp.c_str());
        ::close(master);
        ::close(slave);
        return false;
    }

    master_ = master;
    slave_ = slave;
    slave_path_ = path;
    write_blocked_ = false;
    log_("line " + name_ + " " + device_->kind() + " at " + slave_path_);
    return true;
}

void SimLine::close_pty()
{
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = slave_ = -1;
    out_.clear();
    held_.clear();
    write_blocked_ = false;
}

void SimLine::close()
{
    // Remove the link only while it still points at our terminal; after a
    // hang-up it is already gone.
    if (!slave_path_.empty() && master_ >= 0 && link_target(link_path_) == slave_path_)
        ::unlink(link_path_.c_str());
    close_pty();
    back_at_.reset();
}

short SimLine::poll_events() const
{
    if (master_ < 0) return 0;
    return short(POLLIN | (write_blocked_ ? POLLOUT : 0));
}

void SimLine::on_readable(Clock::time_point now, double t)
{
    uint8_t buf[4096];
    // Bounded, so one chatty line cannot starve the others.
    for (int round = 0; round < 16 && master_ >= 0; ++round) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) break;
        device_->receive(buf, std::size_t(n), t, [&](Answer answer) {
            if (master_ >= 0) send(std::move(answer), now);  // not after a hang-up in this batch
        });
    }
    service(now);
}

void SimLine::send(Answer answer, Clock::time_point now)
{
    const FaultSet faults = faults_.draw(rng_);
    for (FaultKind kind : faults.kinds()) say(std::string("fault ") + fault_name(kind));
    if (faults.has(FaultKind::hangup)) {
        hang_up(now);
        return;
    }
    if (faults.has(FaultKind::silence)) return;

    const auto per_byte = wire_.pace ? byte_time(device_->bits_per_byte(), wire_.baud) : Clock::duration::zero();
    auto pieces = apply_faults(faults, std::move(answer.bytes), rng_);
    // A held frame goes out with this one, its last piece and this one's
    // first in a single write.
    if (!held_.empty() && !pieces.empty()) {
        held_.back().insert(held_.back().end(), pieces.front().begin(), pieces.front().end());
        held_.insert(held_.end(), std::make_move_iterator(pieces.begin() + 1), std::make_move_iterator(pieces.end()));
        pieces = std::move(held_);
        held_.clear();
    }
    if (faults.has(FaultKind::backtoback)) {
        held_ = std::move(pieces);
        if (!answer.summary.empty()) say(answer.summary);
        return;
    }
    std::uniform_int_distribution<int> gap_ms(2, 5);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const auto gap = i == 0 ? Clock::duration::zero() : Clock::duration(std::chrono::milliseconds(gap_ms(rng_)));
        out_.add(pieces[i], now, per_byte, gap);
    }
    if (!answer.summary.empty()) say(answer.summary);
}

void SimLine::hang_up(Clock::time_point now)
{
    say("hangup");
    if (link_target(link_path_) == slave_path_) ::unlink(link_path_.c_str());
    // Hang the terminal up first, as the kernel does for an unplugged USB
    // adapter: every descriptor on it then reads end of file and fails
    // writes. Closing the master alone leaves a moment in which a reader
    // woken by the close gets EIO instead. Needs CAP_SYS_ADMIN; without it
    // the close alone hangs the line up.
    if (slave_ >= 0) ::ioctl(slave_, TIOCVHANGUP);
    close_pty();
    device_->reset_input();
    back_at_ = now + wire_.hangup_time;
}

void SimLine::service(Clock::time_point now)
{
    if (back_at_ && now >= *back_at_) {
        std::string error;
        if (open_pty(error)) {
            back_at_.reset();
            say("back");
        } else {
            log_(name_ + " reopen failed: " + error);
            back_at_ = now + std::chrono::milliseconds(100);
        }
    }
    if (master_ < 0) return;

    Bytes due = out_.take_due(now);
    std::size_t done = 0;
    while (done < due.size()) {
        const ssize_t w = ::write(master_, due.data() + done, due.size() - done);
        if (w > 0) {
            done += std::size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            log_(name_ + " " + errno_text("write"));
            done = due.size();  // the bytes are lost, as on a broken wire
        }
        break;
    }
    write_blocked_ = done < due.size();
    if (write_blocked_) out_.put_back(due.data() + done, due.size() - done, now);
}

void SimLine::tick(Clock::time_point now, double t)
{
    const auto due = device_->next_tick();
    if (!due || t < *due) return;
    // The device keeps its schedule while the line is hung up; what it sends
    // then is lost.
    device_->tick(t, [&](Answer answer) {
        if (master_ >= 0) send(std::move(answer), now);
    });
}

std::optional<Clock::time_point> SimLine::next_deadline(Clock::time_point epoch) const
{
    std::optional<Clock::time_point> next = back_at_;
    if (const auto tick = device_->next_tick()) {
        const auto at = epoch + std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(*tick));
        if (!next || at < *next) next = at;
    }
    if (master_ >= 0 && !write_blocked_) {
        const auto due = out_.next_due();
        if (due && (!next || *due < *next)) next = due;
    }
    return next;
}

}  // namespace devsim
