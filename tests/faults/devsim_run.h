// The device simulator as a child process for a fault campaign: its run
// directory, its control FIFO and what its log says about one line.
#pragma once

#include "support/child_process.h"
#include "support/waiting.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Writes one control line to devsim's FIFO. False when the FIFO cannot be
// opened (devsim not running) or the line is not written whole.
inline bool write_control_line(const std::string& fifo, const std::string& command)
{
    int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string line = command + "\n";
    ssize_t w;
    do {
        w = ::write(fd, line.data(), line.size());
    } while (w < 0 && errno == EINTR);
    ::close(fd);
    return w == ssize_t(line.size());
}

class DevsimRun {
public:
    // `args` after --run-dir: lines and options.
    DevsimRun(const std::string& devsim, const std::string& dir, const std::vector<std::string>& args)
        : dir_(dir), process_(devsim, with_run_dir(dir, args))
    {
    }

    const std::string& dir() const { return dir_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    ChildProcess& process() { return process_; }
    std::string out() { return process_.out(); }
    std::string err() { return process_.err(); }

    bool wait_ready(std::chrono::milliseconds timeout) { return wait_for_file(dir_ + "/devsim.ready", timeout); }

    // Sends a control command and waits until devsim has taken it (its
    // "control:" log line), so that it acts on the next answer after this
    // call returns.
    bool control(const std::string& command, std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        const std::string ack = "[SIM] control: " + command + "\n";
        const int before = ChildProcess::occurrences(process_.out(), ack);
        if (!write_control_line(dir_ + "/devsim.control", command)) return false;
        return process_.wait_for_output(ack, timeout, before + 1);
    }

    bool fault(const std::string& line, const std::string& fault, const std::string& mode = "once")
    {
        return control("fault " + line + " " + fault + " " + mode);
    }

    // Every log line of `line` that starts with `what` ("answer", "status",
    // "fault", "back" ...), without the prefix "[SIM] <line> <what> ".
    std::vector<std::string> lines(const std::string& line, const std::string& what)
    {
        std::vector<std::string> found;
        const std::string prefix = "[SIM] " + line + " " + what;
        std::istringstream in(process_.out());
        for (std::string l; std::getline(in, l);) {
            if (l.compare(0, prefix.size(), prefix) != 0) continue;
            if (l.size() == prefix.size()) {
                found.push_back("");
            } else if (l[prefix.size()] == ' ') {
                found.push_back(l.substr(prefix.size() + 1));
            }
        }
        return found;
    }

    int count(const std::string& line, const std::string& what) { return int(lines(line, what).size()); }

    // Waits until `line` has logged at least `n` lines starting with `what`.
    bool wait_count(const std::string& line, const std::string& what, int n, std::chrono::milliseconds timeout)
    {
        return wait_until([&] { return count(line, what) >= n; }, timeout);
    }

private:
    static std::vector<std::string> with_run_dir(const std::string& dir, std::vector<std::string> args)
    {
        ::mkdir(dir.c_str(), 0755);
        args.insert(args.begin(), {"--run-dir", dir});
        return args;
    }

    std::string dir_;
    ChildProcess process_;
};
