// Pellwyn: the vision unit's service. Commands from the bus become command
// frames on the unit's line; each accepted telemetry request makes one
// health query and publishes the vision record, the line statistics and the
// raw answer.
#pragma once

#include "bus_endpoint.h"
#include "serial_port.h"
#include "timed_query.h"
#include "vision_protocol.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

using VISION_Serial_Frame = Line_Serial_Frame;

struct VisionConfig {
    std::string device;
    int32_t baudrate = 115200;
    bool reopen = true;
};

extern const std::string servername;
extern const std::string topic_name_tlm;
extern const std::string topic_name_raw_tlm;
extern const std::string topic_name_cmd;
extern Vantrel* Pellwyn_part;
// Held for a whole query and for every command frame, so that a command
// never lands inside a query and the device record has one writer at a time.
extern std::mutex vision_cache_mutex;
extern Serial_Device vision_device;

const char* vision_strerror(int code);
int vision_uart_init(const char* device, int baudrate);
int Vision_send_Buffer(const uint8_t* data, uint16_t length);
void send_VISION_SENSOR_Cmder(uint8_t number, float value);
void send_VISION_SENSOR_Q(const float* quaternion, uint8_t extra);
void send_VISION_SENSOR_time(uint32_t seconds, uint16_t milliseconds);
int read_vision_data(VISION_Info_Frame* record, VISION_Serial_Frame* statistics, uint8_t* raw);
int parse_vision_config_file(const char* path, VisionConfig* config);

// The records one accepted request produces, in publishing order.
struct VisionReply {
    int status;
    uint8_t gnc[VISION_GNC_RECORD_LEN];
    VISION_Serial_Frame line;
    uint8_t raw[VISION_ANSWER_LEN];
};
// Runs one query under vision_cache_mutex and builds the three records.
VisionReply vision_telemetry_reply();

void command_callback(std::string src, std::string dest, std::string type, std::string s4, std::string s5,
                      std::vector<unsigned char>& data);
void telemetry_callback(std::string src, std::string dest, std::string type, std::string s4, std::string s5,
                        std::vector<unsigned char>& data);
void telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size);
void raw_telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size);
void Fastdds_init(unsigned char domain, std::string name);
void PellwynWriteLog(const std::string& text);
void Pellwyn_cleanup();
int Pellwyn_main(int argc, char** argv);
