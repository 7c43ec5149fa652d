// A program under test run as a child process. Its standard output and
// standard error are collected by a reader thread; the destructor stops the
// child by its pid (SIGTERM, then SIGKILL) and reaps it, whatever happened.
#pragma once

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args = {},
                 const std::string& workdir = "")
    {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(126);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_fd_ = out[0];
        err_fd_ = err[0];
        reader_ = std::thread([this] { collect(); });
    }

    ~ChildProcess()
    {
        stop();
        if (reader_.joinable()) reader_.join();
        ::close(out_fd_);
        ::close(err_fd_);
    }

    pid_t pid() const { return pid_; }

    void signal(int signo)
    {
        if (pid_ > 0 && !reaped_) ::kill(pid_, signo);
    }

    // Waits for the child to exit; returns its wait status or -1 on timeout.
    // Once it has exited, also waits (up to 2 s more) until the reader has
    // everything it wrote: the pipes may still hold its last lines.
    int wait_exit(std::chrono::milliseconds timeout)
    {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (!reaped_) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                status_ = status;
                break;
            }
            if (std::chrono::steady_clock::now() >= until) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(2), [this] { return streams_ended_; });
        return status_;
    }

    void stop()
    {
        if (pid_ <= 0 || reaped_) return;
        ::kill(pid_, SIGTERM);
        if (wait_exit(std::chrono::seconds(5)) == -1) {
            ::kill(pid_, SIGKILL);
            wait_exit(std::chrono::seconds(5));
        }
    }

    std::string out()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return out_;
    }
    std::string err()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return err_;
    }

    // Waits until standard output contains `text` `count` times.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout, int count = 1)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return occurrences(out_, text) >= count; });
    }

    static int occurrences(const std::string& hay, const std::string& needle)
    {
        int n = 0;
        for (std::size_t pos = hay.find(needle); pos != std::string::npos;
             pos = hay.find(needle, pos + needle.size()))
            ++n;
        return n;
    }

private:
    void collect()
    {
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        int open_streams = 2;
        while (open_streams > 0) {
            if (::poll(fds, 2, 200) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                char buf[4096];
                ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    fds[i].fd = -1;
                    --open_streams;
                    continue;
                }
                std::lock_guard<std::mutex> lock(mutex_);
                (i == 0 ? out_ : err_).append(buf, std::size_t(n));
                cv_.notify_all();
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        streams_ended_ = true;
        cv_.notify_all();
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    int out_fd_ = -1, err_fd_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string out_, err_;
    bool streams_ended_ = false;  // both pipes read to their end
};
