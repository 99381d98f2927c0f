// ATR parsing (ISO/IEC 7816-3 grammar) and the choice of Fi/Di for the slot. Pure: no I/O, no allocation.
#pragma once

#include <cstdint>

#include "card/slot_record.h"

namespace ryx {

// Clock rate conversion integers Fi and baud rate adjustment integers Di, 0 for RFU.
extern const std::uint32_t kFiTable[16];
extern const std::uint32_t kDiTable[16];

// What an ATR says, decoded by the grammar alone: no choice of speed or mode, nothing written anywhere.
struct AtrGrammar {
    enum class Verdict {
        kBadStart,   // length out of 2..64, or TS neither 3B nor 3F: nothing else is decoded
        kBadLength,  // the interface bytes, K historical bytes and TCK do not add up, or TCK is wrong
        kWellFormed,
    };
    Verdict verdict = Verdict::kBadStart;
    // From kBadLength on:
    std::uint32_t convention = 0;      // 1 inverse (3F), 0 direct (3B)
    std::uint8_t historicalCount = 0;  // K, the low nibble of T0
    // From kWellFormed on:
    std::uint32_t historicalOffset = 0;  // where the K historical bytes start
    std::uint8_t fiIndex = 1;            // TA1, high and low nibble (default 11)
    std::uint8_t diIndex = 1;
    std::uint8_t programmingCurrent = 0;  // TB1 bits 7-6
    std::uint8_t programmingVoltage = 0;  // TB2, else TB1 bits 5-1 times ten (tenths of a volt)
    std::uint8_t extraGuardTime = 0;      // TC1
    bool ta2Present = false;
    std::uint8_t ta2Protocol = 0;         // low nibble of TA2
    std::uint32_t distinctTypeCount = 0;  // protocol types the TDs indicate
    bool offersT0 = false;                // no TD1, or TD1 indicates T=0
    std::uint8_t waitingInteger = 0;      // TC2 (default 10)
    // The T=1 parameters come from the group after the first run of TDs indicating T=1.
    bool offersT1 = false;                                 // such a run exists
    bool t1GroupMissing = false;                           // the run reaches TD4: no group carries the parameters
    std::uint8_t ifsc = 0, cwi = 0, bwi = 0, edcType = 0;  // with the grammar's defaults 32, 13, 4, LRC
};

// Decodes atr[0..length). Reads nothing at or past length. Pure; tests and fuzzers call it directly.
[[nodiscard]] AtrGrammar DecodeAtr(const std::uint8_t* atr, std::uint32_t length) noexcept;

// Parses slot.card.atr[0..atrLength) (atrLength must not be 0) into slot.card and slot.descriptor.cardMode,
// using slot.card.negotiateSpeed and the descriptor's clock and rate limits.
// Returns 0, 1785 (the ATR breaks the grammar) or RYX_W_UNSUPPORTED_CARD (Fi index not supported, or Di index
// RFU when the speed is negotiated). Never reads outside the atr array.
[[nodiscard]] std::uint32_t ParseAtr(SlotRecord& slot) noexcept;

}  // namespace ryx
