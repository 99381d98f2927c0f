#include <ryx.h>

#include <cstring>

#include "link/messages.h"

namespace ryx {

std::uint32_t ExchangeMessage(Link& link, std::span<const std::uint8_t> message, std::uint8_t expectedType,
                              std::uint8_t* reply, std::uint32_t* replyLength) {
    if (message.size() < kMessageHeaderSize || replyLength == nullptr) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    const std::uint32_t result = ExchangeFrame(link, message, reply, replyLength);
    if (result != RYX_SUCCESS) {
        return result;
    }
    return CheckReply(std::span<const std::uint8_t>(reply, *replyLength), expectedType, message[5], message[6]);
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
