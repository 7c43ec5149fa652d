#include "device_status.h"

const StatusTextTable OPTICAL_STATUS_TEXTS = {nullptr, "Timeout while waiting for response", nullptr};
const StatusTextTable VISION_STATUS_TEXTS = {nullptr, "Timeout while waiting for response", nullptr};
const StatusTextTable FLYWHEEL_STATUS_TEXTS = {"No response after sending command", "Timeout",
                                               "Invalid wheel ID"};
const StatusTextTable GYRO_STATUS_TEXTS = {nullptr, "Timeout while waiting for response", nullptr};

const char* device_status_text(const StatusTextTable& table, int code)
{
    const char* text = nullptr;
    switch (code) {
    case DEV_OK: return "OK";
    case DEV_ERR_NOT_OPEN: return "Serial not open or invalid";
    case DEV_ERR_SEND: return "Failed to send command";
    case DEV_ERR_SELECT: return "Select() system call failed";
    case DEV_ERR_HEADER: return "Invalid frame header";
    case DEV_ERR_PARSE: return "Failed to parse data";
    case DEV_ERR_UNKNOWN: return "Unknown error";
    case DEV_ERR_LENGTH: return "Frame length error";
    case DEV_ERR_CHECKSUM: return "Checksum error";
    case DEV_ERR_NO_RESPONSE: text = table.no_response; break;
    case DEV_ERR_TIMEOUT: text = table.timeout; break;
    case DEV_ERR_WHEEL_ID: text = table.wheel_id; break;
    default: break;
    }
    return text ? text : "Unrecognized error";
}
