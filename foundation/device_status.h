// Device status codes returned by every serial operation of the hardware
// services, and the per-service tables of texts for them.
#pragma once

enum DevStatus : int {
    DEV_OK = 0,
    DEV_ERR_NOT_OPEN = -1,     // line not open or invalid; failed open/tcgetattr/tcsetattr
    DEV_ERR_SEND = -2,         // request not written completely
    DEV_ERR_NO_RESPONSE = -3,  // no answer after a command
    DEV_ERR_SELECT = -4,       // the wait for input failed
    DEV_ERR_HEADER = -5,       // wrong header byte(s)
    DEV_ERR_PARSE = -6,        // answer not decodable; invalid argument
    DEV_ERR_UNKNOWN = -7,
    DEV_ERR_LENGTH = -8,       // answer of the wrong length
    DEV_ERR_CHECKSUM = -9,
    DEV_ERR_TIMEOUT = -10,     // answer not in time
    DEV_ERR_WHEEL_ID = -20,    // invalid wheel id (flywheel only)
};

// The texts that differ between services; nullptr where a service has no
// entry for the code, which then reads "Unrecognized error".
struct StatusTextTable {
    const char* no_response;  // -3
    const char* timeout;      // -10
    const char* wheel_id;     // -20
};

extern const StatusTextTable OPTICAL_STATUS_TEXTS;
extern const StatusTextTable VISION_STATUS_TEXTS;
extern const StatusTextTable FLYWHEEL_STATUS_TEXTS;
extern const StatusTextTable GYRO_STATUS_TEXTS;

// Static text for a status code in the given service's table.
const char* device_status_text(const StatusTextTable& table, int code);
