// libFuzzer harness for ParseAtr: arbitrary stored ATRs on every slot row of both reader families, with and
// without speed negotiation, checked against the invariants that protocol selection relies on.
//
// Input: byte 0 selects the case (bits 0-2: slot row, bit 3: negotiate the speed, bit 4: take atrLength from
// byte 1 as it is, up to 255, instead of from the input size); the rest fills the stored ATR (at most 64 bytes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <ryx.h>

#include "card/parse_atr.h"
#include "card/select_speed.h"
#include "card/slot_record.h"

namespace {

using ryx::SlotDescriptor;
using ryx::SlotRecord;

// Descriptor sets A and B as the reader models report them, one row per slot.
constexpr SlotDescriptor kRows[] = {
    {3, 0, 4000, 4000, 10752, 344100, 512},  {3, 0, 4000, 4000, 10752, 344100, 254},
    {3, 0, 4000, 4000, 10752, 125000, 254},  {3, 0, 5000, 13560, 105938, 847500, 506},
    {3, 0, 5000, 5000, 13441, 625000, 506},  {3, 0, 5000, 5000, 13441, 625000, 506},
};
constexpr std::size_t kRowCount = sizeof kRows / sizeof kRows[0];

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// One parse of a heap-allocated record, so that AddressSanitizer sees any read beyond the record itself.
std::unique_ptr<SlotRecord> Parse(const SlotDescriptor& row, const std::uint8_t (&atr)[ryx::kMaxAtrSize],
                                  std::uint8_t atrLength, bool negotiate, std::uint32_t* result) {
    auto slot = std::make_unique<SlotRecord>();
    slot->descriptor = row;
    std::memcpy(slot->card.atr, atr, sizeof atr);
    slot->card.atrLength = atrLength;
    slot->card.negotiateSpeed = negotiate ? 1 : 0;
    *result = ryx::ParseAtr(*slot);
    return slot;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::uint8_t selector = data[0];
    const SlotDescriptor& row = kRows[(selector & 0x07) % kRowCount];
    const bool negotiate = (selector & 0x08) != 0;
    const bool rawLength = (selector & 0x10) != 0;
    ++data;
    --size;

    std::uint8_t atrLength = 0;
    if (rawLength) {
        if (size < 1) {
            return 0;
        }
        atrLength = data[0];
        ++data;
        --size;
    }
    const std::size_t atrSize = size < ryx::kMaxAtrSize ? size : ryx::kMaxAtrSize;
    if (!rawLength) {
        atrLength = static_cast<std::uint8_t>(atrSize);
    }

    // The stored array: the input, then zeros (a raw atrLength may reach into them).
    std::uint8_t atr[ryx::kMaxAtrSize] = {};
    std::memcpy(atr, data, atrSize);

    std::uint32_t result = 0;
    const auto slot = Parse(row, atr, atrLength, negotiate, &result);
    const ryx::CardState& card = slot->card;

    Require(result == 0 || result == RYX_ERROR_UNRECOGNIZED_MEDIA || result == RYX_W_UNSUPPORTED_CARD);
    // The stored ATR, its length and the speed request are never changed.
    Require(card.atrLength == atrLength);
    Require(std::memcmp(card.atr, atr, sizeof atr) == 0);
    Require(card.negotiateSpeed == (negotiate ? 1 : 0));

    // Bytes past atrLength must not matter: with other bytes there the parse gives the same record.
    if (atrLength < ryx::kMaxAtrSize) {
        std::uint8_t changed[ryx::kMaxAtrSize];
        std::memcpy(changed, atr, sizeof atr);
        std::memset(changed + atrLength, 0xFF, ryx::kMaxAtrSize - atrLength);
        std::uint32_t otherResult = 0;
        const auto other = Parse(row, changed, atrLength, negotiate, &otherResult);
        Require(otherResult == result);
        std::memcpy(other->card.atr, atr, sizeof atr);
        Require(std::memcmp(slot.get(), other.get(), sizeof(SlotRecord)) == 0);
    }

    if (result != 0) {
        return 0;
    }
    Require(atrLength >= 2 && atrLength <= ryx::kMaxAtrSize);
    Require(card.convention == (card.atr[0] == 0x3F ? 1u : 0u));
    Require(slot->descriptor.cardMode == ryx::kCardModeNegotiable ||
            slot->descriptor.cardMode == ryx::kCardModeSpecific);
    Require((card.protocolMask & ~3u) == 0);
    Require(card.historicalCount <= 15);
    Require(card.clockKhz == row.defaultClock);
    Require(card.fiIndex < 16 && card.diIndex < 16);
    Require(ryx::kFiTable[card.fiIndex] != 0 && ryx::kDiTable[card.diIndex] != 0);

    const bool defaultPair = card.fiIndex == 1 && card.diIndex == 1;
    if (!negotiate) {
        Require(defaultPair);
    }
    if (defaultPair) {
        Require(card.dataRate == row.defaultDataRate);
    } else {
        // A found rate is the one of the chosen pair and never above what the slot accepts.
        Require(card.dataRate == ryx::CardDataRate(card.clockKhz, card.fiIndex, card.diIndex));
        Require(card.dataRate <= row.maxDataRate);
        Require(card.fiIndex <= card.atrFiIndex && card.diIndex <= card.atrDiIndex);
    }
    if ((card.protocolMask & 2u) != 0) {
        Require(card.ifsc != 0 && card.cwi != 0 && card.cwi < 16 && card.bwi != 0 && card.bwi < 16);
        Require(card.edcType <= 1);
    }
    return 0;
}
