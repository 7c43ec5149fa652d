// What the benchmark programs share: child processes that never outlive the
// benchmark, their output lines with arrival times, percentiles, CPU and
// memory figures from /proc, and the result rows scripts/benchmarks.sh
// collects into one table.
//
// Nothing here judges a figure: the programs print what they measured next
// to a baseline measured in the same run.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <ftw.h>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace benchkit {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// Stopping: SIGINT, SIGTERM and SIGHUP set a flag that every wait checks, so
// a benchmark that is interrupted still stops its children and removes its
// files on the way out.

inline std::atomic<bool>& stop_flag()
{
    static std::atomic<bool> flag{false};
    return flag;
}

inline bool stopping() { return stop_flag().load(); }

inline void install_stop_handlers()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = [](int) { stop_flag().store(true); };
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // A child's pipe closing must not end the benchmark.
    signal(SIGPIPE, SIG_IGN);
}

// Sleeps for `d` in short steps; false when a stop was requested meanwhile.
inline bool nap(Clock::duration d)
{
    const auto until = Clock::now() + d;
    while (!stopping()) {
        const auto now = Clock::now();
        if (now >= until) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(until - now, 20ms));
    }
    return false;
}

inline bool wait_until(const std::function<bool()>& done, Clock::duration timeout)
{
    const auto until = Clock::now() + timeout;
    while (!stopping()) {
        if (done()) return true;
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

inline int64_t monotonic_ns(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

inline double ms_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// ---------------------------------------------------------------------------
// Child processes.

struct Line {
    Clock::time_point at;  // when the line arrived through the pipe
    std::string text;
};

struct Launch {
    std::string program;
    std::vector<std::string> args;
    std::string workdir;      // empty: the benchmark's own
    std::string stdout_file;  // empty: captured line by line
    std::string stderr_file;  // empty: the benchmark's standard error
};

// A program started by the benchmark. The child gets SIGTERM when the
// benchmark's process ends for any reason (PR_SET_PDEATHSIG), and the
// destructor stops it by its pid: SIGTERM, then SIGKILL after `grace`.
class Child {
public:
    explicit Child(const Launch& l, std::string label = "") : label_(label.empty() ? l.program : label)
    {
        std::vector<std::string> words;
        words.push_back(l.program);
        words.insert(words.end(), l.args.begin(), l.args.end());
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
        argv.push_back(nullptr);

        int out[2] = {-1, -1};
        if (l.stdout_file.empty() && pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        const pid_t parent = getpid();
        launched_ = Clock::now();
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            // Only async-signal-safe calls from here to exec.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(125);
            ::signal(SIGPIPE, SIG_DFL);
            if (!l.workdir.empty() && chdir(l.workdir.c_str()) != 0) _exit(126);
            if (l.stdout_file.empty()) {
                dup2(out[1], STDOUT_FILENO);
            } else {
                int fd = open(l.stdout_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
                if (fd < 0) _exit(126);
                dup2(fd, STDOUT_FILENO);
            }
            if (!l.stderr_file.empty()) {
                int fd = open(l.stderr_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
                if (fd < 0) _exit(126);
                dup2(fd, STDERR_FILENO);
            }
            execv(l.program.c_str(), argv.data());
            _exit(127);
        }
        if (l.stdout_file.empty()) {
            ::close(out[1]);
            fd_ = out[0];
            reader_ = std::thread([this] { collect(); });
        }
    }

    ~Child()
    {
        stop();
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) ::close(fd_);
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& label() const { return label_; }
    Clock::time_point launched() const { return launched_; }

    bool running()
    {
        reap(false);
        return !reaped_;
    }

    // Waits for the child to end by itself; its wait status, or -1.
    int wait_exit(Clock::duration timeout)
    {
        const auto until = Clock::now() + timeout;
        while (!reap(false)) {
            if (Clock::now() >= until) return -1;
            std::this_thread::sleep_for(10ms);
        }
        return status_;
    }

    void signal(int signo)
    {
        if (pid_ > 0 && !reap(false)) ::kill(pid_, signo);
    }

    void stop(Clock::duration grace = 15s)
    {
        if (pid_ <= 0 || reap(false)) return;
        ::kill(pid_, SIGTERM);
        if (wait_exit(grace) == -1) {
            std::fprintf(stderr, "[bench] %s did not stop on SIGTERM; killing it\n", label_.c_str());
            ::kill(pid_, SIGKILL);
            reap(true);
        }
    }

    std::vector<Line> lines()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

    // Waits until `done` holds for the lines so far (or the pipe closes).
    bool wait_lines(const std::function<bool(const std::vector<Line>&)>& done, Clock::duration timeout)
    {
        const auto until = Clock::now() + timeout;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping()) {
            if (done(lines_)) return true;
            if (closed_ || Clock::now() >= until) return false;
            cv_.wait_for(lock, 50ms);
        }
        return false;
    }

private:
    bool reap(bool block)
    {
        if (reaped_) return true;
        int status = 0;
        pid_t r = waitpid(pid_, &status, block ? 0 : WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = status;
        }
        return reaped_;
    }

    void collect()
    {
        std::string partial;
        char buf[8192];
        for (;;) {
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            const auto now = Clock::now();
            partial.append(buf, std::size_t(n));
            std::lock_guard<std::mutex> lock(mutex_);
            std::size_t start = 0;
            for (std::size_t nl; (nl = partial.find('\n', start)) != std::string::npos; start = nl + 1) {
                lines_.push_back({now, partial.substr(start, nl - start)});
            }
            partial.erase(0, start);
            cv_.notify_all();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (!partial.empty()) lines_.push_back({Clock::now(), partial});
        closed_ = true;
        cv_.notify_all();
    }

    std::string label_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    int fd_ = -1;
    Clock::time_point launched_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Line> lines_;
    bool closed_ = false;
};

// Names of running processes whose command name is one of `names`
// (/proc/<pid>/comm), other than this process.
// A process in another network namespace with its own /dev/shm (another
// mount namespace) cannot reach our participants, nor ours it.
inline bool shares_our_bus(const std::string& pid)
{
    for (const char* ns : {"net", "mnt"}) {
        char mine[64] = {0}, theirs[64] = {0};
        if (readlink((std::string("/proc/self/ns/") + ns).c_str(), mine, sizeof mine - 1) < 0) return true;
        if (readlink(("/proc/" + pid + "/ns/" + ns).c_str(), theirs, sizeof theirs - 1) < 0) return true;
        if (std::string(mine) == theirs) return true;
    }
    return false;
}

inline std::vector<std::string> running_programs(const std::vector<std::string>& names)
{
    std::vector<std::string> found;
    if (auto* d = opendir("/proc")) {
        while (auto* e = readdir(d)) {
            char* end = nullptr;
            long pid = std::strtol(e->d_name, &end, 10);
            if (*end != '\0' || pid <= 0 || pid == getpid()) continue;
            if (!shares_our_bus(e->d_name)) continue;
            std::ifstream comm(std::string("/proc/") + e->d_name + "/comm");
            std::string name;
            if (!std::getline(comm, name)) continue;
            if (std::find(names.begin(), names.end(), name) != names.end())
                found.push_back(name + " (pid " + e->d_name + ")");
        }
        closedir(d);
    }
    return found;
}

// The bench's programs and the benchmarks' own bus programs that are running
// now: all of them use DDS domain 0 and would hear a benchmark's traffic.
inline std::vector<std::string> bench_programs_running()
{
    return running_programs({"Corvane", "Brenvik", "Skardel", "Zentaro", "Quimbrel", "Tavrin", "Pellwyn", "linemon",
                             "devsim", "bus_raw", "bus_vantrel", "bus_probe", "scale_crowd"});
}

// ---------------------------------------------------------------------------
// /proc figures of one process.

struct ProcSample {
    bool ok = false;
    long long cpu_ticks = 0;  // utime + stime, all threads
    long rss_kb = 0;          // VmRSS
    long hwm_kb = 0;          // VmHWM, the peak resident set
    long anon_kb = 0, file_kb = 0, shmem_kb = 0;  // RssAnon, RssFile, RssShmem
    long pss_kb = 0;          // proportional share: shared pages divided among their users
};

inline ProcSample sample_process(pid_t pid)
{
    ProcSample s;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return s;
    // The command name may hold spaces; fields are counted after its ')'.
    std::size_t close = text.rfind(')');
    if (close == std::string::npos) return s;
    std::istringstream fields(text.substr(close + 2));
    std::vector<std::string> f;
    for (std::string w; fields >> w;) f.push_back(w);
    if (f.size() < 13) return s;
    s.cpu_ticks = std::stoll(f[11]) + std::stoll(f[12]);  // fields 14 and 15
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) s.rss_kb = std::stol(line.substr(6));
        if (line.rfind("VmHWM:", 0) == 0) s.hwm_kb = std::stol(line.substr(6));
        if (line.rfind("RssAnon:", 0) == 0) s.anon_kb = std::stol(line.substr(8));
        if (line.rfind("RssFile:", 0) == 0) s.file_kb = std::stol(line.substr(8));
        if (line.rfind("RssShmem:", 0) == 0) s.shmem_kb = std::stol(line.substr(9));
    }
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);) {
        if (line.rfind("Pss:", 0) == 0) s.pss_kb = std::stol(line.substr(4));
    }
    s.ok = true;
    return s;
}

inline double ticks_per_second() { return double(sysconf(_SC_CLK_TCK)); }

// ---------------------------------------------------------------------------
// Figures.

// Nearest-rank percentile, q in (0, 1].
inline double percentile(std::vector<double> v, double q)
{
    if (v.empty()) return std::nan("");
    std::sort(v.begin(), v.end());
    std::size_t k = std::size_t(std::ceil(q * double(v.size())));
    k = std::min(std::max<std::size_t>(k, 1), v.size());
    return v[k - 1];
}

inline double median(const std::vector<double>& v) { return percentile(v, 0.5); }

inline std::string fixed(double v, int decimals)
{
    if (std::isnan(v)) return "n/a";
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

// Milliseconds with three decimals: 0.123 ms.
inline std::string ms(double v) { return fixed(v, 3) + " ms"; }

// 12 345 678 with thin grouping for readability.
inline std::string grouped(double v)
{
    if (std::isnan(v)) return "n/a";
    std::string digits = std::to_string((long long)std::llround(v));
    std::string out;
    int n = 0;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (n && n % 3 == 0 && *it != '-') out.insert(out.begin(), ' ');
        out.insert(out.begin(), *it);
        ++n;
    }
    return out;
}

inline std::string ratio(double a, double b)
{
    if (std::isnan(a) || std::isnan(b) || b == 0.0) return "n/a";
    return fixed(a / b, 2) + "x";
}

// One row of the final table, on standard output:
// ROW <tab> section <tab> measurement <tab> figure <tab> baseline <tab> comparison
inline void row(const std::string& section, const std::string& item, const std::string& figure,
                const std::string& baseline, const std::string& comparison)
{
    std::printf("ROW\t%s\t%s\t%s\t%s\t%s\n", section.c_str(), item.c_str(), figure.c_str(), baseline.c_str(),
                comparison.c_str());
    std::fflush(stdout);
}

inline void note(const std::string& text)
{
    std::fprintf(stderr, "[bench] %s\n", text.c_str());
    std::fflush(stderr);
}

// A log for the bus endpoint: each distinct message is shown the first three
// times; after that it is only counted, and the count shown at exit. Fast DDS
// can repeat one warning thousands of times in a throughput run.
inline void quiet_log(const std::string& text)
{
    struct Counts {
        std::mutex mutex;
        std::map<std::string, long> seen;
        ~Counts()
        {
            for (const auto& s : seen)
                if (s.second > 3) note(s.first + " (" + std::to_string(s.second) + " times in all)");
        }
    };
    static Counts counts;
    std::lock_guard<std::mutex> lock(counts.mutex);
    const long n = ++counts.seen[text];
    if (n <= 3) note(text);
    if (n == 3) note("(the same message again is only counted from here)");
}

// ---------------------------------------------------------------------------
// A private temporary directory, removed with everything in it.

class TempDir {
public:
    explicit TempDir(const std::string& prefix)
    {
        std::string pattern = "/tmp/" + prefix + ".XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
        path_ = buf.data();
    }
    ~TempDir()
    {
        nftw(path_.c_str(),
             [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline void write_file(const std::string& path, const std::string& text)
{
    std::ofstream f(path);
    f << text;
}

inline std::string read_file(const std::string& path)
{
    std::ifstream f(path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// "key=value" from a whitespace-separated result line; NaN if absent.
inline double field(const std::string& line, const std::string& key)
{
    std::istringstream words(line);
    for (std::string w; words >> w;) {
        if (w.size() > key.size() && w.compare(0, key.size(), key) == 0 && w[key.size()] == '=')
            return std::strtod(w.c_str() + key.size() + 1, nullptr);
    }
    return std::nan("");
}

}  // namespace benchkit
