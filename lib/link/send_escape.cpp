#include <ryx.h>

#include <array>

#include "link/messages.h"
#include "link/reply_capacity.h"

namespace ryx {

std::uint32_t SendEscape(Link& link, std::span<const std::uint8_t> data, std::uint8_t* reply,
                         std::uint32_t* replyLength) {
    if (replyLength == nullptr) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    if (std::uint64_t{data.size()} + kMessageHeaderSize > UINT32_MAX) {
        return RYX_ERROR_NOT_ENOUGH_MEMORY;  // no message this long can go out in one frame
    }
    std::array<std::uint8_t, kMessageHeaderSize> header;
    BuildMessageHeader(header.data(), kPcToRdrEscape, static_cast<std::uint32_t>(data.size()), link.currentSlot,
                       NextSequence(link), 0x00, 0x00, 0x00);
    std::span<const std::uint8_t> received;
    const std::uint32_t result =
        ExchangeMessageInPlace(link, header, data, kRdrToPcEscape, ReplyCapacity(*replyLength), &received);
    if (result != RYX_SUCCESS) {
        return result;
    }
    CopyReplyBody(received.data(), static_cast<std::uint32_t>(received.size()), reply, replyLength);
    return RYX_SUCCESS;
}

}  // namespace ryx
