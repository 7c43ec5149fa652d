#include "gncweb.h"

#include "service_skeleton.h"
#include "telemetry_records.h"

#include <cerrno>
#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace gncweb {

using namespace std::chrono_literals;

const char* const USAGE = R"(gncweb: the bench's web mission console

  gncweb [--db FILE] [--listen HOST:PORT] [--token TOKEN]
         [--retention-hours H] [--web-root DIR]
  gncweb --review --db FILE [--listen HOST:PORT] [--web-root DIR]

Joins the bus as "Gncweb" and takes in every telemetry record the services
send, whoever asked for it (the console, gncctl): it polls nothing and sends
nothing unless an operator sends a command from the browser. Every field
becomes a value "<device>.<field>" (wheel1.speed, gyro.x) stored in SQLite
with its arrival time; every device seen also gets its line health:
header_errors, check_errors, length_errors, resets, frames_per_s (records per
second over 5 s) and age_s (seconds since its last record), about once a
second. Open http://HOST:PORT/ in a browser for the console.

  --db FILE             SQLite file, created when missing (default
                        ./telemetry.sqlite). Query it by hand with
                        sqlite3 FILE "SELECT * FROM named_samples LIMIT 5"
  --listen HOST:PORT    where to serve (default 127.0.0.1:8090)
  --token TOKEN         commands need "Authorization: Bearer TOKEN"; required
                        when HOST is not a loopback address (the environment
                        variable GNCWEB_TOKEN serves too and stays out of ps)
  --retention-hours H   values older than H hours are deleted, once a minute
                        (default 24; 0 keeps everything)
  --web-root DIR        the browser console's files (default: share/gnc_bench/web
                        beside the installed program, else the source tree's
                        gncweb/web)
  --review              serves a recorded FILE without joining the bus; nothing
                        is written or deleted and commands are refused
  -h, --help            this text

HTTP interface (JSON): GET /api/dictionary, /api/history?key=K&start=MS&end=MS
(at most 100000 values, thinned evenly beyond), /api/stream[?keys=k1,k2]
(Server-Sent Events), /api/commands, /api/status; POST /api/command
{"device","command","args"}. Refused requests are logged on standard error.

Stops cleanly on SIGINT or SIGTERM (exit 0) after committing every value
received. Exit 1 when the database, the port or the bus cannot be had, 2 for
a bad command line.
)";

// ---------------------------------------------------------------------------
// Command line

namespace {

bool parse_int(const std::string& s, long long& v)
{
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && !s.empty();
}

}  // namespace

bool is_loopback(const std::string& host)
{
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::optional<Options> parse_options(const std::vector<std::string>& args, std::string& error, bool& help)
{
    Options o;
    help = false;
    if (const char* t = std::getenv("GNCWEB_TOKEN")) o.token = t;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            help = true;
            return std::nullopt;
        }
        if (a == "--review") {
            o.review = true;
            continue;
        }
        if (a != "--db" && a != "--listen" && a != "--token" && a != "--retention-hours" && a != "--web-root") {
            error = "unknown option '" + a + "'";
            return std::nullopt;
        }
        if (i + 1 >= args.size()) {
            error = a + " needs a value";
            return std::nullopt;
        }
        const std::string& v = args[++i];
        if (a == "--db") {
            o.db = v;
        } else if (a == "--token") {
            o.token = v;
        } else if (a == "--web-root") {
            o.web_root = v;
        } else if (a == "--retention-hours") {
            char* end = nullptr;
            o.retention_hours = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !std::isfinite(o.retention_hours) || o.retention_hours < 0) {
                error = "--retention-hours: '" + v + "' is not a number of hours >= 0";
                return std::nullopt;
            }
        } else {  // --listen
            const auto colon = v.rfind(':');
            long long port = 0;
            if (colon == std::string::npos || !parse_int(v.substr(colon + 1), port) || port < 0 || port > 65535) {
                error = "--listen: '" + v + "' is not HOST:PORT (for instance 127.0.0.1:8090)";
                return std::nullopt;
            }
            o.host = v.substr(0, colon);
            if (o.host.size() > 2 && o.host.front() == '[' && o.host.back() == ']')
                o.host = o.host.substr(1, o.host.size() - 2);
            o.port = int(port);
            if (o.host.empty()) {
                error = "--listen: '" + v + "' has no host";
                return std::nullopt;
            }
        }
    }
    if (!is_loopback(o.host) && o.token.empty()) {
        error = "--listen " + o.host + " is reachable from other hosts: give --token TOKEN so that commands need it";
        return std::nullopt;
    }
    return o;
}

std::string default_web_root()
{
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string dir(exe, std::size_t(n));
        dir = dir.substr(0, dir.rfind('/'));
        const std::string installed = dir + "/../share/gnc_bench/web";
        struct stat st {};
        if (stat(installed.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return installed;
    }
    return GNCWEB_SOURCE_WEB_ROOT;
}

// ---------------------------------------------------------------------------
// Dictionary and command list

namespace {

struct HealthField {
    const char* key;
    const char* unit;
    bool integer;
    const char* description;
};
const HealthField HEALTH_FIELDS[] = {
    {"header_errors", "", true, "line: frames with a bad header"},
    {"check_errors", "", true, "line: frames with a bad checksum"},
    {"length_errors", "", true, "line: frames of the wrong length"},
    {"resets", "", true, "line: line resets"},
    {"frames_per_s", "frames/s", false, "line: records per second over the last 5 s"},
    {"age_s", "s", false, "line: seconds since the last record"},
};

std::string display_name(const std::string& device)
{
    static const std::pair<const char*, const char*> families[] = {
        {"nano", "Nano star sensor "}, {"pico", "Pico star sensor "}, {"wheel", "Wheel "}};
    for (const auto& [prefix, name] : families)
        if (device.rfind(prefix, 0) == 0) return name + device.substr(std::string(prefix).size());
    if (device == "mems") return "MEMS";
    std::string s = device;
    s[0] = char(std::toupper(static_cast<unsigned char>(s[0])));
    return s;
}

Json::Value json_limit(double v) { return std::isfinite(v) ? Json::Value(v) : Json::Value(); }

std::string to_json(const Json::Value& v)
{
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, v);
}

Json::Value error_body(const std::string& text)
{
    Json::Value e;
    e["error"] = text;
    return e;
}

}  // namespace

const std::vector<std::string>& operator_devices()
{
    static const std::vector<std::string> devices = [] {
        std::vector<std::string> v;
        for (const auto& d : telemetry::device_names())
            if (d != "gnss") v.push_back(d);
        return v;
    }();
    return devices;
}

Json::Value dictionary()
{
    Json::Value all(Json::arrayValue);
    for (const auto& device : operator_devices()) {
        Json::Value d;
        d["device"] = device;
        d["name"] = display_name(device);
        Json::Value& fields = d["fields"] = Json::Value(Json::arrayValue);
        auto add = [&](const std::string& key, const std::string& unit, bool integer, const std::string& description) {
            Json::Value f;
            f["key"] = device + "." + key;
            f["name"] = key;
            f["unit"] = unit;
            f["format"] = integer ? "integer" : "float";
            f["description"] = description;
            if (key == "age_s") f["limits"]["warning_above"] = 3;
            fields.append(f);
        };
        for (const auto& f : telemetry::device_fields(device))
            if (!bus::is_line_count(f.key)) add(f.key, f.unit, f.integer, f.description);
        for (const auto& h : HEALTH_FIELDS) add(h.key, h.unit, h.integer, h.description);
        all.append(d);
    }
    return all;
}

const std::set<std::string>& dictionary_keys()
{
    static const std::set<std::string> keys = [] {
        std::set<std::string> k;
        for (const auto& d : dictionary())
            for (const auto& f : d["fields"]) k.insert(f["key"].asString());
        return k;
    }();
    return keys;
}

Json::Value command_list()
{
    static const char* const type_names[] = {"unsigned", "signed", "real"};
    Json::Value all(Json::arrayValue);
    for (const auto& device : operator_devices()) {
        const auto& list = commands::device_commands(device);
        if (list.empty()) continue;
        Json::Value d;
        d["device"] = device;
        Json::Value& cmds = d["commands"] = Json::Value(Json::arrayValue);
        for (const auto& c : list) {
            Json::Value cj;
            cj["name"] = c.name;
            cj["aliases"] = Json::Value(Json::arrayValue);
            for (const auto& a : c.aliases) cj["aliases"].append(a);
            cj["help"] = c.help;
            cj["args"] = Json::Value(Json::arrayValue);
            for (const auto& a : c.args) {
                Json::Value aj;
                aj["name"] = a.name;
                aj["type"] = type_names[int(a.type)];
                aj["min"] = json_limit(a.min);
                aj["max"] = json_limit(a.max);
                aj["unit"] = a.unit;
                aj["optional"] = a.optional;
                aj["default"] = json_limit(a.fallback);
                aj["help"] = a.help;
                cj["args"].append(aj);
            }
            cmds.append(cj);
        }
        all.append(d);
    }
    return all;
}

// ---------------------------------------------------------------------------
// HTTP

Api::Api(Store& store, Stream& stream, Config config, CommandSender sender, Log log)
    : store_(store), stream_(stream), config_(std::move(config)), sender_(std::move(sender)), log_(std::move(log))
{
    if (!log_) log_ = [](const std::string&) {};
    // Every stream holds a worker for as long as it is open; the pool has
    // room for the streams Stream admits and the other requests beside them.
    server_.new_task_queue = [] { return new httplib::ThreadPool(24); };
    routes();
}

Api::~Api() { stop(); }

bool Api::bind(const std::string& host, int port)
{
    if (port == 0) {
        port_ = server_.bind_to_any_port(host);
        return port_ > 0;
    }
    port_ = port;
    return server_.bind_to_port(host, port);
}

void Api::start()
{
    thread_ = std::thread([this] { server_.listen_after_bind(); });
}

void Api::stop()
{
    server_.stop();
    if (thread_.joinable()) thread_.join();
}

namespace {

void reply(httplib::Response& res, int status, const Json::Value& body)
{
    res.status = status;
    res.set_content(to_json(body), "application/json");
}

bool parse_ms(const httplib::Request& req, const char* name, Ms& v)
{
    long long x = 0;
    if (!req.has_param(name) || !parse_int(req.get_param_value(name), x)) return false;
    v = x;
    return true;
}

// A JSON argument as the command catalog reads it.
std::optional<std::string> argument_text(const Json::Value& v)
{
    if (v.isString()) return v.asString();
    if (v.isIntegral()) return v.isUInt64() ? std::to_string(v.asUInt64()) : std::to_string(v.asInt64());
    if (v.isDouble()) return json_number(v.asDouble());
    return std::nullopt;
}

bool same_token(const std::string& a, const std::string& b)
{
    // Time independent of where they differ.
    unsigned char diff = a.size() != b.size();
    for (std::size_t i = 0; i < a.size(); ++i) diff |= (unsigned char)(a[i] ^ b[i % std::max<std::size_t>(1, b.size())]);
    return diff == 0;
}

}  // namespace

void Api::routes()
{
    if (!config_.web_root.empty() && !server_.set_mount_point("/", config_.web_root))
        log_("[WARN] web root " + config_.web_root + " is not a directory: only the HTTP interface is served");

    server_.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        if (res.status < 400) return;
        std::string why = res.body.size() > 300 ? res.body.substr(0, 300) + "..." : res.body;
        log_("refused " + req.method + " " + req.path + " from " + req.remote_addr + ": " +
             std::to_string(res.status) + (why.empty() ? "" : " " + why));
    });

    const std::string dictionary_json = to_json(dictionary());
    server_.Get("/api/dictionary", [dictionary_json](const httplib::Request&, httplib::Response& res) {
        res.set_content(dictionary_json, "application/json");
    });
    const std::string commands_json = to_json(command_list());
    server_.Get("/api/commands", [commands_json](const httplib::Request&, httplib::Response& res) {
        res.set_content(commands_json, "application/json");
    });

    server_.Get("/api/status", [this](const httplib::Request&, httplib::Response& res) {
        Json::Value s;
        s["mode"] = config_.review ? "review" : "live";
        s["db"] = config_.db_path;
        auto [first, last] = store_.span();
        s["first_ms"] = first ? Json::Value(Json::Int64(*first)) : Json::Value();
        s["last_ms"] = last ? Json::Value(Json::Int64(*last)) : Json::Value();
        reply(res, 200, s);
    });

    server_.Get("/api/history", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string key = req.get_param_value("key");
        if (!dictionary_keys().count(key)) return reply(res, 400, error_body("unknown key '" + key + "'"));
        Ms start = 0, end = 0;
        if (!parse_ms(req, "start", start) || !parse_ms(req, "end", end) || end < start)
            return reply(res, 400, error_body("start and end must be whole milliseconds since the epoch, start <= end"));
        Store::Range r;
        try {
            r = store_.history(key, start, end, config_.history_cap);
        } catch (const std::exception& e) {
            return reply(res, 500, error_body(e.what()));
        }
        std::string body;
        body.reserve(r.points.size() * 40 + 2);
        body += '[';
        for (std::size_t i = 0; i < r.points.size(); ++i) {
            if (i) body += ',';
            body += "{\"t\":";
            body += std::to_string(r.points[i].t);
            body += ",\"value\":";
            body += json_number(r.points[i].value);
            body += '}';
        }
        body += ']';
        if (r.step > 1) res.set_header("X-Gncweb-Thinned", "every " + std::to_string(r.step) + " of " + std::to_string(r.count));
        res.set_content(body, "application/json");
    });

    server_.Get("/api/stream", [this](const httplib::Request& req, httplib::Response& res) {
        std::set<std::string> keys;
        if (req.has_param("keys")) {
            std::string list = req.get_param_value("keys") + ",";
            for (std::size_t at = 0, comma; (comma = list.find(',', at)) != std::string::npos; at = comma + 1) {
                std::string key = list.substr(at, comma - at);
                if (key.empty()) continue;
                if (!dictionary_keys().count(key)) return reply(res, 400, error_body("unknown key '" + key + "'"));
                keys.insert(key);
            }
        }
        auto client = stream_.subscribe(std::move(keys));
        if (!client) return reply(res, 503, error_body("too many streams open; close one and try again"));
        res.set_header("Cache-Control", "no-cache");
        const std::string who = req.remote_addr + ":" + std::to_string(req.remote_port);
        auto last_write = std::make_shared<std::chrono::steady_clock::time_point>();
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, client, who, last_write](std::size_t, httplib::DataSink& sink) {
                std::string out;
                const auto now = std::chrono::steady_clock::now();
                // First an EventSource reconnection delay, which also opens
                // the stream at once; then a comment every 15 s of silence,
                // so that a client that has gone is noticed.
                if (*last_write == std::chrono::steady_clock::time_point()) out = "retry: 2000\n\n";
                if (!client->take(out, 500ms)) {
                    log_("dropped stream client " + who + ": it fell behind by more than its queue holds");
                    return false;
                }
                if (out.empty() && now - *last_write >= 15s) out = ": keep-alive\n\n";
                if (out.empty()) return true;
                *last_write = now;
                return sink.write(out.data(), out.size());
            },
            [this, client](bool) { stream_.unsubscribe(client); });
    });

    server_.Post("/api/command",
                 [this](const httplib::Request& req, httplib::Response& res) { command(req, res); });
}

void Api::command(const httplib::Request& req, httplib::Response& res)
{
    if (!config_.token.empty() && !same_token(req.get_header_value("Authorization"), "Bearer " + config_.token))
        return reply(res, 401, error_body("commands need the header 'Authorization: Bearer TOKEN'"));
    Json::Value body;
    {
        Json::CharReaderBuilder b;
        std::unique_ptr<Json::CharReader> reader(b.newCharReader());
        std::string errors;
        if (!reader->parse(req.body.data(), req.body.data() + req.body.size(), &body, &errors) || !body.isObject())
            return reply(res, 400, error_body("the body must be a JSON object {\"device\",\"command\",\"args\"}"));
    }
    const Json::Value& device = body["device"];
    const Json::Value& name = body["command"];
    const Json::Value& args = body.isMember("args") ? body["args"] : Json::Value(Json::arrayValue);
    if (!device.isString() || !(name.isString() || name.isIntegral()) || !args.isArray())
        return reply(res, 400, error_body("device and command must be given, args as an array"));
    std::vector<std::string> words;
    for (const auto& a : args) {
        auto text = argument_text(a);
        if (!text) return reply(res, 400, error_body("each argument must be a string or a number"));
        words.push_back(*text);
    }
    commands::BuildResult b = commands::build_command(device.asString(), *argument_text(name), words);
    if (!b.ok) return reply(res, 400, error_body(b.error + "; nothing was sent"));
    if (config_.review || !sender_)
        return reply(res, 503, error_body("reviewing a recorded run: gncweb is not on the bus, nothing was sent"));
    std::string hex;
    for (uint8_t byte : b.built.payload) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    CommandStatus status;
    {
        std::lock_guard<std::mutex> lock(command_mutex_);
        status = sender_(b.built);
    }
    if (status == CommandStatus::NotOnBus)
        return reply(res, 503, error_body(b.built.service + " is not on the bus; nothing was sent"));
    if (status == CommandStatus::NotTaken)
        return reply(res, 504, error_body("sent to " + b.built.service + " (" + hex +
                                              "), but the service did not take it within 5 s"));
    Json::Value ok;
    ok["sent"] = true;
    ok["service"] = b.built.service;
    ok["payload"] = hex;
    log_("command " + device.asString() + " " + *argument_text(name) + " sent to " + b.built.service + " (" + hex + ")");
    reply(res, 200, ok);
}

// ---------------------------------------------------------------------------
// The program

int run(const std::vector<std::string>& args)
{
    std::string error;
    bool help = false;
    std::optional<Options> o = parse_options(args, error, help);
    if (help) {
        out_line(USAGE);
        return 0;
    }
    if (!o) {
        err_line("gncweb: " + error + " (gncweb --help)");
        return 2;
    }
    Log log = [](const std::string& text) { err_line("gncweb: " + text); };

    std::unique_ptr<Store> store;
    try {
        Store::Options so;
        so.path = o->db;
        so.review = o->review;
        so.retention_hours = o->retention_hours;
        store = std::make_unique<Store>(so, log);
    } catch (const std::exception& e) {
        log(std::string("[ERROR] cannot open the database: ") + e.what());
        return 1;
    }

    install_signal_handlers(false);
    Stream stream;
    std::unique_ptr<bus::Client> client;
    if (!o->review) {
        client = std::make_unique<bus::Client>(BUS_NAME, [log](const std::string& text) {
            if (text.find("[ERROR]") != std::string::npos) log(text);
        });
        if (!client->ok()) {
            log("[ERROR] cannot join the bus as " + std::string(BUS_NAME));
            return 1;
        }
    }
    // gncweb has been on the bus long before most commands: a service not
    // matched by then is not there. At start, its announcement may still be
    // on the way, hence the short wait. No joining again, unlike gncctl: that
    // would lose the records waiting in the client.
    CommandSender sender;
    if (client) {
        sender = [&client](const commands::Built& b) {
            const auto until = bus::Clock::now() + 2500ms;
            while (!client->matched(bus::TOPIC_COMMAND, b.service)) {
                if (bus::Clock::now() >= until || !running) return CommandStatus::NotOnBus;
                std::this_thread::sleep_for(10ms);
            }
            client->send(b);
            return client->acknowledged(bus::TOPIC_COMMAND, b.service, bus::Clock::now() + 5s)
                       ? CommandStatus::Taken
                       : CommandStatus::NotTaken;
        };
    }

    Api::Config ac;
    ac.web_root = o->web_root.empty() ? default_web_root() : o->web_root;
    ac.token = o->token;
    ac.review = o->review;
    ac.db_path = o->db;
    Api api(*store, stream, ac, sender, log);
    if (!api.bind(o->host, o->port)) {
        log("[ERROR] cannot listen on " + o->host + ":" + std::to_string(o->port) +
            " (in use, or not an address of this host)");
        return 1;
    }
    api.start();
    out_line("[INFO] gncweb " + std::string(o->review ? "reviewing " : "recording to ") + o->db + ", serving http://" +
             (o->host.find(':') != std::string::npos ? "[" + o->host + "]" : o->host) + ":" +
             std::to_string(api.port()) + "/ (web root " + ac.web_root + ")");

    if (client) {
        // Ingest: every observation into the store and the stream, and the
        // line health once a second.
        LineHealth health;
        auto next_tick = bus::Clock::now() + 1s;
        while (running) {
            if (auto obs = client->next(std::min(next_tick, bus::Clock::now() + 200ms))) {
                auto samples = health.observe(*obs);
                store->add(samples);
                stream.publish(samples);
            }
            if (bus::Clock::now() >= next_tick) {
                next_tick += 1s;
                if (next_tick < bus::Clock::now()) next_tick = bus::Clock::now() + 1s;
                auto samples = health.tick(bus::Clock::now(), wall_ms(std::chrono::system_clock::now()));
                store->add(samples);
                stream.publish(samples);
            }
        }
    } else {
        while (running) std::this_thread::sleep_for(100ms);
    }

    api.stop();
    client.reset();
    store->close();
    out_line("[INFO] gncweb stopped: " + std::to_string(store->written()) + " value(s) stored" +
             (store->dropped() ? ", " + std::to_string(store->dropped()) + " not stored (queue full or disk error)"
                               : std::string()));
    return 0;
}

}  // namespace gncweb
