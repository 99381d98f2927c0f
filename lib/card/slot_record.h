// One card slot of a reader: what the reader model fixes (SlotDescriptor) and what the card in it is
// (CardState, written by the card operations, ATR parsing and protocol selection).
#pragma once

#include <ryx.h>

#include <cstdint>

namespace ryx {

inline constexpr std::uint32_t kMaxAtrSize = RYX_MAX_ATR_SIZE;

struct SlotDescriptor {
    std::uint32_t protocols = 0;        // bit 0 T=0, bit 1 T=1
    std::uint32_t cardMode = 0;         // 0 after open, then kCardModeNegotiable or kCardModeSpecific
    std::uint32_t defaultClock = 0;     // kHz, used for rate computations
    std::uint32_t maxClock = 0;         // kHz
    std::uint32_t defaultDataRate = 0;  // bit/s at Fi index 1, Di index 1
    std::uint32_t maxDataRate = 0;      // bit/s; bounds the speed selection
    std::uint32_t maxIfsd = 0;          // bytes
};

// Values of SlotDescriptor::cardMode once an ATR was parsed. In negotiable mode the card offers a choice of
// protocol and speed; in specific mode both are fixed by the ATR (or by a negotiation that succeeded).
inline constexpr std::uint32_t kCardModeNegotiable = 4;
inline constexpr std::uint32_t kCardModeSpecific = 5;

// The protocol fields hold RYX_PROTOCOL_* flags: the protocol T=n an ATR names is bit n.
inline constexpr std::uint32_t kProtocolNone = 0;
inline constexpr std::uint8_t kProtocolTypeT0 = 0;
inline constexpr std::uint8_t kProtocolTypeT1 = 1;
[[nodiscard]] inline constexpr std::uint32_t ProtocolFlag(std::uint32_t type) noexcept {
    return 1u << type;
}

struct CardState {
    std::uint32_t convention = 0;  // 1 inverse, 0 direct
    std::uint8_t atr[kMaxAtrSize] = {};
    std::uint8_t atrLength = 0;  // 0: the card is not powered
    std::uint8_t historicalBytes[15] = {};
    std::uint8_t historicalCount = 0;
    std::uint8_t atrFiIndex = 0;
    std::uint8_t atrDiIndex = 0;
    std::uint8_t programmingCurrent = 0;
    std::uint8_t programmingVoltage = 0;  // tenths of a volt
    std::uint8_t extraGuardTime = 0;      // N, from TC1
    std::uint32_t protocolMask = 0;       // protocols the ATR offers, bit 0 T=0, bit 1 T=1
    std::uint32_t protocol = 0;           // in force: RYX_PROTOCOL_T0 or _T1, or kProtocolNone
    std::uint8_t waitingInteger = 0;      // T=0 WI
    std::uint8_t ifsc = 0;
    std::uint8_t cwi = 0;
    std::uint8_t bwi = 0;
    std::uint8_t edcType = 0;         // 0 LRC, 1 CRC
    std::uint8_t negotiateSpeed = 0;  // 1: search Fi/Di from TA1; 0: keep the default speed
    std::uint8_t fiIndex = 0;
    std::uint8_t diIndex = 0;
    std::uint32_t clockKhz = 0;
    std::uint32_t dataRate = 0;  // bit/s
};

struct SlotRecord {
    SlotDescriptor descriptor;
    CardState card;
};

}  // namespace ryx
