// Bytes written as hex digits, both ways, as the command line, the control socket and card descriptions take them.
// Pure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ryx::sim {

// Bytes as upper-case hex digits with no gaps, as the control socket and a card's status lines show them.
[[nodiscard]] std::string HexText(const std::vector<std::uint8_t>& bytes);

// Pairs of hex digits, nothing between them, into *out; false for an odd count or anything that is not a hex digit.
// No digits at all is no bytes (true).
[[nodiscard]] bool ParseHexDigits(std::string_view digits, std::vector<std::uint8_t>* out);

// Hex bytes ("3B0214", "3B 02 14", "3B:02:14" or "3B-02-14"); false for anything else, nothing at all included.
[[nodiscard]] bool ParseHexBytes(std::string text, std::vector<std::uint8_t>* out);

// True when `text` holds only what hex bytes are written with (hex digits, ' ', ':', '-'): an ATR, not a file name.
[[nodiscard]] bool LooksLikeHex(const std::string& text);

}  // namespace ryx::sim
