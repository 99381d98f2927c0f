#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ryx::sim {

// Bytes as upper-case hex digits with no gaps, as the control socket and a card's status lines show them.
inline std::string HexText(const std::vector<std::uint8_t>& bytes) {
    static const char* const kDigits = "0123456789ABCDEF";
    std::string t;
    t.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        t += kDigits[b >> 4];
        t += kDigits[b & 0x0F];
    }
    return t;
}

}  // namespace ryx::sim
