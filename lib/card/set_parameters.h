// The PC_to_RDR_SetParameters message that puts a card into T=0 or T=1.
#pragma once

#include <cstdint>

#include "card/slot_record.h"
#include "link/link.h"

namespace ryx {

inline constexpr std::uint32_t kSetParametersT0Size = 15;
inline constexpr std::uint32_t kSetParametersT1Size = 17;

// Builds the whole message (header and body) for card.protocol 1 (T=0) or 2 (T=1) into out (17 bytes of room).
// Returns its length (15 or 17), or 0 for any other protocol. Pure.
[[nodiscard]] std::uint32_t BuildSetParametersMessage(const CardState& card, std::uint8_t slot, std::uint8_t seq,
                                                      std::uint8_t* out) noexcept;

// Takes a sequence number, builds the message for card.protocol and exchanges it (reply RDR_to_PC_Parameters,
// room for 17 bytes). A protocol other than 1 or 2 gives 31 without an exchange (the number is taken all the same).
[[nodiscard]] std::uint32_t SendSetParameters(Link& link, const CardState& card);

}  // namespace ryx
