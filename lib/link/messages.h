// The reader's message set: CCID-style commands, one ExchangeFrame each, replies checked against the command.
// Every operation works on a Link as link.h says, with link.currentSlot set, and returns 0 or a status code.
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

// Writes a 10-byte command header. specific7 to specific9: the message-specific bytes at offsets 7 to 9 (bBWI,
// bPowerSelect or bProtocolNum first; then wLevelParameter, low byte first, or zeros).
void BuildMessageHeader(std::uint8_t* out, std::uint8_t type, std::uint32_t dwLength, std::uint8_t slot,
                        std::uint8_t seq, std::uint8_t specific7, std::uint8_t specific8,
                        std::uint8_t specific9) noexcept;

// The dwLength field of a message header (bytes 1 to 4, little-endian): the number of data bytes it announces.
[[nodiscard]] std::uint32_t MessageDataLength(const std::uint8_t* header) noexcept;

// Checks a reply against the command it answers: 0, 31 (short, a length field other than the number of data
// bytes after the header, wrong type/slot/sequence, failed command), 1460 (mute card present) or 1112 (no card).
// Pure.
[[nodiscard]] std::uint32_t CheckReply(std::span<const std::uint8_t> reply, std::uint8_t expectedType,
                                       std::uint8_t slot, std::uint8_t seq) noexcept;

// One round trip of an already built message, header followed by data (bSlot and bSeq are read from the
// header): ExchangeFrameInPlace with room for capacity bytes, then CheckReply. *reply is set as by
// ExchangeFrameInPlace, that is whenever a valid reply frame arrived, also when CheckReply then refuses it (so a
// caller can read bStatus on 1112); after 8, 122 or a 31 of the frame exchange it is untouched. Returns the codes of
// ExchangeFrameInPlace and CheckReply, or 87 when header is shorter than a message header or reply is null.
[[nodiscard]] std::uint32_t ExchangeMessageInPlace(Link& link, std::span<const std::uint8_t> header,
                                                   std::span<const std::uint8_t> data, std::uint8_t expectedType,
                                                   std::uint32_t capacity, std::span<const std::uint8_t>* reply);

// ExchangeMessageInPlace for message, with room for *replyLength bytes, the reply copied out: reply and
// *replyLength are written whenever ExchangeMessageInPlace sets its reply. Returns its codes, or 87 when message is
// shorter than a header or replyLength is null.
[[nodiscard]] std::uint32_t ExchangeMessage(Link& link, std::span<const std::uint8_t> message,
                                            std::uint8_t expectedType, std::uint8_t* reply, std::uint32_t* replyLength);

// Copies the body of a reply that ExchangeMessage accepted (the replyLength bytes less the header) to out and
// stores its length in *outLength; out must have room for it.
void CopyReplyBody(const std::uint8_t* reply, std::uint32_t replyLength, std::uint8_t* out,
                   std::uint32_t* outLength) noexcept;

// Every Send* below builds its messages for link.currentSlot, each message taking the next sequence number; the
// counter stays advanced whatever the outcome. Results: 0, the codes of ExchangeFrame (link.h) and of CheckReply
// (above), 8 when a working buffer cannot be allocated, 87 for a null length or status pointer. Output buffers
// and lengths are written on 0 only, unless said otherwise.

// PC_to_RDR_IccPowerOn with link.powerSelect. atr: out, room for *atrLength bytes; *atrLength in: capacity,
// out: ATR length (on success only). An ATR longer than the capacity gives 122.
[[nodiscard]] std::uint32_t SendIccPowerOn(Link& link, std::uint8_t* atr, std::uint32_t* atrLength);

// PC_to_RDR_IccPowerOff. No heap memory; a reply that carries data gives 122.
[[nodiscard]] std::uint32_t SendIccPowerOff(Link& link);

// PC_to_RDR_GetSlotStatus. *iccStatus (non-null) receives bmICCStatus (0 active, 1 present and not active,
// 2 no card) on 0 and on 1112, and is left alone otherwise. No heap memory; a reply with data gives 122.
[[nodiscard]] std::uint32_t SendGetSlotStatus(Link& link, std::uint8_t* iccStatus);

// A command APDU of any length, chained in blocks of at most link.maxBlockSize bytes (87 when that is 0 and the
// command is not empty), with response chaining. response: out, room for *responseLength bytes; *responseLength
// in: capacity K, out: the gathered response length (on success only). response is written on success only: the
// data of a chained response is held back until its last block has arrived, so a chain that fails half-way leaves
// response and *responseLength as they were; 8 when the held data cannot be stored.
// 122 when the response exceeds K; 31 for an unknown bChainParameter, and for an empty reply to an empty block
// that asks to go on (the chain would never end).
[[nodiscard]] std::uint32_t SendXfrBlock(Link& link, std::span<const std::uint8_t> command, std::uint8_t* response,
                                         std::uint32_t* responseLength);

// PC_to_RDR_Escape carrying data. reply: out, room for *replyLength bytes; *replyLength in: capacity, out: reply
// data length (on success only). Reply data longer than the capacity gives 122.
[[nodiscard]] std::uint32_t SendEscape(Link& link, std::span<const std::uint8_t> data, std::uint8_t* reply,
                                       std::uint32_t* replyLength);

}  // namespace ryx
