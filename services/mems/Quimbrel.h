// Quimbrel: the MEMS inertial unit service. Works like the gyro service with
// its own 44-byte answer, a calibration loaded with every line set-up, and a
// configuration that falls back to built-in defaults.
#pragma once

#include "bus_endpoint.h"
#include "rate_exchange.h"
#include "serial_port.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

using MEMS_Info_Frame = Rate_Info_Frame;
using MEMS_Serial_Frame = Rate_Serial_Frame;

struct MemsConfig {
    std::string device;
    int32_t baudrate = 115200;
    bool reopen = true;
};

// The line record plus what only the MEMS unit keeps: failed request writes
// and the calibration (zero until the first successful set-up).
struct Mems_Device : Serial_Device {
    uint8_t send_fail_cnt = 0;
    float mems_K[3] = {0.0f, 0.0f, 0.0f};
    float mems_w0[3] = {0.0f, 0.0f, 0.0f};
};

constexpr std::size_t MEMS_ANSWER_LEN = 44;
constexpr uint8_t MEMS_SERIAL_ID = 4;
constexpr std::size_t MEMS_GNC_RECORD_LEN = RATE_GNC_RECORD_LEN;
extern const char* const MEMS_FALLBACK_DEVICE;  // "/dev/tnt5"

extern const std::string servername;
extern const std::string topic_name_tlm;
extern const std::string topic_name_raw_tlm;
extern Vantrel* MEMS_part;
extern std::mutex mems_cache_mutex;
extern Mems_Device mems_device;

int mems_uart_init(const std::string& dev, int baud);
int send_mems_cmd();
int32_t mems_24bit_to_int32(const uint8_t* p);
uint16_t mems_be16_to_host(uint8_t high, uint8_t low);
int mems_checksum_verify(const uint8_t* frame, int len);
int mems_data_extraction(const uint8_t* frame, MEMS_Info_Frame* info);
int read_mems_data(MEMS_Info_Frame* info, MEMS_Serial_Frame* status, uint8_t* raw);
int parse_mems_config_file(const char* path, MemsConfig* config);

// The configuration the service runs with: the file's, or the fallback
// (with its messages) when the file cannot be used.
MemsConfig mems_effective_config(const char* path);

struct MemsReply {
    int status;
    uint8_t gnc[MEMS_GNC_RECORD_LEN];
    MEMS_Serial_Frame line;
    uint8_t raw[MEMS_ANSWER_LEN];
};
MemsReply mems_telemetry_reply();

void telemetry_callback(std::string src, std::string dest, std::string type, std::string s4, std::string s5,
                        std::vector<unsigned char>& data);
void telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size);
void raw_telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size);
void Fastdds_init(unsigned char domain, std::string name);
void QuimbrelWriteLog(const std::string& text);
void MEMS_hardware_cleanup();
int Quimbrel_main(const std::string& config_path);
