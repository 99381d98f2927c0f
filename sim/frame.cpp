#include "sim/frame.h"

#include <algorithm>

namespace ryx::sim {

std::uint8_t XorOf(std::span<const std::uint8_t> bytes) noexcept {
    std::uint8_t x = 0;
    for (std::uint8_t b : bytes) x ^= b;
    return x;
}

std::vector<std::uint8_t> BuildFrame(std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> frame;
    frame.reserve(payload.size() + kFrameOverhead);
    frame.push_back(kStartByte);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(XorOf(payload));
    frame.push_back(kEndByte);
    return frame;
}

std::array<std::uint8_t, 4> StatusFrame(std::uint8_t status) noexcept {
    return {kStartByte, status, status, kEndByte};
}

MessageHeader DecodeHeader(std::span<const std::uint8_t> m) noexcept {
    MessageHeader h;
    h.type = m[0];
    h.dwLength = static_cast<std::uint32_t>(m[1]) | static_cast<std::uint32_t>(m[2]) << 8 |
                 static_cast<std::uint32_t>(m[3]) << 16 | static_cast<std::uint32_t>(m[4]) << 24;
    h.slot = m[5];
    h.seq = m[6];
    h.b7 = m[7];
    h.b8 = m[8];
    h.b9 = m[9];
    return h;
}

void EncodeHeader(const MessageHeader& h, std::uint8_t* out) noexcept {
    out[0] = h.type;
    out[1] = static_cast<std::uint8_t>(h.dwLength);
    out[2] = static_cast<std::uint8_t>(h.dwLength >> 8);
    out[3] = static_cast<std::uint8_t>(h.dwLength >> 16);
    out[4] = static_cast<std::uint8_t>(h.dwLength >> 24);
    out[5] = h.slot;
    out[6] = h.seq;
    out[7] = h.b7;
    out[8] = h.b8;
    out[9] = h.b9;
}

std::vector<std::uint8_t> BuildMessage(MessageHeader header, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> message(kHeaderSize + data.size());
    header.dwLength = static_cast<std::uint32_t>(data.size());
    EncodeHeader(header, message.data());
    std::copy(data.begin(), data.end(), message.begin() + kHeaderSize);
    return message;
}

std::optional<MessageHeader> FrameHeader(std::span<const std::uint8_t> frame) noexcept {
    if (frame.size() < 1 + kHeaderSize) return std::nullopt;
    return DecodeHeader(frame.subspan(1, kHeaderSize));
}

}  // namespace ryx::sim
