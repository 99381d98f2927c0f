#include "sim/apdu.h"

namespace ryx::sim {

std::optional<Apdu> ParseApdu(std::span<const std::uint8_t> b) noexcept {
    if (b.size() < 4) return std::nullopt;
    Apdu a;
    a.cla = b[0];
    a.ins = b[1];
    a.p1 = b[2];
    a.p2 = b[3];
    const std::size_t n = b.size();
    if (n == 4) return a;  // case 1
    if (n == 5) {          // case 2 short
        a.hasLe = true;
        a.ne = b[4] == 0 ? 256 : b[4];
        return a;
    }
    if (b[4] != 0) {  // case 3 or 4 short
        const std::size_t lc = b[4];
        if (n == 5 + lc) {
            a.data = b.subspan(5, lc);
            return a;
        }
        if (n == 6 + lc) {
            a.data = b.subspan(5, lc);
            a.hasLe = true;
            a.ne = b[n - 1] == 0 ? 256 : b[n - 1];
            return a;
        }
        return std::nullopt;
    }
    // Extended forms: a 00 marker byte, then two-byte Lc and/or Le.
    a.extended = true;
    if (n == 7) {  // case 2 extended
        const std::size_t le = static_cast<std::size_t>(b[5]) << 8 | b[6];
        a.hasLe = true;
        a.ne = le == 0 ? 65536 : le;
        return a;
    }
    if (n < 8) return std::nullopt;
    const std::size_t lc = static_cast<std::size_t>(b[5]) << 8 | b[6];
    if (lc == 0) return std::nullopt;
    if (n == 7 + lc) {
        a.data = b.subspan(7, lc);
        return a;
    }
    if (n == 9 + lc) {
        a.data = b.subspan(7, lc);
        const std::size_t le = static_cast<std::size_t>(b[n - 2]) << 8 | b[n - 1];
        a.hasLe = true;
        a.ne = le == 0 ? 65536 : le;
        return a;
    }
    return std::nullopt;
}

}  // namespace ryx::sim
