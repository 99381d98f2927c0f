#include "card/set_parameters.h"

#include <ryx.h>

#include <span>

#include "link/messages.h"

namespace ryx {
namespace {

constexpr std::uint8_t kProtocolNumT0 = 0x00;
constexpr std::uint8_t kProtocolNumT1 = 0x01;
constexpr std::uint8_t kInverseConventionBit = 0x02;  // bmTCCKST0/1 bit 1
constexpr std::uint8_t kT1ChecksumBase = 0x10;        // bmTCCKST1 bits 7..4 are fixed to 0001
constexpr std::uint8_t kDefaultIfsc = 32;

std::uint8_t FindexDindex(const CardState& card) noexcept {
    return static_cast<std::uint8_t>(card.fiIndex * 16 + card.diIndex);
}

std::uint8_t ConventionBit(const CardState& card) noexcept {
    return card.convention == 1 ? kInverseConventionBit : 0;
}

}  // namespace

std::uint32_t BuildSetParametersMessage(const CardState& card, std::uint8_t slot, std::uint8_t seq,
                                        std::uint8_t* out) noexcept {
    std::uint8_t* body = out + kMessageHeaderSize;
    if (card.protocol == RYX_PROTOCOL_T0) {
        BuildMessageHeader(out, kPcToRdrSetParameters, kSetParametersT0Size - kMessageHeaderSize, slot, seq,
                           kProtocolNumT0, 0, 0);
        body[0] = FindexDindex(card);
        body[1] = ConventionBit(card);
        body[2] = card.extraGuardTime;
        body[3] = card.waitingInteger;
        body[4] = 0;  // bClockStop: the reader may not stop the clock
        return kSetParametersT0Size;
    }
    if (card.protocol == RYX_PROTOCOL_T1) {
        BuildMessageHeader(out, kPcToRdrSetParameters, kSetParametersT1Size - kMessageHeaderSize, slot, seq,
                           kProtocolNumT1, 0, 0);
        body[0] = FindexDindex(card);
        body[1] = static_cast<std::uint8_t>(kT1ChecksumBase | ConventionBit(card) | (card.edcType & 0x01));
        body[2] = card.extraGuardTime;
        body[3] = static_cast<std::uint8_t>(card.bwi * 16 + card.cwi);
        body[4] = 0;  // bClockStop
        // 0 and 255 are not valid information field sizes; the reader is given the ISO default instead.
        body[5] = card.ifsc == 0 || card.ifsc == 255 ? kDefaultIfsc : card.ifsc;
        body[6] = 0;  // bNadValue: no node addressing
        return kSetParametersT1Size;
    }
    return 0;
}

std::uint32_t SendSetParameters(Link& link, const CardState& card) {
    // The number is taken before the protocol is looked at, so a refused call still advances the counter.
    const std::uint8_t seq = NextSequence(link);
    std::uint8_t message[kSetParametersT1Size];
    const std::uint32_t length = BuildSetParametersMessage(card, link.currentSlot, seq, message);
    if (length == 0) {
        return RYX_ERROR_GEN_FAILURE;
    }
    // The reply's protocol data is not used; room for a full T=1 answer is enough.
    std::uint8_t reply[kSetParametersT1Size];
    std::uint32_t replyLength = sizeof reply;
    return ExchangeMessage(link, std::span<const std::uint8_t>(message, length), kRdrToPcParameters, reply,
                           &replyLength);
}

}  // namespace ryx
