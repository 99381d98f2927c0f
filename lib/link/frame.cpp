#include "link/frame.h"

#include <algorithm>
#include <cstring>

namespace ryx {

std::uint8_t FrameCheckByte(std::span<const std::uint8_t> data) noexcept {
    std::uint8_t check = 0;
    for (std::uint8_t byte : data) {
        check ^= byte;
    }
    return check;
}

void BuildCommandFrame(std::span<const std::uint8_t> payload, std::uint8_t start, std::uint8_t end,
                       std::uint8_t* out) noexcept {
    out[0] = start;
    if (!payload.empty()) {
        std::memcpy(out + 1, payload.data(), payload.size());
    }
    out[payload.size() + 1] = FrameCheckByte(payload);
    out[payload.size() + 2] = end;
}

void BuildRepeatRequest(std::uint8_t start, std::uint8_t end, std::uint8_t* out) noexcept {
    out[0] = start;
    std::fill(out + 1, out + kRepeatRequestSize - 1, std::uint8_t{0});
    out[kRepeatRequestSize - 1] = end;
}

bool IsAcceptedStatusFrame(std::span<const std::uint8_t, kStatusFrameSize> status, std::uint8_t start,
                           std::uint8_t end) noexcept {
    return status[0] == start && status[3] == end && status[2] == status[1] && status[1] == 0x00;
}

bool IsValidFrame(std::span<const std::uint8_t> frame, std::uint8_t start, std::uint8_t end) noexcept {
    const std::size_t size = frame.size();
    if (size <= kFrameOverhead) {
        return false;
    }
    if (frame[0] != start || frame[size - 1] != end) {
        return false;
    }
    return FrameCheckByte(frame.subspan(1, size - kFrameOverhead)) == frame[size - 2];
}

}  // namespace ryx
