// The reply capacity handed to the frame exchange for a caller's data capacity.
#pragma once

#include <cstdint>

#include "link/messages.h"

namespace ryx {

// dataCapacity + the 10 header bytes, held at 0xFFFFFFFF rather than wrapping; a reply that fits the held value
// still fits the caller's buffer.
[[nodiscard]] inline std::uint32_t ReplyCapacity(std::uint32_t dataCapacity) noexcept {
    const std::uint64_t capacity = std::uint64_t{dataCapacity} + kMessageHeaderSize;
    return capacity > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(capacity);
}

}  // namespace ryx
