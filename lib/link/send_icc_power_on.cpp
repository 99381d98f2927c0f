#include <ryx.h>

#include <array>

#include "link/messages.h"
#include "link/reply_capacity.h"
#include "link/working_buffer.h"

namespace ryx {

std::uint32_t SendIccPowerOn(Link& link, std::uint8_t* atr, std::uint32_t* atrLength) {
    if (atrLength == nullptr) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    std::uint32_t replyLength = ReplyCapacity(*atrLength);
    WorkingBuffer reply = AllocateWorkingBuffer(replyLength);
    if (!reply) {
        return RYX_ERROR_NOT_ENOUGH_MEMORY;
    }
    std::array<std::uint8_t, kMessageHeaderSize> message;
    BuildMessageHeader(message.data(), kPcToRdrIccPowerOn, 0, link.currentSlot, NextSequence(link), link.powerSelect,
                       0x00, 0x00);
    const std::uint32_t result = ExchangeMessage(link, message, kRdrToPcDataBlock, reply.get(), &replyLength);
    if (result != RYX_SUCCESS) {
        return result;
    }
    CopyReplyBody(reply.get(), replyLength, atr, atrLength);
    return RYX_SUCCESS;
}

}  // namespace ryx
