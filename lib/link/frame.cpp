#include "link/frame.h"

#include <algorithm>
#include <cstring>

namespace ryx {

namespace {

// XOR of size (at most 8) bytes at data, in the low bytes of a word.
std::uint64_t LoadPart(const std::uint8_t* data, std::size_t size) noexcept {
    std::uint64_t word = 0;
    std::size_t i = 0;
    if (size & 4) {
        std::uint32_t part;
        std::memcpy(&part, data, sizeof part);
        word ^= part;
        i += 4;
    }
    if (size & 2) {
        std::uint16_t part;
        std::memcpy(&part, data + i, sizeof part);
        word ^= part;
        i += 2;
    }
    if (size & 1) {
        word ^= data[i];
    }
    return word;
}

}  // namespace

std::uint8_t FrameCheckByte(std::span<const std::uint8_t> data) noexcept {
    // Eight bytes at a time: XOR is bytewise, so the lanes of the word fold into one byte at the end.
    std::uint64_t lanes = 0;
    std::size_t i = 0;
    for (; i + sizeof lanes <= data.size(); i += sizeof lanes) {
        std::uint64_t word;
        std::memcpy(&word, data.data() + i, sizeof word);
        lanes ^= word;
    }
    lanes ^= LoadPart(data.data() + i, data.size() - i);
    lanes ^= lanes >> 32;
    lanes ^= lanes >> 16;
    lanes ^= lanes >> 8;
    return static_cast<std::uint8_t>(lanes);
}

void BuildCommandFrame(std::span<const std::uint8_t> payload, std::uint8_t start, std::uint8_t end,
                       std::uint8_t* out) noexcept {
    BuildCommandFrame(payload, {}, start, end, out);
}

void BuildCommandFrame(std::span<const std::uint8_t> head, std::span<const std::uint8_t> body, std::uint8_t start,
                       std::uint8_t end, std::uint8_t* out) noexcept {
    out[0] = start;
    if (!head.empty()) {
        std::memcpy(out + 1, head.data(), head.size());
    }
    if (!body.empty()) {
        std::memcpy(out + 1 + head.size(), body.data(), body.size());
    }
    const std::size_t size = head.size() + body.size();
    out[size + 1] = FrameCheckByte(std::span<const std::uint8_t>(out + 1, size));
    out[size + 2] = end;
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
