// The card the benchmarks talk to: it answers by the length of the command alone, so that the reader spends the
// same few instructions on every APDU whoever sends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ryx::bench {

// The command APDUs measured, and what the card answers to each.
inline constexpr std::size_t kShortCommandLength = 5;      // answered with 90 00
inline constexpr std::size_t kLineCommandLength = 261;     // one full block; answered with 256 bytes and 90 00
inline constexpr std::size_t kLargeCommandLength = 65535;  // answered with 65,534 bytes and 90 00
inline constexpr std::size_t kLineResponseLength = 258;
inline constexpr std::size_t kLargeResponseLength = 65536;

// The response to a command of this length: 90 00 for any length not named above.
[[nodiscard]] std::vector<std::uint8_t> BenchCardResponse(std::span<const std::uint8_t> command);

// A command APDU of the given length (a header, then a counting pattern).
[[nodiscard]] std::vector<std::uint8_t> BenchCommand(std::size_t length);

}  // namespace ryx::bench
