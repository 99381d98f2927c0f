// RYX_GetBaudRate and RYX_SetBaudRate: the line speed, changed on both ends under the reader's lock.
#include <ryx.h>

#include "api/baud_rate_table.h"
#include "api/export_call.h"
#include "link/messages.h"
#include "serial/last_error.h"
#include "serial/serial_port.h"

using namespace ryx;

namespace {

constexpr std::uint8_t kBaudRateConfirmation = 0x90;

// Moves the reader and then the port to newRate (the table's rate at index). Runs under the reader's lock.
std::uint32_t ChangeLineSpeed(ReaderContext& reader, std::uint32_t newRate, int index) {
    const SerialHandle port = reader.link.port;
    std::uint32_t currentRate = 0;
    if (!SerialGetBaudRate(port, &currentRate)) return SerialLastError();
    if (currentRate == newRate) return RYX_SUCCESS;

    // Ask the host port first, so that a rate it cannot run never reaches the reader.
    if (!SerialSetBaudRate(port, newRate)) return SerialLastError();
    if (!SerialSetBaudRate(port, currentRate)) return SerialLastError();

    PrepareLink(reader.link, 0);
    const std::uint8_t command[2] = {kBaudRateEscape, static_cast<std::uint8_t>(index)};
    std::uint8_t reply[2];
    std::uint32_t replyLength = sizeof reply;
    std::uint32_t result = SendEscape(reader.link, command, reply, &replyLength);
    if (result != RYX_SUCCESS) return result;  // the reader did not answer: it still runs at the old rate

    const bool confirmed =
        replyLength >= 2 && reply[replyLength - 2] == kBaudRateConfirmation && reply[replyLength - 1] == command[1];
    result = confirmed ? RYX_SUCCESS : RYX_ERROR_GEN_FAILURE;
    // The reader answered, so it may have switched even without confirming: follow it.
    if (!SerialSetBaudRate(port, newRate)) result = SerialLastError();
    return result;
}

}  // namespace

extern "C" RYX_API uint32_t RYX_CALL RYX_GetBaudRate(RYX_HANDLE handle, uint32_t* baudRate) noexcept {
    return CallReader(
        handle, [&](const ReaderContext&) { return baudRate == nullptr; },
        [&](ReaderContext& reader) {
            std::uint32_t rate = 0;
            const bool ok = SerialGetBaudRate(reader.link.port, &rate);
            *baudRate = ok ? rate : 0;
            return ok ? RYX_SUCCESS : SerialLastError();
        });
}

extern "C" RYX_API uint32_t RYX_CALL RYX_SetBaudRate(RYX_HANDLE handle, uint32_t baudRate) noexcept {
    const int index = BaudRateIndex(baudRate);
    return CallReader(
        handle, [&](const ReaderContext&) { return index < 0; },
        [&](ReaderContext& reader) { return ChangeLineSpeed(reader, baudRate, index); });
}
