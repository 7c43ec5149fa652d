// Corvane: the GNC console. Binds as "Gnc_Service", sends its bootstrap
// commands once, polls every hardware service once a second and prints
// every command and telemetry record addressed to it.
#pragma once

#include "bus_endpoint.h"
#include "vision_record.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

enum DeviceSource : int32_t {
    SOURCE_UNKNOWN = 0,
    SOURCE_STAR = 1,
    SOURCE_GYRO = 2,
    SOURCE_MEMS = 3,
    SOURCE_FLYWHEEL = 4,
    SOURCE_GNSS = 5,
    SOURCE_VISION = 6,
    SOURCE_OPTICAL = 7,
};


extern const std::string servername;
extern const std::string topic_name_cmd;
extern const std::string topic_name_tlm;
extern Vantrel* Corvane_part;
extern const std::map<std::string, DeviceSource> sourceMap;
extern std::mutex telemetry_mutex;

// One bus message the console sends: destination and payload.
struct ConsoleMessage {
    std::string dest;
    std::vector<unsigned char> payload;
};
// The bootstrap commands, in sending order, and one polling cycle.
const std::vector<ConsoleMessage>& bootstrap_commands();
const std::vector<ConsoleMessage>& polling_requests();
// Type label of the console's telemetry requests.
extern const std::string TELEMETRY_REQUEST_TYPE;

void Corvane_init(unsigned char domain, std::string name);
void Corvane_command_Pub(unsigned char* data, std::string dest, unsigned short size);
void Corvane_telemetry_Pub(unsigned char* data, std::string dest, unsigned short size);
void CorvaneWriteLog(const std::string& text);

DeviceSource getDeviceSource(const std::string& name);
std::string recogValidToString(unsigned char v);
std::string sightFlagToString(unsigned char v);
void printRecResult(const RecResult& r, const std::string& name);

// Formatting, separated from the bus callbacks so it can be checked as text.
void print_rec_result(std::ostream& out, const RecResult& r, const std::string& name);
void print_command_echo(std::ostream& out, const std::string& src, const std::string& dest,
                        const std::string& type, const std::vector<unsigned char>& data);
void print_telemetry(std::ostream& out, const std::string& src, const std::vector<unsigned char>& data);

void command_callback(std::string src, std::string dest, std::string type, std::string s4,
                      std::string s5, std::vector<unsigned char>& data);
void telemetry_callback(std::string src, std::string dest, std::string type, std::string s4,
                        std::string s5, std::vector<unsigned char>& data);

// The polling period: 1000 ms, or CORVANE_POLL_PERIOD_MS from the
// environment (10 to 60000; soak runs poll faster).
unsigned polling_period_ms();

// When the polling cycle after the one due at `due` starts: one period
// later, or at once if that time has already passed (a stalled cycle is
// followed by one cycle, not by a burst of the missed ones).
std::chrono::steady_clock::time_point next_polling_cycle(std::chrono::steady_clock::time_point due,
                                                         std::chrono::steady_clock::time_point now,
                                                         std::chrono::milliseconds period);

// Bootstrap, then poll until `running` is cleared (or `cycles` times when
// non-zero).
void Corvane_run(unsigned long cycles = 0);

// Leaves the bus: deletes the endpoint, waiting for running callbacks.
void Corvane_stop();
