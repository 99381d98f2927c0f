#include <ryx.h>

#include <array>

#include "link/messages.h"

namespace ryx {

std::uint32_t SendGetSlotStatus(Link& link, std::uint8_t* iccStatus) {
    if (iccStatus == nullptr) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    std::array<std::uint8_t, kMessageHeaderSize> message;
    BuildMessageHeader(message.data(), kPcToRdrGetSlotStatus, 0, link.currentSlot, NextSequence(link), 0x00, 0x00,
                       0x00);
    std::array<std::uint8_t, kMessageHeaderSize> reply;
    std::uint32_t replyLength = kMessageHeaderSize;
    const std::uint32_t result = ExchangeMessage(link, message, kRdrToPcSlotStatus, reply.data(), &replyLength);
    // "No card" is a status worth reporting too: the caller learns the slot is empty.
    if (result == RYX_SUCCESS || result == RYX_ERROR_NO_MEDIA_IN_DRIVE) {
        *iccStatus = reply[7] & 0x03;
    }
    return result;
}

}  // namespace ryx
