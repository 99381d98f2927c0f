// The choice of the card's Fi/Di pair so that its data rate fits what the slot accepts. Pure.
#pragma once

#include <cstdint>

#include "card/slot_record.h"

namespace ryx {

struct SpeedChoice {
    std::uint8_t fiIndex = 1;
    std::uint8_t diIndex = 1;
    std::uint32_t dataRate = 0;  // bit/s
};

// The card data rate for a Fi/Di index pair at clockKhz: clockKhz * Di * 1000 / Fi in 32-bit unsigned arithmetic,
// truncated; 0 when either index is reserved. Indexes are taken modulo 16.
[[nodiscard]] std::uint32_t CardDataRate(std::uint32_t clockKhz, std::uint8_t fiIndex, std::uint8_t diIndex) noexcept;

// Chooses Fi/Di for a card whose TA1 holds atrFiIndex/atrDiIndex (4-bit values), on a slot described by slot
// (defaultClock, defaultDataRate, maxDataRate).
// negotiate false: Fi 1, Di 1 at the slot's defaultDataRate, whatever TA1 says.
// negotiate true: starting from the card's own pair, lowers the Di index (by table index, never trying Di index 1)
// until the rate fits maxDataRate; when no Di index fits, lowers the Fi index and starts again from the card's Di
// index; at Fi index 1 (or below) without a fit it settles on Fi 1, Di 1 at defaultDataRate.
// Returns 0 with *choice written, or RYX_W_UNSUPPORTED_CARD (choice untouched) when negotiating and the card's Di
// index is reserved.
[[nodiscard]] std::uint32_t SelectSpeed(const SlotDescriptor& slot, std::uint8_t atrFiIndex, std::uint8_t atrDiIndex,
                                        bool negotiate, SpeedChoice* choice) noexcept;

}  // namespace ryx
