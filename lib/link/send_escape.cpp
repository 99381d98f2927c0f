#include <ryx.h>

#include <cstring>

#include "link/messages.h"
#include "link/reply_capacity.h"
#include "link/working_buffer.h"

namespace ryx {

std::uint32_t SendEscape(Link& link, std::span<const std::uint8_t> data, std::uint8_t* reply,
                         std::uint32_t* replyLength) {
    if (replyLength == nullptr) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    const std::uint64_t messageSize = std::uint64_t{data.size()} + kMessageHeaderSize;
    std::uint32_t receivedLength = ReplyCapacity(*replyLength);
    WorkingBuffer message;
    WorkingBuffer received;
    if (const std::uint32_t result = AllocateExchangeBuffers(messageSize, receivedLength, message, received);
        result != RYX_SUCCESS) {
        return result;
    }
    BuildMessageHeader(message.get(), kPcToRdrEscape, static_cast<std::uint32_t>(data.size()), link.currentSlot,
                       NextSequence(link), 0x00, 0x00, 0x00);
    if (!data.empty()) {
        std::memcpy(message.get() + kMessageHeaderSize, data.data(), data.size());
    }
    const std::uint32_t result =
        ExchangeMessage(link, std::span<const std::uint8_t>(message.get(), static_cast<std::size_t>(messageSize)),
                        kRdrToPcEscape, received.get(), &receivedLength);
    if (result != RYX_SUCCESS) {
        return result;
    }
    CopyReplyBody(received.get(), receivedLength, reply, replyLength);
    return RYX_SUCCESS;
}

}  // namespace ryx
