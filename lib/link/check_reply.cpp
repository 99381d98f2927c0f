#include <ryx.h>

#include "link/messages.h"

namespace ryx {
namespace {

constexpr std::uint8_t kIccMute = 0xFE;  // bError: the card did not answer

}  // namespace

std::uint32_t CheckReply(std::span<const std::uint8_t> reply, std::uint8_t expectedType, std::uint8_t slot,
                         std::uint8_t seq) noexcept {
    if (reply.size() < kMessageHeaderSize) {
        return RYX_ERROR_GEN_FAILURE;
    }
    // dwLength must account for exactly the bytes after the header. A frame exchange counts bytes that arrive in
    // the same read after a complete frame as part of it, and a late answer followed by a status frame and
    // another frame passes the frame's check: those bytes are no data of this reply.
    if (MessageDataLength(reply.data()) != reply.size() - kMessageHeaderSize) {
        return RYX_ERROR_GEN_FAILURE;
    }
    if (reply[0] != expectedType || reply[5] != slot || reply[6] != seq) {
        return RYX_ERROR_GEN_FAILURE;
    }
    const std::uint8_t commandStatus = reply[7] >> 6;
    const std::uint8_t iccStatus = reply[7] & 0x03;
    if (commandStatus == 0) {
        return RYX_SUCCESS;
    }
    // Of all failures only a mute card is told apart, by whether the reader sees a card in the slot.
    if (commandStatus == 1 && reply[8] == kIccMute) {
        if (iccStatus == 1) {
            return RYX_ERROR_TIMEOUT;
        }
        if (iccStatus == 2) {
            return RYX_ERROR_NO_MEDIA_IN_DRIVE;
        }
    }
    return RYX_ERROR_GEN_FAILURE;
}

}  // namespace ryx
