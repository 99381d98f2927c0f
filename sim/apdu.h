// Command APDUs as ISO/IEC 7816-4 lays them out: the four header bytes, then short or extended Lc/data/Le.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace ryx::sim {

struct Apdu {
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    std::span<const std::uint8_t> data;  // the command data (Nc bytes), a view into the parsed bytes
    std::size_t ne = 0;                  // bytes expected back: 0 when Le is absent, up to 256 / 65536
    bool hasLe = false;
    bool extended = false;
};

// Parses the cases 1, 2, 3 and 4 in their short and extended forms. nullopt when the bytes fit none of them
// (fewer than 4 bytes, an Lc that disagrees with the length, Lc = 0 in extended form). The result views `bytes`.
[[nodiscard]] std::optional<Apdu> ParseApdu(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace ryx::sim
