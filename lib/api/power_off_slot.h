// Powering one slot off: the body RYX_PowerOffIcc and RYX_Close share.
#pragma once

#include <cstdint>

#include "api/reader_context.h"
#include "link/messages.h"

namespace ryx {

// Sends PC_to_RDR_IccPowerOff to the slot; the slot counts as unpowered afterwards whatever the reader answers.
// The caller holds the reader's lock and has checked slot against slotCount. Returns what SendIccPowerOff returns.
[[nodiscard]] inline std::uint32_t PowerOffSlot(ReaderContext& reader, std::uint32_t slot) {
    reader.slots[slot].card.atrLength = 0;
    PrepareLink(reader.link, static_cast<std::uint8_t>(slot));
    return SendIccPowerOff(reader.link);
}

}  // namespace ryx
