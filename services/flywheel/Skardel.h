// Skardel: the reaction wheel service. Up to eight wheels, each on its own
// line. Commands become 11-byte wheel frames; the main loop takes in the
// status frames the wheels stream and keeps each wheel's last good status,
// from which telemetry requests are answered.
#pragma once

#include "bus_endpoint.h"
#include "flywheel_protocol.h"
#include "line_return.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

constexpr int FLYWHEEL_MAX = 8;

struct Flywheel_Device {
    int32_t fd = -1;
    std::string dev;
    int32_t baud = 0;
    uint8_t hardware_id = 0;
    uint16_t head_err_cnt = 0;
    uint16_t check_err_cnt = 0;
    uint16_t length_err_cnt = 0;
    uint16_t uart_reset_cnt = 0;
    Flywheel_Info_Frame info_frame{};
    Flywheel_Serial_Frame serial_frame{};
    uint8_t raw_frame[FLYWHEEL_FRAME_LEN] = {};
    FlywheelFrameAssembler rx;  // bytes received but not yet taken as frames
    bool line_lost = false;     // reported readable but gave nothing: hung up
    // Just opened: the wheel streams whether we listen or not, so the first
    // bytes may be the tail of a frame sent before the line was open. Fewer
    // than a frame's worth skipped before the first header is no fault.
    bool joining = true;
    std::size_t joining_skipped = 0;
    LineReturn line_return;     // opening the line again once it is back
};

struct Flywheel_Cmd {
    uint8_t cmd = 0;
    float value1 = 0.0f;
    float value2 = 0.0f;
    uint8_t pending = 0;
};

struct FlywheelConfig {
    int32_t id = 0;  // as configured: a number outside 0..7 is refused, never wrapped
    std::string device;
    int32_t baudrate = 115200;
    uint8_t hardware_id = 0;
    bool reopen = true;
};

extern const std::string servername;
extern const std::string topic_name_cmd;
extern const std::string topic_name_tlm;
extern const std::string topic_name_raw_tlm;
extern Vantrel* Skardel_part;
extern std::mutex cache_mutex;
extern Flywheel_Device flywheels[FLYWHEEL_MAX];
extern Flywheel_Cmd cmd_cache[FLYWHEEL_MAX];
extern uint8_t flywheel_count;

int parse_flywheel_config_file(const std::string& path, FlywheelConfig* configs, int max);
int flywheel_uart_init(uint8_t id, const std::string& dev, int baudrate, uint8_t hardware_id);
// Sets up every configured wheel in file order; sets and returns
// flywheel_count.
uint8_t flywheel_open_configured(const FlywheelConfig* configs, int n);
int send_flywheel_command(uint8_t index);
int check_and_receive_serial_data();
// Waits at most `max_wait` for bytes on a wheel line; true when some line
// has bytes. Lines that hung up are not waited on.
bool wait_for_wheel_bytes(std::chrono::milliseconds max_wait);
// True while some wheel's buffer holds bytes not yet taken as a frame.
bool wheel_bytes_pending();
int parse_flywheel_frame(uint8_t index, const uint8_t* frame, Flywheel_Info_Frame* info,
                         Flywheel_Serial_Frame* stats);

// The three pieces a telemetry request for bus wheel number `wheel` is
// answered with; false when the request is to be ignored.
struct FlywheelReply {
    Flywheel_Info_Frame info;
    Flywheel_Serial_Frame stats;
    uint8_t raw[FLYWHEEL_FRAME_LEN];
};
bool flywheel_telemetry_reply(const std::string& type, const std::vector<unsigned char>& data, FlywheelReply& reply);

void command_callback(std::string src, std::string dest, std::string type, std::string s4, std::string s5,
                      std::vector<unsigned char>& data);
void telemetry_callback(std::string src, std::string dest, std::string type, std::string s4, std::string s5,
                        std::vector<unsigned char>& data);
void telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size);
void raw_telemetry_Pub(unsigned char* data, const std::string& dest, unsigned short size);
void Fastdds_init(unsigned char domain, std::string name);
void SkardelWriteLog(const std::string& text);
void Skardel_cleanup();
int Skardel_main(int argc, char** argv);
