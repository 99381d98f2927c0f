// The card's answer in the long-exchange tests, natively and under wine.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace ryx::test {

/// `length` bytes that depend on the whole command, so that a block lost, doubled or reordered on the way shows.
inline std::vector<std::uint8_t> ResponseFor(std::span<const std::uint8_t> command, std::uint32_t length) {
    std::uint32_t sum = 0;
    for (std::uint8_t b : command) sum = sum * 31 + b;
    std::vector<std::uint8_t> out(length);
    for (std::uint32_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(sum + i * 7 + (i >> 8));
    return out;
}

}  // namespace ryx::test
