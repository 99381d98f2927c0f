// The card operations of one slot: power on and off, status, APDU exchange and reader escape commands.
// Each is one message-layer operation under the reader's lock, with the slot's powered state kept up to date.
#include <cstring>

#include <ryx.h>

#include "api/baud_rate_table.h"
#include "api/export_call.h"
#include "api/power_off_slot.h"
#include "link/messages.h"

using namespace ryx;

namespace {

CardState& CardIn(ReaderContext& reader, std::uint32_t slot) {
    return reader.slots[slot].card;
}

// bmICCStatus 0 (active), 1 (present, inactive), 2 (absent), 3 (reserved) as RYX_ICC_* values.
std::uint32_t IccStatusValue(std::uint8_t bmIccStatus) noexcept {
    switch (bmIccStatus) {
        case 0:
            return RYX_ICC_POWERED;
        case 1:
            return RYX_ICC_PRESENT;
        case 2:
            return RYX_ICC_ABSENT;
        default:
            return RYX_ICC_UNKNOWN;
    }
}

}  // namespace

extern "C" RYX_API uint32_t RYX_CALL RYX_PowerOnIcc(RYX_HANDLE handle, uint32_t slot, uint8_t* atrBuffer,
                                                    uint32_t* atrBufferLength) noexcept {
    const std::uint32_t status = CallReader(
        handle, [&](const ReaderContext& r) { return slot >= r.slotCount || atrBufferLength == nullptr; },
        [&](ReaderContext& reader) {
            PrepareLink(reader.link, static_cast<std::uint8_t>(slot));
            CardState& card = CardIn(reader, slot);
            std::uint8_t atr[kMaxAtrSize];
            std::uint32_t atrLength = sizeof atr;
            const std::uint32_t result = SendIccPowerOn(reader.link, atr, &atrLength);
            if (result != RYX_SUCCESS) {
                card.atrLength = 0;
                *atrBufferLength = 0;
                return result == RYX_ERROR_TIMEOUT ? RYX_W_UNRESPONSIVE_CARD : result;
            }
            std::memcpy(card.atr, atr, atrLength);
            card.atrLength = static_cast<std::uint8_t>(atrLength);
            // A buffer too small still leaves the card powered and its ATR kept; the caller learns the size.
            if (*atrBufferLength < atrLength) {
                *atrBufferLength = atrLength;
                return RYX_ERROR_INSUFFICIENT_BUFFER;
            }
            if (atrBuffer != nullptr) std::memcpy(atrBuffer, atr, atrLength);
            *atrBufferLength = atrLength;
            return RYX_SUCCESS;
        });
    return RemapCardResult(status);
}

extern "C" RYX_API uint32_t RYX_CALL RYX_PowerOffIcc(RYX_HANDLE handle, uint32_t slot) noexcept {
    const std::uint32_t status = CallReader(
        handle, [&](const ReaderContext& r) { return slot >= r.slotCount; },
        [&](ReaderContext& reader) { return PowerOffSlot(reader, slot); });
    return RemapCardResult(status);
}

extern "C" RYX_API uint32_t RYX_CALL RYX_GetIccStatus(RYX_HANDLE handle, uint32_t slot, uint32_t* iccStatus) noexcept {
    const std::uint32_t status = CallReader(
        handle, [&](const ReaderContext& r) { return slot >= r.slotCount || iccStatus == nullptr; },
        [&](ReaderContext& reader) {
            PrepareLink(reader.link, static_cast<std::uint8_t>(slot));
            std::uint8_t bmIccStatus = 0xFF;
            const std::uint32_t result = SendGetSlotStatus(reader.link, &bmIccStatus);
            // A reader that reports no card ends the slot's powered state, also when it reports it as a failure.
            if (bmIccStatus == 2 && (result == RYX_SUCCESS || result == RYX_ERROR_NO_MEDIA_IN_DRIVE)) {
                CardIn(reader, slot).atrLength = 0;
            }
            *iccStatus = result == RYX_SUCCESS ? IccStatusValue(bmIccStatus) : RYX_ICC_UNKNOWN;
            return result;
        });
    return RemapCardResult(status);
}

extern "C" RYX_API uint32_t RYX_CALL RYX_ExchangeApdu(RYX_HANDLE handle, uint32_t slot, const uint8_t* command,
                                                      uint32_t commandLength, uint8_t* response,
                                                      uint32_t* responseLength) noexcept {
    const std::uint32_t status = CallReader(
        handle,
        [&](const ReaderContext& r) {
            return slot >= r.slotCount || command == nullptr || commandLength == 0 || response == nullptr ||
                   responseLength == nullptr || *responseLength == 0;
        },
        [&](ReaderContext& reader) {
            PrepareLink(reader.link, static_cast<std::uint8_t>(slot));
            std::uint32_t length = *responseLength;
            const std::uint32_t result = SendXfrBlock(reader.link, {command, commandLength}, response, &length);
            if (result == RYX_SUCCESS) *responseLength = length;
            return result;
        });
    return RemapCardResult(status);
}

extern "C" RYX_API uint32_t RYX_CALL RYX_Control(RYX_HANDLE handle, uint32_t slot, uint32_t controlCode,
                                                 const uint8_t* inBuffer, uint32_t inLength, uint8_t* outBuffer,
                                                 uint32_t outSize, uint32_t* bytesReturned) noexcept {
    const std::uint32_t status = CallReader(
        handle,
        [&](const ReaderContext& r) {
            return slot >= r.slotCount || controlCode != RYX_CONTROL_ESCAPE || inBuffer == nullptr || inLength == 0 ||
                   outBuffer == nullptr || outSize == 0 || inBuffer[0] == kBaudRateEscape;
        },
        [&](ReaderContext& reader) {
            PrepareLink(reader.link, static_cast<std::uint8_t>(slot));
            std::uint32_t length = outSize;
            const std::uint32_t result = SendEscape(reader.link, {inBuffer, inLength}, outBuffer, &length);
            if (result == RYX_SUCCESS && bytesReturned != nullptr) *bytesReturned = length;
            return result;
        });
    return ClearOnFailure(status, bytesReturned);
}
