// libFuzzer harness for ParseAtr and the Fi/Di speed choice: arbitrary stored ATRs of 0 to 64 bytes, each parsed
// on every slot row of both reader families, with and without speed negotiation, and checked against what
// protocol selection relies on.
//
// Input: byte 0 selects the case (bit 4: take atrLength from byte 1 as it is, up to 255, instead of from the
// input size; its low nibble and that of the first ATR byte: a Fi/Di pair for a direct SelectSpeed check); the
// rest fills the stored ATR (at most 64 bytes, zeros after it).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include <ryx.h>

#include "card/parse_atr.h"
#include "card/select_speed.h"
#include "card/slot_record.h"
#include "fuzz_input.h"

namespace {

using ryx::CardState;
using ryx::SlotDescriptor;
using ryx::SlotRecord;

// Descriptor sets A and B as the reader models report them, one row per slot.
constexpr SlotDescriptor kRows[] = {
    {3, 0, 4000, 4000, 10752, 344100, 512}, {3, 0, 4000, 4000, 10752, 344100, 254},
    {3, 0, 4000, 4000, 10752, 125000, 254}, {3, 0, 5000, 13560, 105938, 847500, 506},
    {3, 0, 5000, 5000, 13441, 625000, 506}, {3, 0, 5000, 5000, 13441, 625000, 506},
};

// A heap-allocated record (so AddressSanitizer sees reads beyond it) whose every byte but the parse's inputs
// holds fill: two parses with different fills show which bytes a parse wrote and that it read none it had not.
std::unique_ptr<SlotRecord> MakeSlot(const SlotDescriptor& row, const std::uint8_t (&atr)[ryx::kMaxAtrSize],
                                     std::uint8_t atrLength, bool negotiate, std::uint8_t fill) {
    auto slot = std::make_unique<SlotRecord>();
    std::memset(static_cast<void*>(slot.get()), fill, sizeof(SlotRecord));
    slot->descriptor.protocols = row.protocols;
    slot->descriptor.defaultClock = row.defaultClock;
    slot->descriptor.maxClock = row.maxClock;
    slot->descriptor.defaultDataRate = row.defaultDataRate;
    slot->descriptor.maxDataRate = row.maxDataRate;
    slot->descriptor.maxIfsd = row.maxIfsd;
    std::memcpy(slot->card.atr, atr, sizeof atr);
    slot->card.atrLength = atrLength;
    slot->card.negotiateSpeed = negotiate ? 1 : 0;
    return slot;
}

// Whether byte offset lies in an input field of the record (the descriptor's fixed values, the ATR, its length
// and the speed request), which a parse must leave as they are.
bool IsInputByte(std::size_t offset) {
    auto in = [offset](std::size_t begin, std::size_t size) { return offset >= begin && offset < begin + size; };
    const std::size_t card = offsetof(SlotRecord, card);
    return (in(offsetof(SlotRecord, descriptor), sizeof(SlotDescriptor)) &&
            !in(offsetof(SlotDescriptor, cardMode), sizeof(std::uint32_t))) ||
           in(card + offsetof(CardState, atr), ryx::kMaxAtrSize) || in(card + offsetof(CardState, atrLength), 1) ||
           in(card + offsetof(CardState, negotiateSpeed), 1);
}

void CheckParse(const SlotDescriptor& row, const std::uint8_t (&atr)[ryx::kMaxAtrSize], std::uint8_t atrLength,
                bool negotiate) {
    const auto slot = MakeSlot(row, atr, atrLength, negotiate, 0x00);
    const std::uint32_t result = ryx::ParseAtr(*slot);
    const CardState& card = slot->card;

    RYX_FUZZ_REQUIRE(result == 0 || result == RYX_ERROR_UNRECOGNIZED_MEDIA || result == RYX_W_UNSUPPORTED_CARD);
    // The grammar alone refuses what it cannot decode; what it decodes is what the parse stored.
    const ryx::AtrGrammar grammar = ryx::DecodeAtr(atr, atrLength);
    RYX_FUZZ_REQUIRE(grammar.verdict == ryx::AtrGrammar::Verdict::kWellFormed ||
                     result == RYX_ERROR_UNRECOGNIZED_MEDIA);
    if (grammar.verdict == ryx::AtrGrammar::Verdict::kWellFormed) {
        RYX_FUZZ_REQUIRE(card.convention == grammar.convention && card.historicalCount == grammar.historicalCount &&
                         card.atrFiIndex == grammar.fiIndex && card.atrDiIndex == grammar.diIndex &&
                         card.extraGuardTime == grammar.extraGuardTime);
    }
    // The stored ATR, its length, the speed request and the slot's limits are never changed.
    RYX_FUZZ_REQUIRE(card.atrLength == atrLength);
    RYX_FUZZ_REQUIRE(std::memcmp(card.atr, atr, sizeof atr) == 0);
    RYX_FUZZ_REQUIRE(card.negotiateSpeed == (negotiate ? 1 : 0));
    RYX_FUZZ_REQUIRE(slot->descriptor.maxDataRate == row.maxDataRate);

    // The parse depends on nothing but its inputs: over a record filled with other bytes it gives the same result
    // and writes the same bytes; every other byte keeps its fill.
    {
        const auto other = MakeSlot(row, atr, atrLength, negotiate, 0xA5);
        RYX_FUZZ_REQUIRE(ryx::ParseAtr(*other) == result);
        const auto* a = reinterpret_cast<const std::uint8_t*>(slot.get());
        const auto* b = reinterpret_cast<const std::uint8_t*>(other.get());
        for (std::size_t i = 0; i < sizeof(SlotRecord); ++i) {
            RYX_FUZZ_REQUIRE(a[i] == b[i] || (a[i] == 0x00 && b[i] == 0xA5 && !IsInputByte(i)));
        }
    }

    // Bytes of the array past atrLength do not matter: with other bytes there the parse gives the same record.
    if (atrLength < ryx::kMaxAtrSize) {
        std::uint8_t changed[ryx::kMaxAtrSize];
        std::memcpy(changed, atr, sizeof atr);
        std::memset(changed + atrLength, 0xFF, ryx::kMaxAtrSize - atrLength);
        const auto other = MakeSlot(row, changed, atrLength, negotiate, 0x00);
        RYX_FUZZ_REQUIRE(ryx::ParseAtr(*other) == result);
        std::memcpy(other->card.atr, atr, sizeof atr);
        RYX_FUZZ_REQUIRE(std::memcmp(slot.get(), other.get(), sizeof(SlotRecord)) == 0);
    }

    if (result != 0) {
        return;
    }
    RYX_FUZZ_REQUIRE(atrLength >= 2 && atrLength <= ryx::kMaxAtrSize);
    RYX_FUZZ_REQUIRE(atr[0] == 0x3B || atr[0] == 0x3F);
    RYX_FUZZ_REQUIRE(card.convention == (atr[0] == 0x3F ? 1u : 0u));
    RYX_FUZZ_REQUIRE(slot->descriptor.cardMode == ryx::kCardModeNegotiable ||
                     slot->descriptor.cardMode == ryx::kCardModeSpecific);
    RYX_FUZZ_REQUIRE((card.protocolMask & ~3u) == 0);
    RYX_FUZZ_REQUIRE(card.historicalCount == (atr[1] & 0x0F));
    // The historical bytes are the last K bytes of the ATR, or the K before the check byte.
    const std::size_t k = card.historicalCount;
    RYX_FUZZ_REQUIRE(k + 2 <= atrLength);
    RYX_FUZZ_REQUIRE(std::memcmp(card.historicalBytes, atr + atrLength - k, k) == 0 ||
                     (k + 3 <= atrLength && std::memcmp(card.historicalBytes, atr + atrLength - 1 - k, k) == 0));
    RYX_FUZZ_REQUIRE(card.clockKhz == row.defaultClock);

    // The chosen pair lies inside both tables, with entries there.
    RYX_FUZZ_REQUIRE(card.fiIndex < 16 && card.diIndex < 16);
    RYX_FUZZ_REQUIRE(ryx::kFiTable[card.fiIndex] != 0 && ryx::kDiTable[card.diIndex] != 0);
    RYX_FUZZ_REQUIRE(ryx::kFiTable[card.atrFiIndex] != 0 && ryx::kDiTable[card.atrFiIndex] != 0);
    const bool defaultPair = card.fiIndex == 1 && card.diIndex == 1;
    if (!negotiate) {
        RYX_FUZZ_REQUIRE(defaultPair);
    }
    if (defaultPair) {
        RYX_FUZZ_REQUIRE(card.dataRate == row.defaultDataRate);
    } else {
        // A found rate is the one of the chosen pair and never above what the slot accepts.
        RYX_FUZZ_REQUIRE(card.dataRate == ryx::CardDataRate(card.clockKhz, card.fiIndex, card.diIndex));
        RYX_FUZZ_REQUIRE(card.dataRate != 0 && card.dataRate <= row.maxDataRate);
        RYX_FUZZ_REQUIRE(card.fiIndex <= card.atrFiIndex && card.diIndex <= card.atrDiIndex);
    }
    if ((card.protocolMask & 2u) != 0) {
        RYX_FUZZ_REQUIRE(card.ifsc != 0 && card.cwi != 0 && card.cwi < 16 && card.bwi != 0 && card.bwi < 16);
        RYX_FUZZ_REQUIRE(card.edcType <= 1);
    }
}

// SelectSpeed on its own, for any 4-bit pair (the reserved ones included) and any rate limit.
void CheckSelectSpeed(const SlotDescriptor& row, std::uint8_t fi, std::uint8_t di, bool negotiate) {
    ryx::SpeedChoice choice{0xEE, 0xEE, 0xEEEEEEEE};
    const std::uint32_t result = ryx::SelectSpeed(row, fi, di, negotiate, &choice);
    RYX_FUZZ_REQUIRE(result == 0 || result == RYX_W_UNSUPPORTED_CARD);
    if (result != 0) {
        RYX_FUZZ_REQUIRE(negotiate && ryx::kDiTable[di & 0x0F] == 0);
        RYX_FUZZ_REQUIRE(choice.fiIndex == 0xEE && choice.diIndex == 0xEE && choice.dataRate == 0xEEEEEEEE);
        return;
    }
    RYX_FUZZ_REQUIRE(choice.fiIndex < 16 && choice.diIndex < 16);
    if (choice.fiIndex == 1 && choice.diIndex == 1) {
        RYX_FUZZ_REQUIRE(choice.dataRate == row.defaultDataRate);
        return;
    }
    RYX_FUZZ_REQUIRE(negotiate);
    RYX_FUZZ_REQUIRE(ryx::kFiTable[choice.fiIndex] != 0 && ryx::kDiTable[choice.diIndex] != 0);
    RYX_FUZZ_REQUIRE(choice.dataRate == ryx::CardDataRate(row.defaultClock, choice.fiIndex, choice.diIndex));
    RYX_FUZZ_REQUIRE(choice.dataRate != 0 && choice.dataRate <= row.maxDataRate);
    RYX_FUZZ_REQUIRE(choice.fiIndex <= (fi & 0x0F) && choice.diIndex <= (di & 0x0F) && choice.diIndex > 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    ryx::fuzz::FuzzInput input(data, size);
    const std::uint8_t selector = input.Byte();
    const bool rawLength = (selector & 0x10) != 0;
    std::uint8_t atrLength = rawLength ? input.Byte() : 0;
    const auto bytes = input.Take(ryx::kMaxAtrSize);
    if (!rawLength) {
        atrLength = static_cast<std::uint8_t>(bytes.size());
    }

    // The stored array: the input, then zeros (a raw atrLength may reach into them, or past the array).
    std::uint8_t atr[ryx::kMaxAtrSize] = {};
    if (!bytes.empty()) {
        std::memcpy(atr, bytes.data(), bytes.size());
    }

    const std::uint8_t fi = selector & 0x0F;
    const std::uint8_t di = atr[0] & 0x0F;
    for (const SlotDescriptor& row : kRows) {
        for (const bool negotiate : {false, true}) {
            CheckParse(row, atr, atrLength, negotiate);
            CheckSelectSpeed(row, fi, di, negotiate);
        }
    }
    // Any limit at all, however low: a found rate still never exceeds it.
    SlotDescriptor anyLimit = kRows[0];
    anyLimit.maxDataRate = (std::uint32_t{atr[2]} << 16) | (std::uint32_t{atr[3]} << 8) | atr[4];
    CheckSelectSpeed(anyLimit, fi, di, true);
    return 0;
}
