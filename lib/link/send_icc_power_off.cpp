#include <ryx.h>

#include <array>

#include "link/messages.h"

namespace ryx {

std::uint32_t SendIccPowerOff(Link& link) {
    std::array<std::uint8_t, kMessageHeaderSize> message;
    BuildMessageHeader(message.data(), kPcToRdrIccPowerOff, 0, link.currentSlot, NextSequence(link), 0x00, 0x00, 0x00);
    // Room for the header alone: a slot-status reply that carries data is refused.
    std::array<std::uint8_t, kMessageHeaderSize> reply;
    std::uint32_t replyLength = kMessageHeaderSize;
    return ExchangeMessage(link, message, kRdrToPcSlotStatus, reply.data(), &replyLength);
}

}  // namespace ryx
