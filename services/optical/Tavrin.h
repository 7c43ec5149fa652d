// Tavrin: the laser-ranging unit's service. Commands from the bus become
// direct, parameter or time frames on the unit's line; each accepted
// telemetry request makes one query of up to ten attempts and publishes the
// ranging record, the line statistics and the raw answer.
#pragma once

#include "bus_endpoint.h"
#include "optical_protocol.h"
#include "serial_port.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct OpticalConfig {
    std::string device;
    int32_t baudrate = 115200;
    bool reopen = true;
};

// What the service counts of the commands it gets from the bus (8-bit,
// wrapping): messages received, commands that passed their length, type and
// number checks, and command frames written whole to the line.
struct OpticalCommandCounts {
    uint8_t received = 0;
    uint8_t accepted = 0;
    uint8_t written = 0;
};

extern const std::string servername;
extern const std::string topic_name_tlm;
extern const std::string topic_name_raw_tlm;
extern const std::string topic_name_cmd;
extern Vantrel* Tavrin_part;
// Held for a whole query and for every command, so that a command frame
// never lands inside a query and the device record has one writer at a time.
extern std::mutex optical_cache_mutex;
extern Serial_Device optical_device;
extern OpticalCommandCounts optical_command_counts;

const char* optical_strerror(int code);
int optical_uart_init(const char* device, int baudrate);
int optical_send_buffer(const uint8_t* data, uint16_t length);
uint8_t send_optical_command(uint8_t number);
int send_optical_param_command(uint8_t number, int32_t parameter);
int send_optical_time_command(uint32_t seconds, uint16_t milliseconds);
int read_optical_data(OPTICAL_GNC_Frame* record, OPTICAL_Serial_Frame* statistics, uint8_t* raw);
int parse_optical_config_file(const char* path, OpticalConfig* config);

// The records one accepted request produces, in publishing order.
struct OpticalReply {
    int status;
    uint8_t gnc[OPTICAL_GNC_RECORD_LEN];
    OPTICAL_Serial_Frame line;
    uint8_t raw[OPTICAL_ANSWER_LEN];
};
// Runs one query under optical_cache_mutex and builds the three records.
OpticalReply optical_telemetry_reply();

void command_callback(std::string src, std::string dest, std::string type, std::string s4, std::string s5,
                      std::vector<unsigned char>& data);
void telemetry_callback(std::string src, std::string dest, std::string type, std::string s4, std::string s5,
                        std::vector<unsigned char>& data);
void telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size);
void raw_telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size);
void Fastdds_init(unsigned char domain, std::string name);
void TavrinWriteLog(const std::string& text);
void Tavrin_cleanup();
int Tavrin_main(int argc, char** argv);
