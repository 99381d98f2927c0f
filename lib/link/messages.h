// The reader's message set: CCID-style commands, one ExchangeFrame each, replies checked against the command.
// Every operation runs with the reader's lock held and link.currentSlot set, and returns 0 or a status code.
#pragma once

#include <cstdint>
#include <span>

#include "link/link.h"

namespace ryx {

inline constexpr std::size_t kMessageHeaderSize = 10;

// Message types.
inline constexpr std::uint8_t kPcToRdrSetParameters = 0x61;
inline constexpr std::uint8_t kPcToRdrIccPowerOn = 0x62;
inline constexpr std::uint8_t kPcToRdrIccPowerOff = 0x63;
inline constexpr std::uint8_t kPcToRdrGetSlotStatus = 0x65;
inline constexpr std::uint8_t kPcToRdrEscape = 0x6B;
inline constexpr std::uint8_t kPcToRdrXfrBlock = 0x6F;
inline constexpr std::uint8_t kRdrToPcDataBlock = 0x80;
inline constexpr std::uint8_t kRdrToPcSlotStatus = 0x81;
inline constexpr std::uint8_t kRdrToPcParameters = 0x82;
inline constexpr std::uint8_t kRdrToPcEscape = 0x83;

// Takes the next sequence number (the counter advances modulo 256).
[[nodiscard]] std::uint8_t NextSequence(Link& link) noexcept;

// Writes a 10-byte command header.
void BuildMessageHeader(std::uint8_t* out, std::uint8_t type, std::uint32_t dwLength, std::uint8_t slot,
                        std::uint8_t seq, std::uint8_t byte7, std::uint8_t byte8, std::uint8_t byte9) noexcept;

// Checks a reply against the command it answers: 0, 31 (short, wrong type/slot/sequence, failed command),
// 1460 (mute card present) or 1112 (no card). Pure.
[[nodiscard]] std::uint32_t CheckReply(std::span<const std::uint8_t> reply, std::uint8_t expectedType,
                                       std::uint8_t slot, std::uint8_t seq) noexcept;

// One round trip of an already built message (its bSlot and bSeq are read from it): ExchangeFrame with room for
// *replyLength bytes, then CheckReply. reply/replyLength as for ExchangeFrame; written on success only.
[[nodiscard]] std::uint32_t ExchangeMessage(Link& link, std::span<const std::uint8_t> message,
                                            std::uint8_t expectedType, std::uint8_t* reply,
                                            std::uint32_t* replyLength);

// ATR into atr; *atrLength in: capacity, out: ATR length (on success only).
[[nodiscard]] std::uint32_t SendIccPowerOn(Link& link, std::uint8_t* atr, std::uint32_t* atrLength);
[[nodiscard]] std::uint32_t SendIccPowerOff(Link& link);
// *iccStatus receives bmICCStatus on 0 and on 1112.
[[nodiscard]] std::uint32_t SendGetSlotStatus(Link& link, std::uint8_t* iccStatus);
// A command APDU of any length, chained in blocks of link.maxBlockSize; *responseLength in: capacity K,
// out: the gathered response length (on success only). 122 when the response exceeds K.
[[nodiscard]] std::uint32_t SendXfrBlock(Link& link, std::span<const std::uint8_t> command, std::uint8_t* response,
                                         std::uint32_t* responseLength);
// *replyLength in: capacity, out: reply data length (on success only).
[[nodiscard]] std::uint32_t SendEscape(Link& link, std::span<const std::uint8_t> data, std::uint8_t* reply,
                                       std::uint32_t* replyLength);

}  // namespace ryx
