#include <ryx.h>

#include <array>

#include "link/messages.h"
#include "link/reply_capacity.h"

namespace ryx {

std::uint32_t SendIccPowerOn(Link& link, std::uint8_t* atr, std::uint32_t* atrLength) {
    if (atrLength == nullptr) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    std::array<std::uint8_t, kMessageHeaderSize> message;
    BuildMessageHeader(message.data(), kPcToRdrIccPowerOn, 0, link.currentSlot, NextSequence(link), link.powerSelect,
                       0x00, 0x00);
    std::span<const std::uint8_t> reply;
    const std::uint32_t result =
        ExchangeMessageInPlace(link, message, {}, kRdrToPcDataBlock, ReplyCapacity(*atrLength), &reply);
    if (result != RYX_SUCCESS) {
        return result;
    }
    CopyReplyBody(reply.data(), static_cast<std::uint32_t>(reply.size()), atr, atrLength);
    return RYX_SUCCESS;
}

}  // namespace ryx
