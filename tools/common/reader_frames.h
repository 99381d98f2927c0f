// The reader's frames as raw bytes, for the programs that talk to a line without the library (ryx_test's line
// checks, the PC/SC driver's line probe). Pure and header-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ryx::reader_frames {

// The XOR of `bytes`: a frame's check byte covers everything between its start and its check byte.
inline std::uint8_t Xor(std::span<const std::uint8_t> bytes) {
    std::uint8_t x = 0;
    for (const std::uint8_t b : bytes) {
        x ^= b;
    }
    return x;
}

// A command or response frame: kStart, a kHeaderLength-byte header and its data, the XOR of those, kEnd.
inline constexpr std::uint8_t kStart = 0x02;
inline constexpr std::uint8_t kEnd = 0x03;
inline constexpr std::size_t kHeaderLength = 10;

// The firmware-version escape (E0 00 00 18 00) for slot 0 with sequence number `seq`, as a whole command frame.
inline std::vector<std::uint8_t> FirmwareQueryFrame(std::uint8_t seq) {
    std::vector<std::uint8_t> frame = {kStart, 0x6B, 0x05, 0x00, 0x00, 0x00, 0x00, seq,  0x00,
                                       0x00,   0x00, 0xE0, 0x00, 0x00, 0x18, 0x00, 0x00, kEnd};
    frame[frame.size() - 2] = Xor(std::span(frame).subspan(1, frame.size() - 3));
    return frame;
}

// The data length a response frame starting at `at` gives in its header (at + 6 must lie within `bytes`).
inline std::uint32_t DataLengthAt(std::span<const std::uint8_t> bytes, std::size_t at) {
    return std::uint32_t{bytes[at + 2]} | std::uint32_t{bytes[at + 3]} << 8 | std::uint32_t{bytes[at + 4]} << 16 |
           std::uint32_t{bytes[at + 5]} << 24;
}

// A status frame: kStart, the status byte twice, kEnd.
inline constexpr std::size_t kStatusLength = 4;

// Whether a status frame starts at `at` (at + kStatusLength must lie within `bytes`).
inline bool IsStatusFrameAt(std::span<const std::uint8_t> bytes, std::size_t at) {
    return bytes[at] == kStart && bytes[at + 3] == kEnd && bytes[at + 1] == bytes[at + 2];
}

}  // namespace ryx::reader_frames
