// Zentaro: the gyro service. One serial line; each accepted telemetry
// request makes one exchange with the gyro and publishes the three-axis
// record, the line statistics and the raw answer.
#pragma once

#include "bus_endpoint.h"
#include "rate_exchange.h"
#include "serial_port.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

using GYRO_Info_Frame = Rate_Info_Frame;
using GYRO_Serial_Frame = Rate_Serial_Frame;

struct GyroConfig {
    std::string device;
    int32_t baudrate = 115200;
    bool enabled = true;
    bool reopen = true;
};

constexpr std::size_t GYRO_ANSWER_LEN = 27;
constexpr uint8_t GYRO_SERIAL_ID = 3;
// To the console: the three-axis record, the line statistics and the
// reset-enable state (this service resets its line: 1).
constexpr std::size_t GYRO_GNC_RECORD_LEN = RATE_GNC_RECORD_LEN;

extern const std::string servername;
extern const std::string topic_name_tlm;
extern const std::string topic_name_raw_tlm;
extern Vantrel* Zentaro_part;
extern std::mutex cache_mutex;
extern Serial_Device gyro_device;
extern const float gyro_K[3];
extern const float gyro_w0[3];

const char* gyro_strerror(int code);
int gyro_uart_init(const std::string& dev, int baud);
int32_t convert_24bit_to_int32(const uint8_t* p);
int gyro_data_extraction(const uint8_t* frame, GYRO_Info_Frame* info);
int read_gyro_angle_delta(GYRO_Info_Frame* info, GYRO_Serial_Frame* status, uint8_t* raw);
int parse_gyro_config_file(const char* path, GyroConfig* config);

// The records one accepted request produces, in publishing order.
struct GyroReply {
    int status;
    uint8_t gnc[GYRO_GNC_RECORD_LEN];
    GYRO_Serial_Frame line;
    uint8_t raw[GYRO_ANSWER_LEN];
};
// Runs one exchange under cache_mutex and builds the three records.
GyroReply gyro_telemetry_reply();

void telemetry_callback(std::string src, std::string dest, std::string type, std::string s4, std::string s5,
                        std::vector<unsigned char>& data);
void telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size);
void raw_telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size);
void Fastdds_init(unsigned char domain, std::string name);
void ZentaroWriteLog(const std::string& text);
void Zentaro_cleanup();
int Zentaro_main(int argc, char** argv);
