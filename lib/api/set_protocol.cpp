// RYX_SetProtocol: puts the powered card of a slot into T=0 or T=1 at a speed the slot supports.
#include <chrono>
#include <thread>

#include <ryx.h>

#include "api/export_call.h"
#include "card/parse_atr.h"
#include "card/set_parameters.h"

using namespace ryx;

namespace {

constexpr auto kPowerCyclePause = std::chrono::milliseconds(10);

// Negotiable mode: send the chosen protocol's parameters; when the reader refuses them and the speed was
// negotiated, power-cycle the card once and send the same block again. Runs under the reader's lock.
std::uint32_t NegotiateProtocol(RYX_HANDLE handle, ReaderContext& reader, std::uint32_t slot, std::uint32_t preferred) {
    CardState& card = reader.slots[slot].card;
    std::uint32_t protocol = kProtocolNone;
    if ((preferred & RYX_PROTOCOL_T1) && (card.protocolMask & RYX_PROTOCOL_T1)) {
        protocol = RYX_PROTOCOL_T1;  // T=1 wins when the caller and the card both allow it
    } else if ((preferred & RYX_PROTOCOL_T0) && (card.protocolMask & RYX_PROTOCOL_T0)) {
        protocol = RYX_PROTOCOL_T0;
    } else {
        return RYX_E_PROTO_MISMATCH;
    }
    for (;;) {
        card.protocol = protocol;
        PrepareLink(reader.link, static_cast<std::uint8_t>(slot));
        const std::uint32_t result = SendSetParameters(reader.link, card);
        if (result == RYX_SUCCESS) {
            card.atrFiIndex = card.fiIndex;
            card.atrDiIndex = card.diIndex;
            reader.slots[slot].descriptor.cardMode = kCardModeSpecific;
            return RYX_SUCCESS;
        }
        if (card.negotiateSpeed == 0) {
            card.protocol = kProtocolNone;
            return result;
        }
        card.negotiateSpeed = 0;
        (void)RYX_PowerOffIcc(handle, slot);
        std::this_thread::sleep_for(kPowerCyclePause);
        std::uint8_t atr[kMaxAtrSize];
        std::uint32_t atrLength = sizeof atr;
        const std::uint32_t powerOn = RYX_PowerOnIcc(handle, slot, atr, &atrLength);
        if (powerOn != RYX_SUCCESS) {
            card.protocol = kProtocolNone;
            return powerOn;
        }
    }
}

}  // namespace

extern "C" RYX_API uint32_t RYX_CALL RYX_SetProtocol(RYX_HANDLE handle, uint32_t slot, uint32_t preferredProtocols,
                                                     uint32_t* activeProtocol) noexcept {
    std::uint32_t protocolInForce = 0;
    const std::uint32_t status = CallReader(
        handle,
        [&](const ReaderContext& r) {
            return slot >= r.slotCount || (preferredProtocols & (RYX_PROTOCOL_T0 | RYX_PROTOCOL_T1)) == 0;
        },
        [&](ReaderContext& reader) {
            SlotRecord& record = reader.slots[slot];
            CardState& card = record.card;
            if (card.atrLength == 0) return RYX_W_UNPOWERED_CARD;
            card.negotiateSpeed = (preferredProtocols & RYX_PROTOCOL_DEFAULT_SPEED) ? 0 : 1;
            std::uint32_t result = ParseAtr(record);
            if (result != RYX_SUCCESS) return result;
            if (record.descriptor.cardMode == kCardModeSpecific) {
                if ((preferredProtocols & card.protocol) == 0) return RYX_E_PROTO_MISMATCH;
                PrepareLink(reader.link, static_cast<std::uint8_t>(slot));
                result = SendSetParameters(reader.link, card);
            } else {
                result = NegotiateProtocol(handle, reader, slot, preferredProtocols);
            }
            if (result == RYX_SUCCESS) protocolInForce = card.protocol;
            return result;
        });
    if (activeProtocol != nullptr) *activeProtocol = status == RYX_SUCCESS ? protocolInForce : 0;
    return RemapCardResult(status);
}
