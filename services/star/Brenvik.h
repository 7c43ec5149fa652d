// Brenvik: the star sensor service. Up to eight nano and eight pico sensors,
// each on its own serial line; commands become sensor command frames, and a
// telemetry request queries one sensor and answers with a 41-byte record.
#pragma once

#include "bus_endpoint.h"
#include "star_protocol.h"

#include <cstdint>
#include "line_return.h"

#include <mutex>
#include <string>
#include <vector>

struct Star_Device {
    int32_t fd = -1;
    std::string dev;
    int32_t baud = 0;
    uint8_t head_err_cnt = 0;
    uint8_t check_err_cnt = 0;
    uint8_t length_err_cnt = 0;
    uint8_t uart_reset_cnt = 0;
    uint16_t fault_cnt = 0;
    uint8_t consecutive_fail_cnt = 0;
    uint8_t uart_ready = 0;
    LineReturn line_return;  // opening the line again once it is back
};

struct StarConfig {
    star_type_t type = STAR_NANO;
    std::string device;
    int32_t baudrate = 115200;
    bool enabled = false;
    int32_t star_num = 0;
    bool reopen = true;
};

constexpr int STAR_MAX_SENSORS = 8;
constexpr int STAR_QUERY_ATTEMPTS = 10;
constexpr int STAR_READ_WINDOW_MS = 1000;

extern const std::string servername;
extern const std::string topic_name_cmd;
extern const std::string topic_name_tlm;
extern Vantrel* Brenvik_part;
extern std::mutex cache_mutex;
extern Star_Device nano_stars[STAR_MAX_SENSORS];
extern Star_Device pico_stars[STAR_MAX_SENSORS];
extern uint8_t UTC_TIME_SET[5];
extern uint8_t CMD_ESD_S_DATA[STAR_MAX_FRAME];

// Configuration: fills up to `max` accepted entries, returns their number or
// -1 when the file cannot be used.
int parse_config_file(const std::string& path, StarConfig* configs, int max);

int star_uart_init(star_type_t type, uint8_t num, const std::string& dev, int baudrate);
// "NANO STAR1 line /dev/ttyUSB0": how the messages of an outage name a line.
std::string star_line_text(star_type_t type, uint8_t num, const Star_Device& d);
int send_star_cmd(star_type_t type, uint8_t num, SENSOR_Cmder code, uint8_t param);
int read_single_star_data(star_type_t type, uint8_t num, SENSOR_Cmder code, Brenvik_Frame* record);
void update_fault_count(Star_Device* device);

// The device record of a type and number, or nullptr when either is invalid.
Star_Device* star_device(int type, int num);

// Fills what a telemetry request for (type, number) is answered with: the
// decoded record, or zeros with type and number after a failure (logged).
// Takes cache_mutex. Returns the query's status.
int star_telemetry_reply(uint8_t type, uint8_t num, Brenvik_Frame& record);

void command_callback(std::string src, std::string dest, std::string type, std::string s4, std::string s5,
                      std::vector<unsigned char>& data);
void telemetry_callback(std::string src, std::string dest, std::string type, std::string s4, std::string s5,
                        std::vector<unsigned char>& data);

void Fastdds_init(unsigned char domain, std::string name);
void Brenvik_telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size);
void BrenvikWriteLog(const std::string& text);
void Brenvik_cleanup();

// The whole service: configuration from `config_path`, lines, bus, idle
// loop until a signal, clean-up. Returns the process exit status.
int Brenvik_main(const std::string& config_path);
