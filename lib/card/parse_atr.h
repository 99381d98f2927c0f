// ATR parsing (ISO/IEC 7816-3 grammar) and the choice of Fi/Di for the slot. Pure: no I/O, no allocation.
#pragma once

#include <cstdint>

#include "card/slot_record.h"

namespace ryx {

// Clock rate conversion integers Fi and baud rate adjustment integers Di, 0 for RFU.
extern const std::uint32_t kFiTable[16];
extern const std::uint32_t kDiTable[16];

// Parses slot.card.atr[0..atrLength) (atrLength must not be 0) into slot.card and slot.descriptor.cardMode,
// using slot.card.negotiateSpeed and the descriptor's clock and rate limits.
// Returns 0, 1785 (the ATR breaks the grammar) or RYX_W_UNSUPPORTED_CARD (Fi index not supported, or Di index
// RFU when the speed is negotiated). Never reads outside the atr array.
[[nodiscard]] std::uint32_t ParseAtr(SlotRecord& slot) noexcept;

}  // namespace ryx
