#include <ryx.h>

#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "link/messages.h"
#include "link/reply_capacity.h"
#include "link/xfr_chaining.h"

namespace ryx {

namespace {

// Puts the whole response into the caller's buffer, once it is known to fit: the data held back from the blocks
// before, then the last block's. Returns its length.
std::uint32_t DeliverResponse(const std::vector<std::uint8_t>& held, std::span<const std::uint8_t> last,
                              std::uint8_t* response) {
    if (!held.empty()) std::memcpy(response, held.data(), held.size());
    if (!last.empty()) std::memcpy(response + held.size(), last.data(), last.size());
    return static_cast<std::uint32_t>(held.size() + last.size());
}

}  // namespace

std::uint32_t SendXfrBlock(Link& link, std::span<const std::uint8_t> command, std::uint8_t* response,
                           std::uint32_t* responseLength) {
    if (responseLength == nullptr || command.size() > UINT32_MAX) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    const auto length = static_cast<std::uint32_t>(command.size());
    const std::uint32_t maxBlockSize = link.maxBlockSize;
    if (maxBlockSize == 0 && length > 0) {
        return RYX_ERROR_INVALID_PARAMETER;  // no block could carry a command byte
    }
    const std::uint32_t capacity = *responseLength;
    const std::uint32_t receiveCapacity = ReplyCapacity(capacity);

    // The data of the blocks before the last one is held back until the response is complete: a chain that fails
    // half-way (too long for the caller's buffer, a failed or malformed reply) leaves the caller's buffer as it was.
    std::vector<std::uint8_t> held;
    XfrBlock block = FirstXfrBlock(length, maxBlockSize);
    for (;;) {
        std::array<std::uint8_t, kMessageHeaderSize> header;
        BuildMessageHeader(header.data(), kPcToRdrXfrBlock, block.size, link.currentSlot, NextSequence(link),
                           0x00 /* bBWI */, static_cast<std::uint8_t>(block.levelParameter),
                           static_cast<std::uint8_t>(block.levelParameter >> 8));
        std::span<const std::uint8_t> reply;
        const std::uint32_t result = ExchangeMessageInPlace(link, header, command.subspan(block.offset, block.size),
                                                            kRdrToPcDataBlock, receiveCapacity, &reply);
        if (result != RYX_SUCCESS) {
            return result;
        }
        const auto dataLength = static_cast<std::uint32_t>(reply.size() - kMessageHeaderSize);
        const std::uint8_t* data = reply.data() + kMessageHeaderSize;
        const auto heldLength = static_cast<std::uint32_t>(held.size());  // never more than capacity
        if (dataLength > capacity - heldLength) {
            return RYX_ERROR_INSUFFICIENT_BUFFER;
        }
        const XfrChainStep step = NextXfrStep(length, block.offset + block.size, maxBlockSize, reply[9]);
        if (step.action == XfrChainAction::kDone) {
            *responseLength = DeliverResponse(held, std::span(data, dataLength), response);
            return RYX_SUCCESS;
        }
        if (step.action == XfrChainAction::kFail) {
            return RYX_ERROR_GEN_FAILURE;
        }
        // An empty poll answered by an empty reply that asks to go on would go on for ever, with the reader's
        // lock held: a reader that has nothing to send must end the chain.
        if (block.levelParameter == kLevelEmpty && dataLength == 0) {
            return RYX_ERROR_GEN_FAILURE;
        }
        if (dataLength > 0) {
            try {
                held.insert(held.end(), data, data + dataLength);
            } catch (const std::bad_alloc&) {
                return RYX_ERROR_NOT_ENOUGH_MEMORY;
            }
        }
        block = step.next;
    }
}

}  // namespace ryx
