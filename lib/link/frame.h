// Pure frame logic of the reader link: building command frames, checking status frames and validating response
// frames. Nothing here does I/O, so tests and fuzzers can drive it with arbitrary bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ryx {

// Start byte, check byte and end byte around every payload.
inline constexpr std::size_t kFrameOverhead = 3;
// The reader's acknowledgement of a command frame: start, status, check, end.
inline constexpr std::size_t kStatusFrameSize = 4;
// The frame that asks the reader to send its last response again.
inline constexpr std::size_t kRepeatRequestSize = 13;

// XOR of all bytes of data (0 for none).
[[nodiscard]] std::uint8_t FrameCheckByte(std::span<const std::uint8_t> data) noexcept;

// Writes start, payload, XOR of the payload (the start byte is not covered) and end into out, which must hold
// payload.size() + kFrameOverhead bytes. out must not overlap payload.
void BuildCommandFrame(std::span<const std::uint8_t> payload, std::uint8_t start, std::uint8_t end,
                       std::uint8_t* out) noexcept;

// As above for the payload head followed by body (a message header and its data, say), without joining them
// first. out must hold head.size() + body.size() + kFrameOverhead bytes and overlap neither.
void BuildCommandFrame(std::span<const std::uint8_t> head, std::span<const std::uint8_t> body, std::uint8_t start,
                       std::uint8_t end, std::uint8_t* out) noexcept;

// Writes the 13-byte repeat request into out: start, eleven 0x00 bytes (ten zero payload bytes and their zero
// check byte), end.
void BuildRepeatRequest(std::uint8_t start, std::uint8_t end, std::uint8_t* out) noexcept;

// True when status is the frame by which the reader accepts a command frame: the start byte, status 0x00, a check
// byte equal to the status byte, the end byte.
[[nodiscard]] bool IsAcceptedStatusFrame(std::span<const std::uint8_t, kStatusFrameSize> status, std::uint8_t start,
                                         std::uint8_t end) noexcept;

// True when frame is a well-formed response frame: longer than 3 bytes, the start byte first, the end byte last,
// and the byte before the end equal to the XOR of the bytes from offset 1 up to offset size - 3. Trailing bytes
// received with the frame are part of it, so the check byte is always the last byte but one.
[[nodiscard]] bool IsValidFrame(std::span<const std::uint8_t> frame, std::uint8_t start, std::uint8_t end) noexcept;

}  // namespace ryx
