// Working buffers of the link layer: allocated without throwing.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <new>

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

}  // namespace ryx
