// Per-call working buffers of the link layer: allocated without throwing, freed when the call returns.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include <ryx.h>

namespace ryx {

using WorkingBuffer = std::unique_ptr<std::uint8_t[]>;

// A buffer of size bytes (sizes are 64-bit so that capacity + overhead never wraps), or null when the memory
// cannot be had; the caller then reports ERROR_NOT_ENOUGH_MEMORY.
[[nodiscard]] inline WorkingBuffer AllocateWorkingBuffer(std::uint64_t size) noexcept {
    if (size > std::numeric_limits<std::size_t>::max()) {
        return nullptr;
    }
    return WorkingBuffer(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(size)]);
}

// The buffers of one exchange: sendSize bytes that go out in one piece, and receiveSize bytes of room for what
// comes back. More than UINT32_MAX bytes to send cannot be written at once nor described by dwLength. Returns 0,
// or 8 (RYX_ERROR_NOT_ENOUGH_MEMORY) with both buffers empty when the size is too large or memory runs out.
[[nodiscard]] inline std::uint32_t AllocateExchangeBuffers(std::uint64_t sendSize, std::uint64_t receiveSize,
                                                           WorkingBuffer& send, WorkingBuffer& receive) noexcept {
    if (sendSize > UINT32_MAX) {
        return RYX_ERROR_NOT_ENOUGH_MEMORY;
    }
    send = AllocateWorkingBuffer(sendSize);
    receive = AllocateWorkingBuffer(receiveSize);
    if (!send || !receive) {
        send.reset();
        receive.reset();
        return RYX_ERROR_NOT_ENOUGH_MEMORY;
    }
    return RYX_SUCCESS;
}

}  // namespace ryx
