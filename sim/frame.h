// Frames on the reader's serial line: 0x02, payload, XOR check byte of the payload, 0x03. The payload is one
// message: a 10-byte header and its data. Pure helpers, the reader's own (it shares no code with the host).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/records.h"

namespace ryx::sim {

inline constexpr std::uint8_t kStartByte = 0x02;
inline constexpr std::uint8_t kEndByte = 0x03;
inline constexpr std::size_t kHeaderSize = 10;
// A frame is its payload plus start, check and end byte.
inline constexpr std::size_t kFrameOverhead = 3;
// The host's request to send the last response frame again: 02, eleven 00, 03.
inline constexpr std::array<std::uint8_t, 13> kRepeatRequest = {0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03};

// XOR of every byte of `bytes`.
[[nodiscard]] std::uint8_t XorOf(std::span<const std::uint8_t> bytes) noexcept;

// 0x02, payload, XorOf(payload), 0x03.
[[nodiscard]] std::vector<std::uint8_t> BuildFrame(std::span<const std::uint8_t> payload);

// The 4-byte status frame 02 s s 03 (02 00 00 03: the frame was taken; 02 01 01 03: refused).
[[nodiscard]] std::array<std::uint8_t, 4> StatusFrame(std::uint8_t status) noexcept;

// Header fields of a message; `message` must hold at least kHeaderSize bytes.
[[nodiscard]] MessageHeader DecodeHeader(std::span<const std::uint8_t> message) noexcept;
// Writes the 10 header bytes of `header` to out[0..9].
void EncodeHeader(const MessageHeader& header, std::uint8_t* out) noexcept;

// A message: the header (its dwLength set to data.size()) followed by data.
[[nodiscard]] std::vector<std::uint8_t> BuildMessage(MessageHeader header, std::span<const std::uint8_t> data);

// The header of a whole frame (start byte first), when it is long enough to carry one.
[[nodiscard]] std::optional<MessageHeader> FrameHeader(std::span<const std::uint8_t> frame) noexcept;

}  // namespace ryx::sim
