#include "card/select_speed.h"

#include <ryx.h>

#include "card/parse_atr.h"

namespace ryx {

std::uint32_t CardDataRate(std::uint32_t clockKhz, std::uint8_t fiIndex, std::uint8_t diIndex) noexcept {
    const std::uint32_t f = kFiTable[fiIndex & 0x0F];
    const std::uint32_t d = kDiTable[diIndex & 0x0F];
    if (f == 0 || d == 0) {
        return 0;
    }
    // Wraps for clocks above 67 MHz; every slot clock the readers report is far below that.
    return clockKhz * d * 1000u / f;
}

std::uint32_t SelectSpeed(const SlotDescriptor& slot, std::uint8_t atrFiIndex, std::uint8_t atrDiIndex, bool negotiate,
                          SpeedChoice* choice) noexcept {
    if (!negotiate) {
        *choice = SpeedChoice{1, 1, slot.defaultDataRate};
        return 0;
    }
    const std::uint8_t cardDi = atrDiIndex & 0x0F;
    if (kDiTable[cardDi] == 0) {
        return RYX_W_UNSUPPORTED_CARD;
    }
    // The descent is by table index, not by value: after Di index 8 (12) comes 7 (64), and Fi indexes 8 and 7
    // (reserved) are passed through on the way from 9 down to 6. Each outer pass tries at most eight Di indexes.
    for (std::uint8_t fi = atrFiIndex & 0x0F;; --fi) {
        for (std::uint8_t di = cardDi; di > 1; --di) {
            const std::uint32_t rate = CardDataRate(slot.defaultClock, fi, di);
            if (rate != 0 && rate <= slot.maxDataRate) {
                *choice = SpeedChoice{fi, di, rate};
                return 0;
            }
        }
        // Index 1 is the reader's default speed and always works; index 0 only arrives from a caller that
        // skipped the Fi support check, and settles there too instead of wrapping round the table.
        if (fi <= 1) {
            *choice = SpeedChoice{1, 1, slot.defaultDataRate};
            return 0;
        }
    }
}

}  // namespace ryx
