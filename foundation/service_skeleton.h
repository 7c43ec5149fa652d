// What every hardware service's process shares: the running flag and signal
// handling, the bus binding and publish helpers, and log sinks.
#pragma once

#include "bus_endpoint.h"

#include <atomic>
#include <string>
#include <utility>
#include <vector>

// Cleared by the signal handler; the idle loop re-reads it on every pass.
extern std::atomic<bool> running;
static_assert(std::atomic<bool>::is_always_lock_free, "running must be async-signal-safe");

// Clears `running`. When announce_signals() was given true, also writes
// "[INFO] Received signal <n>, shutting down..." to standard output with
// write(2), which is safe inside a handler.
void signal_handler(int signo);

// Installs signal_handler for SIGINT and SIGTERM.
void install_signal_handlers(bool announce_signals = false);

// Formats the signal line into `buf` without allocating; returns its length.
// Used by the handler, public for tests.
std::size_t format_signal_line(char* buf, std::size_t cap, int signo);

// Writes prefix, text and a newline to standard output as one write.
void write_log_line(const char* prefix, const std::string& text);

// One whole line (text and a newline) to standard output or standard error,
// flushed at once so lines from concurrent callbacks stay whole and reach a
// pipe promptly.
void out_line(const std::string& text);
void err_line(const std::string& text);

// "dest = '<name>'": the filter every subscription of a program carries.
std::string destination_filter(const std::string& servername);

using TopicCallbacks = std::vector<std::pair<std::string, Vantrel::Callback>>;

// Creates the endpoint (domain, settle window 3000 ms, bus name, log) if
// `part` is null, then its publishers and its subscriptions in the given
// order, each filtered on `servername`. The subscription to `request_topic`
// (a service's telemetry requests) merges a repeat of a request still
// waiting (vantrel_create_request_sub); a program that receives records on
// that topic, like the console, leaves it empty. Does nothing when `part`
// exists.
void service_bus_init(Vantrel*& part, unsigned char domain, const std::string& name,
                      const std::string& servername, Vantrel::LogFunction log,
                      const std::vector<std::string>& publishes, const TopicCallbacks& subscribes,
                      const std::string& request_topic = "");

// Publishes `size` bytes with type "telemetry" when the endpoint exists.
void service_publish(Vantrel* part, const std::string& topic, const std::string& servername,
                     const std::string& dest, const unsigned char* data, unsigned short size);

// Deletes the endpoint (waiting for running callbacks) and clears the pointer.
void service_bus_release(Vantrel*& part);

// Bus topic names.
extern const std::string TOPIC_COMMAND;        // "Command"
extern const std::string TOPIC_TELEMETRY;      // "Telemetry"
extern const std::string TOPIC_RAW_TELEMETRY;  // "Raw_Telemetry"

// The settle window every program gives its endpoint (milliseconds).
constexpr unsigned short BUS_SETTLE_MS = 3000;
