// The frames a host sends to carry one APDU in PC_to_RDR_XfrBlock messages, built with the simulator's codec
// (not the library's) so that the floor of the line moves the same frames the library does. Pure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ryx::bench {

using Frame = std::vector<std::uint8_t>;

// Size of the frame around a message with no data: start byte, 10-byte header, check byte, end byte.
inline constexpr std::size_t kEmptyMessageFrameSize = 13;

// 02, message, XOR of the message bytes, 03.
[[nodiscard]] Frame CommandFrame(std::span<const std::uint8_t> message);

// The command blocks of an APDU for blocks of at most blockSize (> 0) data bytes: one PC_to_RDR_XfrBlock frame
// per block, numbered firstSeq, firstSeq + 1, ... (mod 256), with wLevelParameter 0000 for an APDU that fits one
// block, else 0001 for the first block, 0003 for the middle ones and 0002 for the last.
[[nodiscard]] std::vector<Frame> XfrCommandFrames(std::span<const std::uint8_t> apdu, std::uint32_t blockSize,
                                                  std::uint8_t slot, std::uint8_t firstSeq);

// The empty block (wLevelParameter 0010) that asks the reader for the next piece of a response.
[[nodiscard]] std::array<std::uint8_t, kEmptyMessageFrameSize> EmptyBlockFrame(std::uint8_t slot, std::uint8_t seq);

}  // namespace ryx::bench
