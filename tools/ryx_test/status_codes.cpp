#include "status_codes.h"

#include <ryx.h>

#include <cstdio>
#include <cstring>

namespace ryx_test {

namespace {

struct StatusCode {
    uint32_t code;
    const char* name;
    const char* meaning;
};

// One row per code of <ryx.h>; a row's name is its code's own.
#define ROW(code, meaning) \
    { code, #code, meaning }
constexpr StatusCode kStatusCodes[] = {
    ROW(RYX_SUCCESS, "success"),
    ROW(RYX_ERROR_FILE_NOT_FOUND, "there is no such serial port"),
    ROW(RYX_ERROR_ACCESS_DENIED, "the port is in use or not permitted"),
    ROW(RYX_ERROR_INVALID_HANDLE, "the reader is not open"),
    ROW(RYX_ERROR_NOT_ENOUGH_MEMORY, "an allocation failed"),
    ROW(RYX_ERROR_GEN_FAILURE, "no valid frame or reply from the reader"),
    ROW(RYX_ERROR_INVALID_PARAMETER,
        "an argument was refused (a slot past the reader's count, a rate it does not know, ...)"),
    ROW(RYX_ERROR_INSUFFICIENT_BUFFER, "a reply is longer than the buffer meant for it"),
    ROW(RYX_ERROR_INVALID_NAME, "the port name is not well-formed"),
    ROW(RYX_ERROR_NO_MEDIA_IN_DRIVE, "the reader reports no card in the slot"),
    ROW(RYX_ERROR_IO_DEVICE, "the serial port failed"),
    ROW(RYX_ERROR_TIMEOUT, "the card is mute"),
    ROW(RYX_ERROR_UNRECOGNIZED_MEDIA, "the card's ATR is malformed"),
    ROW(RYX_E_PROTO_MISMATCH, "the card offers no protocol that was asked for"),
    ROW(RYX_W_UNSUPPORTED_CARD, "the card's ATR cannot be used"),
    ROW(RYX_W_UNRESPONSIVE_CARD, "the card did not answer the reset"),
    ROW(RYX_W_UNPOWERED_CARD, "the card in the slot is not powered"),
    ROW(RYX_W_REMOVED_CARD, "there is no card in the slot"),
};
#undef ROW

}  // namespace

std::string DescribeStatus(uint32_t status) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", status);
    for (const StatusCode& row : kStatusCodes) {
        if (row.code == status) {
            return std::string(row.name) + " (" + hex + "): " + row.meaning;
        }
    }
    if ((status & RYX_ERROR_SYSTEM_BIT) != 0 && (status & ~RYX_ERROR_SYSTEM_BIT) <= 0xFFFF) {
        const int error = static_cast<int>(status & ~RYX_ERROR_SYSTEM_BIT);
        return "system error " + std::to_string(error) + " (" + hex + "): " + std::strerror(error);
    }
    return std::string("unknown code (") + hex + ")";
}

}  // namespace ryx_test
