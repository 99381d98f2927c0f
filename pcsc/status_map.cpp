// The status table. Reasons for the less obvious rows:
// - 31 (no valid frame after the library's own retries) is a communication error, except for the presence poll:
//   there it means the reader no longer answers, and IFD_NO_SUCH_DEVICE makes pcscd mark the reader unavailable
//   instead of polling a dead line as if it were busy.
// - Power actions report every card-side failure as IFD_ERROR_POWER_ACTION (with a zero ATR length), which is what
//   pcscd expects from a failed reset; only a line or reader failure stays what it is.
// - A mute card (1460) is still a card in the slot as far as the presence poll is concerned.
// - Protocol selection: a protocol the card does not offer is IFD_PROTOCOL_NOT_SUPPORTED (pcscd then keeps the
//   card's default protocol); any other failure is IFD_ERROR_PTS_FAILURE (pcscd then refuses the connection).
#include "pcsc/status_map.h"

#include <cstdio>
#include <cstring>

#include <ryx.h>

namespace ryx::pcsc {

namespace {

constexpr RESPONSECODE kComm = IFD_COMMUNICATION_ERROR;
constexpr RESPONSECODE kGone = IFD_NO_SUCH_DEVICE;
constexpr RESPONSECODE kPower = IFD_ERROR_POWER_ACTION;
constexpr RESPONSECODE kPts = IFD_ERROR_PTS_FAILURE;

// clang-format off
constexpr StatusMapping kTable[] = {
    // status                       name                              meaning                                    general / power / presence / protocol
    {RYX_SUCCESS,                    "RYX_SUCCESS",                    "success",                                 IFD_SUCCESS, IFD_SUCCESS, IFD_SUCCESS, IFD_SUCCESS},
    {RYX_ERROR_FILE_NOT_FOUND,       "RYX_ERROR_FILE_NOT_FOUND",       "no such serial port",                     kGone, kGone, kGone, kPts},
    {RYX_ERROR_ACCESS_DENIED,        "RYX_ERROR_ACCESS_DENIED",        "the port is in use or access is denied",  kComm, kComm, kComm, kPts},
    {RYX_ERROR_INVALID_HANDLE,       "RYX_ERROR_INVALID_HANDLE",       "the reader is not open",                  kComm, kComm, kComm, kPts},
    {RYX_ERROR_NOT_ENOUGH_MEMORY,    "RYX_ERROR_NOT_ENOUGH_MEMORY",    "out of memory",                           kComm, kComm, kComm, kPts},
    {RYX_ERROR_GEN_FAILURE,          "RYX_ERROR_GEN_FAILURE",          "the reader did not answer",               kComm, kComm, kGone, kPts},
    {RYX_ERROR_INVALID_PARAMETER,    "RYX_ERROR_INVALID_PARAMETER",    "an invalid argument or not a serial port", kComm, kComm, kComm, kPts},
    {RYX_ERROR_INSUFFICIENT_BUFFER,  "RYX_ERROR_INSUFFICIENT_BUFFER",  "a reply was longer than its buffer",      IFD_ERROR_INSUFFICIENT_BUFFER, kPower, kComm, kPts},
    {RYX_ERROR_INVALID_NAME,         "RYX_ERROR_INVALID_NAME",         "the port name is not well-formed",        kComm, kComm, kComm, kPts},
    {RYX_ERROR_NO_MEDIA_IN_DRIVE,    "RYX_ERROR_NO_MEDIA_IN_DRIVE",    "no card in the slot",                     IFD_ICC_NOT_PRESENT, kPower, IFD_ICC_NOT_PRESENT, kPts},
    {RYX_ERROR_IO_DEVICE,            "RYX_ERROR_IO_DEVICE",            "the device failed: I/O error",            kGone, kGone, kGone, kPts},
    {RYX_ERROR_TIMEOUT,              "RYX_ERROR_TIMEOUT",              "the card is mute",                        IFD_RESPONSE_TIMEOUT, kPower, IFD_ICC_PRESENT, kPts},
    {RYX_ERROR_UNRECOGNIZED_MEDIA,   "RYX_ERROR_UNRECOGNIZED_MEDIA",   "the card's ATR is malformed",             kComm, kPower, kComm, kPts},
    {RYX_E_PROTO_MISMATCH,           "RYX_E_PROTO_MISMATCH",           "the card offers no protocol asked for",   IFD_PROTOCOL_NOT_SUPPORTED, kPower, kComm, IFD_PROTOCOL_NOT_SUPPORTED},
    {RYX_W_UNSUPPORTED_CARD,         "RYX_W_UNSUPPORTED_CARD",         "the card's ATR cannot be used",           kComm, kPower, kComm, kPts},
    {RYX_W_UNRESPONSIVE_CARD,        "RYX_W_UNRESPONSIVE_CARD",        "the card did not answer the reset",       IFD_RESPONSE_TIMEOUT, kPower, IFD_ICC_PRESENT, kPts},
    {RYX_W_UNPOWERED_CARD,           "RYX_W_UNPOWERED_CARD",           "the card is not powered",                 kComm, kPower, kComm, kPts},
    {RYX_W_REMOVED_CARD,             "RYX_W_REMOVED_CARD",             "no card in the slot",                     IFD_ICC_NOT_PRESENT, kPower, IFD_ICC_NOT_PRESENT, kPts},
};
// clang-format on

}  // namespace

const StatusMapping kOtherStatus = {0, "any other (system error)", "a system error", kComm, kComm, kComm, kPts};

std::span<const StatusMapping> StatusTable() noexcept {
    return kTable;
}

namespace {

const StatusMapping& RowOf(std::uint32_t status) noexcept {
    for (const StatusMapping& m : kTable) {
        if (m.status == status) return m;
    }
    return kOtherStatus;
}

}  // namespace

std::string DescribeStatus(std::uint32_t status) {
    char text[160];
    if (&RowOf(status) != &kOtherStatus) {
        std::snprintf(text, sizeof text, "0x%08X (%s)", status, RowOf(status).meaning);
    } else if ((status & RYX_ERROR_SYSTEM_BIT) != 0) {
        const int error = static_cast<int>(status & ~RYX_ERROR_SYSTEM_BIT);
        std::snprintf(text, sizeof text, "0x%08X (system error %d: %s)", status, error, std::strerror(error));
    } else {
        std::snprintf(text, sizeof text, "0x%08X (a status this driver does not know)", status);
    }
    return text;
}

RESPONSECODE MapStatus(std::uint32_t status, Operation operation) noexcept {
    const StatusMapping* row = &RowOf(status);
    switch (operation) {
        case Operation::kPower:
            return row->power;
        case Operation::kPresence:
            return row->presence;
        case Operation::kProtocol:
            return row->protocol;
        case Operation::kGeneral:
            break;
    }
    return row->general;
}

}  // namespace ryx::pcsc
