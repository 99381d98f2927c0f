// The link's own receive and transmit buffers: kept from one exchange to the next so that a frame costs no
// allocation. They are scratch space, not state: copying a Link copies its settings and leaves the copy's buffers
// empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "link/working_buffer.h"

namespace ryx {

class FrameBuffer {
public:
    FrameBuffer() noexcept = default;
    FrameBuffer(const FrameBuffer&) noexcept {}
    FrameBuffer& operator=(const FrameBuffer&) noexcept { return *this; }
    FrameBuffer(FrameBuffer&&) noexcept = default;
    FrameBuffer& operator=(FrameBuffer&&) noexcept = default;
    ~FrameBuffer() = default;

    [[nodiscard]] std::uint8_t* data() noexcept { return bytes_.get(); }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] std::span<std::uint8_t> span() noexcept { return {bytes_.get(), size_}; }

    // Makes the buffer size bytes long, keeping its first keep bytes (keep <= both sizes). Returns false, the
    // buffer as it was, when the memory cannot be had.
    [[nodiscard]] bool Resize(std::uint64_t size, std::size_t keep) noexcept {
        WorkingBuffer bytes = AllocateWorkingBuffer(size);
        if (!bytes) return false;
        if (keep != 0) std::memcpy(bytes.get(), bytes_.get(), keep);
        bytes_ = std::move(bytes);
        size_ = static_cast<std::size_t>(size);
        return true;
    }

private:
    WorkingBuffer bytes_;
    std::size_t size_ = 0;
};

}  // namespace ryx
