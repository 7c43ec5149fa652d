#include "service_skeleton.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

std::atomic<bool> running{true};

const std::string TOPIC_COMMAND = "Command";
const std::string TOPIC_TELEMETRY = "Telemetry";
const std::string TOPIC_RAW_TELEMETRY = "Raw_Telemetry";

static std::atomic<bool> g_announce_signals{false};

std::size_t format_signal_line(char* buf, std::size_t cap, int signo)
{
    static const char head[] = "[INFO] Received signal ";
    static const char tail[] = ", shutting down...\n";
    char digits[16];
    std::size_t nd = 0;
    unsigned v = signo < 0 ? unsigned(-(long)signo) : unsigned(signo);
    do {
        digits[nd++] = char('0' + v % 10);
        v /= 10;
    } while (v && nd < sizeof digits);
    std::size_t n = 0;
    auto put = [&](char c) {
        if (n < cap) buf[n++] = c;
    };
    for (const char* p = head; *p; ++p) put(*p);
    if (signo < 0) put('-');
    while (nd) put(digits[--nd]);
    for (const char* p = tail; *p; ++p) put(*p);
    return n;
}

void signal_handler(int signo)
{
    running.store(false);
    if (g_announce_signals.load()) {
        int saved = errno;
        char line[64];
        std::size_t n = format_signal_line(line, sizeof line, signo);
        ssize_t w = ::write(STDOUT_FILENO, line, n);
        (void)w;
        errno = saved;
    }
}

void install_signal_handlers(bool announce_signals)
{
    g_announce_signals.store(announce_signals);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = signal_handler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void write_log_line(const char* prefix, const std::string& text)
{
    std::string line;
    line.reserve(std::strlen(prefix) + text.size() + 1);
    line += prefix;
    line += text;
    line += '\n';
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t w = ::write(STDOUT_FILENO, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += w;
        left -= std::size_t(w);
    }
}

static void put_line(FILE* stream, const std::string& text)
{
    std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

void out_line(const std::string& text) { put_line(stdout, text); }
void err_line(const std::string& text) { put_line(stderr, text); }

std::string destination_filter(const std::string& servername)
{
    return "dest = '" + servername + "'";
}

void service_bus_init(Vantrel*& part, unsigned char domain, const std::string& name,
                      const std::string& servername, Vantrel::LogFunction log,
                      const std::vector<std::string>& publishes, const TopicCallbacks& subscribes,
                      const std::string& request_topic)
{
    if (part != nullptr) return;
    std::string filter = destination_filter(servername);
    part = new Vantrel(domain, BUS_SETTLE_MS, name, std::move(log));
    for (const auto& topic : publishes) part->create_pub(topic);
    // Requests may wait while a device is slow; a repeat of one still
    // waiting is answered by it. Commands are each carried out.
    for (const auto& sub : subscribes) {
        if (!request_topic.empty() && sub.first == request_topic) {
            vantrel_create_request_sub(*part, sub.first, sub.second, filter);
        } else {
            part->create_sub(sub.first, sub.second, filter, {});
        }
    }
}

void service_publish(Vantrel* part, const std::string& topic, const std::string& servername,
                     const std::string& dest, const unsigned char* data, unsigned short size)
{
    if (part == nullptr) return;
    part->publish(topic, servername, dest, "telemetry", const_cast<unsigned char*>(data), size, "", "");
}

void service_bus_release(Vantrel*& part)
{
    if (part == nullptr) return;
    delete part;
    part = nullptr;
}
