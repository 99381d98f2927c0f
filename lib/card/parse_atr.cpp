#include "card/parse_atr.h"

#include <ryx.h>

#include <cstring>

#include "card/select_speed.h"

namespace ryx {
namespace {

constexpr std::uint8_t kDirectConvention = 0x3B;
constexpr std::uint8_t kInverseConvention = 0x3F;
constexpr int kMaxGroups = 4;

// TAi, TBi, TCi and TDi of the four interface groups, index 1 to 4 (index 0 unused, so that the numbers match
// the names). Absent bytes hold 0 except for the defaults that the grammar gives TA1, TB1 and TC2.
struct InterfaceGroups {
    std::uint8_t ta[kMaxGroups + 1] = {0, 0x11, 0, 0, 0};
    std::uint8_t tb[kMaxGroups + 1] = {0, 0x25, 0, 0, 0};
    std::uint8_t tc[kMaxGroups + 1] = {0, 0, 10, 0, 0};
    bool tdPresent[kMaxGroups + 1] = {};
    std::uint8_t tdProtocol[kMaxGroups + 1] = {};  // low nibble of TDi
    bool ta2Present = false;
    std::uint32_t indicatedTypes = 0;     // bit T set when some TDi indicates protocol type T
    std::uint32_t distinctTypeCount = 0;  // number of bits in indicatedTypes
    std::uint32_t end = 2;                // offset of the first byte after the interface bytes
    int remaining = 0;                    // bytes after TS and T0 not taken by interface bytes; negative: too few
};

// Reads the interface bytes that T0 and the TDi announce. Bytes past atrLength read as 0 and drive the count
// negative, so a truncated ATR is caught by the length checks without looking past what was received.
InterfaceGroups ReadInterfaceGroups(const std::uint8_t* atr, std::uint32_t length) noexcept {
    InterfaceGroups g;
    g.remaining = static_cast<int>(length) - 2;
    auto next = [&]() -> std::uint8_t {
        const std::uint8_t value = g.end < length ? atr[g.end] : 0;
        ++g.end;
        --g.remaining;
        return value;
    };
    std::uint8_t y = atr[1] >> 4;
    for (int i = 1; i <= kMaxGroups; ++i) {
        if (y & 0x1) {
            g.ta[i] = next();
            g.ta2Present = g.ta2Present || i == 2;
        }
        if (y & 0x2) {
            g.tb[i] = next();
        }
        if (y & 0x4) {
            g.tc[i] = next();
        }
        if ((y & 0x8) == 0) {
            break;
        }
        // Whatever TD4 announces is not read: those bytes stay in the count and must be matched by K.
        const std::uint8_t td = next();
        g.tdPresent[i] = true;
        g.tdProtocol[i] = td & 0x0F;
        const std::uint32_t bit = ProtocolFlag(g.tdProtocol[i]);
        if ((g.indicatedTypes & bit) == 0) {
            g.indicatedTypes |= bit;
            ++g.distinctTypeCount;
        }
        y = td >> 4;
    }
    return g;
}

// The group that carries the T=1 parameters: the one after the last TD of the first run of TDs indicating T=1.
// 0 when no TD indicates T=1; kMaxGroups + 1 when that run reaches TD4, where no group follows.
int FindT1Group(const InterfaceGroups& g) noexcept {
    auto isT1 = [&](int i) { return g.tdPresent[i] && g.tdProtocol[i] == kProtocolTypeT1; };
    for (int i = 1; i <= kMaxGroups; ++i) {
        if (isT1(i)) {
            int last = i;
            while (last < kMaxGroups && isT1(last + 1)) {
                ++last;
            }
            return last + 1;
        }
    }
    return 0;
}

// The protocols the ATR offers and their parameters. T=0 is written before an ATR whose T=1 parameters have no
// group is refused.
std::uint32_t RecordProtocols(const AtrGrammar& a, CardState& card) noexcept {
    if (a.offersT0) {
        card.protocolMask |= RYX_PROTOCOL_T0;
        card.waitingInteger = a.waitingInteger;
    }
    if (a.t1GroupMissing) {
        return RYX_ERROR_UNRECOGNIZED_MEDIA;
    }
    if (a.offersT1) {
        card.protocolMask |= RYX_PROTOCOL_T1;
        card.ifsc = a.ifsc;
        card.cwi = a.cwi;
        card.bwi = a.bwi;
        card.edcType = a.edcType;
    }
    return 0;
}

}  // namespace

AtrGrammar DecodeAtr(const std::uint8_t* atr, std::uint32_t length) noexcept {
    AtrGrammar a;
    if (length < 2 || length > kMaxAtrSize) {
        return a;
    }
    const std::uint8_t ts = atr[0];
    if (ts != kDirectConvention && ts != kInverseConvention) {
        return a;
    }
    a.verdict = AtrGrammar::Verdict::kBadLength;
    a.convention = ts == kInverseConvention ? 1 : 0;
    const std::uint8_t k = atr[1] & 0x0F;
    a.historicalCount = k;

    std::uint8_t check = 0;
    for (std::uint32_t i = 1; i < length; ++i) {
        check ^= atr[i];
    }
    InterfaceGroups g = ReadInterfaceGroups(atr, length);
    // TCK follows the historical bytes only when some TD indicates a protocol other than T=0.
    if ((g.indicatedTypes & ~1u) != 0) {
        --g.remaining;
        if (check != 0) {
            return a;
        }
    }
    if (g.remaining < 0 || g.remaining != k) {
        return a;
    }
    a.verdict = AtrGrammar::Verdict::kWellFormed;
    // remaining == k guarantees that the k bytes after the interface bytes lie within the ATR.
    a.historicalOffset = g.end;
    a.fiIndex = g.ta[1] >> 4;
    a.diIndex = g.ta[1] & 0x0F;
    a.programmingCurrent = g.tb[1] >> 6;
    a.programmingVoltage = g.tb[2] != 0 ? g.tb[2] : static_cast<std::uint8_t>((g.tb[1] & 0x1F) * 10);
    a.extraGuardTime = g.tc[1];
    a.ta2Present = g.ta2Present;
    a.ta2Protocol = g.ta[2] & 0x0F;
    a.distinctTypeCount = g.distinctTypeCount;
    // A card whose first TD indicates another protocol does not offer T=0, whatever later TDs say.
    a.offersT0 = !g.tdPresent[1] || g.tdProtocol[1] == kProtocolTypeT0;
    a.waitingInteger = g.tc[2];
    const int t1Group = FindT1Group(g);
    a.offersT1 = t1Group != 0;
    a.t1GroupMissing = t1Group > kMaxGroups;
    if (a.offersT1 && !a.t1GroupMissing) {
        const std::uint8_t ta = g.ta[t1Group];
        const std::uint8_t tb = g.tb[t1Group];
        a.ifsc = ta != 0 ? ta : 32;
        a.cwi = (tb & 0x0F) != 0 ? tb & 0x0F : 13;
        a.bwi = (tb >> 4) != 0 ? tb >> 4 : 4;
        a.edcType = g.tc[t1Group] & 0x01;
    }
    return a;
}

// What the grammar gives is written step by step, each step before the check that may end the parse, so that a
// refused ATR leaves exactly the fields written that the steps before it wrote.
std::uint32_t ParseAtr(SlotRecord& slot) noexcept {
    CardState& card = slot.card;
    // atrLength never exceeds the array when the card operations stored it; a larger value is refused rather
    // than trusted, before anything is written.
    const std::uint32_t length = card.atrLength;
    const AtrGrammar a = DecodeAtr(card.atr, length);
    if (a.verdict == AtrGrammar::Verdict::kBadStart) {
        return RYX_ERROR_UNRECOGNIZED_MEDIA;
    }
    card.convention = a.convention;
    card.protocolMask = 0;
    card.historicalCount = a.historicalCount;
    if (a.verdict != AtrGrammar::Verdict::kWellFormed) {
        return RYX_ERROR_UNRECOGNIZED_MEDIA;
    }
    std::memcpy(card.historicalBytes, card.atr + a.historicalOffset, a.historicalCount);
    card.atrFiIndex = a.fiIndex;
    card.atrDiIndex = a.diIndex;
    card.programmingCurrent = a.programmingCurrent;
    card.programmingVoltage = a.programmingVoltage;
    card.extraGuardTime = a.extraGuardTime;

    // The reader takes only these Fi indexes: those with an entry in both tables (1 to 6 and 9).
    if (kFiTable[card.atrFiIndex] == 0 || kDiTable[card.atrFiIndex] == 0) {
        return RYX_W_UNSUPPORTED_CARD;
    }

    card.clockKhz = slot.descriptor.defaultClock;
    SpeedChoice speed;
    const std::uint32_t speedResult =
        SelectSpeed(slot.descriptor, card.atrFiIndex, card.atrDiIndex, card.negotiateSpeed != 0, &speed);
    if (speedResult != 0) {
        return speedResult;
    }
    card.fiIndex = speed.fiIndex;
    card.diIndex = speed.diIndex;
    card.dataRate = speed.dataRate;

    // The card's own TA1 decides the mode, not the pair chosen above.
    const bool specific = a.ta2Present || (a.distinctTypeCount <= 1 && card.atrFiIndex == 1 && card.atrDiIndex == 1);
    slot.descriptor.cardMode = specific ? kCardModeSpecific : kCardModeNegotiable;

    if (const std::uint32_t protocolResult = RecordProtocols(a, card); protocolResult != 0) {
        return protocolResult;
    }
    if (specific) {
        card.protocol = a.ta2Present ? ProtocolFlag(a.ta2Protocol) : card.protocolMask;
    }
    return 0;
}

}  // namespace ryx
