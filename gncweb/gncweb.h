// gncweb: the bench's web mission console (gncweb --help). Observes every
// record on the bus as "Gncweb", keeps every value in SQLite (store.h) and
// serves the browser console and its HTTP interface:
//   GET  /api/dictionary   devices, their fields (units, formats, limits)
//   GET  /api/history      one key's stored values over a time range
//   GET  /api/stream       every value as it arrives (Server-Sent Events)
//   GET  /api/commands     the commands each device takes, with arguments
//   POST /api/command      checks one command and sends it
//   GET  /api/status       live or review, database, stored time span
// and the files of the web root at "/".
#pragma once

#include "command_catalog.h"
#include "feed.h"
#include "store.h"

#include <httplib.h>
#include <json/json.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace gncweb {

extern const char* const USAGE;
constexpr const char* BUS_NAME = "Gncweb";
constexpr std::size_t HISTORY_CAP = 100'000;

struct Options {
    std::string db = "telemetry.sqlite";
    std::string host = "127.0.0.1";
    int port = 8090;
    std::string token;
    double retention_hours = 24;
    std::string web_root;  // empty: see default_web_root
    bool review = false;
};

// nullopt with `error` set for a bad command line, or with `help` set.
std::optional<Options> parse_options(const std::vector<std::string>& args, std::string& error, bool& help);
bool is_loopback(const std::string& host);
// share/gnc_bench/web beside the installed program when it is there, else
// the source tree's gncweb/web.
std::string default_web_root();

// The operator devices (every device but the GNSS receiver, which nothing
// on this bench serves), their fields and line health.
const std::vector<std::string>& operator_devices();
Json::Value dictionary();
const std::set<std::string>& dictionary_keys();
// Devices that take commands, with each command's arguments.
Json::Value command_list();

enum class CommandStatus { Taken, NotOnBus, NotTaken };
using CommandSender = std::function<CommandStatus(const commands::Built&)>;
using Log = std::function<void(const std::string&)>;

class Api {
public:
    struct Config {
        std::string web_root;
        std::string token;        // empty: commands need none
        bool review = false;      // commands are refused (503)
        std::string db_path;
        std::size_t history_cap = HISTORY_CAP;
    };
    Api(Store& store, Stream& stream, Config config, CommandSender sender, Log log);
    ~Api();
    Api(const Api&) = delete;
    Api& operator=(const Api&) = delete;

    // Port 0 takes a free one; port() tells which.
    bool bind(const std::string& host, int port);
    int port() const { return port_; }
    // Serves on a thread of its own until stop().
    void start();
    void stop();

private:
    void routes();
    void command(const httplib::Request& req, httplib::Response& res);

    Store& store_;
    Stream& stream_;
    Config config_;
    CommandSender sender_;
    Log log_;
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex command_mutex_;  // one command on the bus at a time
};

// The whole program; returns its exit status (0 after SIGINT/SIGTERM, 1 when
// it cannot run, 2 for a bad command line).
int run(const std::vector<std::string>& args);

}  // namespace gncweb
