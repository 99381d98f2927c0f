#include <ryx.h>

#include <cstring>

#include "link/messages.h"

namespace ryx {

std::uint32_t ExchangeMessageInPlace(Link& link, std::span<const std::uint8_t> header,
                                     std::span<const std::uint8_t> data, std::uint8_t expectedType,
                                     std::uint32_t capacity, std::span<const std::uint8_t>* reply) {
    if (header.size() < kMessageHeaderSize || reply == nullptr) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    const std::uint32_t result = ExchangeFrameInPlace(link, header, data, capacity, reply);
    if (result != RYX_SUCCESS) {
        return result;
    }
    const std::uint32_t checked = CheckReply(*reply, expectedType, header[5], header[6]);
    // A reply to another frame (a late answer) or one that does not add up: the right one may still be coming.
    if (checked == RYX_ERROR_GEN_FAILURE) link.unsettled = true;
    return checked;
}

std::uint32_t ExchangeMessage(Link& link, std::span<const std::uint8_t> message, std::uint8_t expectedType,
                              std::uint8_t* reply, std::uint32_t* replyLength) {
    if (message.size() < kMessageHeaderSize || replyLength == nullptr) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    std::span<const std::uint8_t> received;
    const std::uint32_t result = ExchangeMessageInPlace(link, message, {}, expectedType, *replyLength, &received);
    if (!received.empty()) {
        std::memcpy(reply, received.data(), received.size());
        *replyLength = static_cast<std::uint32_t>(received.size());
    }
    return result;
}

void CopyReplyBody(const std::uint8_t* reply, std::uint32_t replyLength, std::uint8_t* out,
                   std::uint32_t* outLength) noexcept {
    const std::uint32_t length = replyLength - static_cast<std::uint32_t>(kMessageHeaderSize);
    if (length > 0) {
        std::memcpy(out, reply + kMessageHeaderSize, length);
    }
    *outLength = length;
}

}  // namespace ryx
