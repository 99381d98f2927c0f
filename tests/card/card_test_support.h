// Slot records for the card tests: the descriptor rows the reader models report, and ATRs with their TCK.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "card/slot_record.h"

namespace ryx::test {

// Descriptor set A, slot 0 (4 MHz, up to 344100 bit/s) and slot 2 (up to 125000 bit/s).
inline SlotDescriptor SetASlot0() {
    return {3, 0, 4000, 4000, 10752, 344100, 512};
}
inline SlotDescriptor SetASlot2() {
    return {3, 0, 4000, 4000, 10752, 125000, 254};
}
// Descriptor set B, slots 0 (13.56 MHz maximum clock, 5 MHz used) and 1.
inline SlotDescriptor SetBSlot0() {
    return {3, 0, 5000, 13560, 105938, 847500, 506};
}
inline SlotDescriptor SetBSlot1() {
    return {3, 0, 5000, 5000, 13441, 625000, 506};
}

// The bytes with a TCK appended that makes the exclusive-or of T0 through TCK zero.
inline std::vector<std::uint8_t> WithTck(std::initializer_list<std::uint8_t> bytes) {
    std::vector<std::uint8_t> atr(bytes);
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) {
        check ^= atr[i];
    }
    atr.push_back(check);
    return atr;
}

// A slot record holding atr as the stored ATR of the last power-on.
inline SlotRecord SlotWithAtr(const SlotDescriptor& descriptor, const std::vector<std::uint8_t>& atr,
                              bool negotiate = true) {
    SlotRecord slot;
    slot.descriptor = descriptor;
    std::memcpy(slot.card.atr, atr.data(), atr.size());
    slot.card.atrLength = static_cast<std::uint8_t>(atr.size());
    slot.card.negotiateSpeed = negotiate ? 1 : 0;
    return slot;
}

}  // namespace ryx::test
