// The reader link: the part of a reader's context that the frame exchange and the message set work on.
// The caller (lib/api) holds the reader's lock for every use.
#pragma once

#include <cstdint>
#include <span>

#include "link/frame_buffer.h"
#include "serial/serial_port.h"

namespace ryx {

// What the link did to keep late answers out of replies; read by tests and the soak, never by the library.
struct LinkCounters {
    std::uint64_t drains = 0;          // waits for a quiet line before a frame went out
    std::uint64_t lateAnswers = 0;     // of those, the ones that found bytes no frame of the exchange asked for
    std::uint64_t discardedBytes = 0;  // bytes thrown away by the drains
};

struct Link {
    SerialHandle port = kInvalidSerialHandle;
    // Frame delimiters; every operation stores 0x02, 0x03, 0x02, 0x03 before its first message.
    std::uint8_t txStart = 0;
    std::uint8_t txEnd = 0;
    std::uint8_t rxStart = 0;
    std::uint8_t rxEnd = 0;
    std::uint32_t statusTimeout = 0;    // ms to wait for the 4-byte status frame
    std::uint32_t responseTimeout = 0;  // ms for each read of the response frame
    std::uint32_t statusRetries = 0;    // further command attempts
    std::uint32_t responseRetries = 0;  // further response attempts (each after a RepeatRequest)
    std::uint32_t maxBlockSize = 0;     // most command bytes in one PC_to_RDR_XfrBlock
    std::uint8_t currentSlot = 0;       // bSlot of the operation in progress
    std::uint8_t sequence = 0;          // bSeq of the next message; wraps 255 -> 0
    std::uint8_t powerSelect = 0;       // bPowerSelect of PC_to_RDR_IccPowerOn
    // The reader may still answer a frame the host no longer listens to: the next exchange drains the line first.
    bool unsettled = false;
    LinkCounters counters;
    // Sized for the longest frame of the reader's block size once it is known (before, of an unidentified reader),
    // and reused by every exchange; a longer frame has a buffer of its own for one exchange.
    FrameBuffer receive;
    FrameBuffer transmit;
    // Bytes taken off the line ahead of the response reads that want them; they lie in receive right after the bytes
    // given to the response so far. A purge discards them.
    std::uint32_t readAhead = 0;
};

// Stores the frame delimiters and the slot, as every operation does before its first message.
inline void PrepareLink(Link& link, std::uint8_t slot) noexcept {
    link.txStart = 0x02;
    link.txEnd = 0x03;
    link.rxStart = 0x02;
    link.rxEnd = 0x03;
    link.currentSlot = slot;
}

// Carries one message to the reader and brings back its reply message (header and data). Late answers never
// count as the reply: see "The rule against late answers" in exchange_frame.cpp.
// head, body: the message, framed as head followed by body. capacity: the largest reply accepted. *reply: out, on
// success only, the reply in the link's receive buffer, valid until the link's next exchange. Blocks as the
// "Blocking" paragraph of ryx.h says. Returns 0, 8 (no memory, or a message too long for one frame), 31 (all
// attempts of a phase failed), 122 (more bytes arrived than capacity + 3: at once, with no repeat request; a header
// that only announces too much is a failed attempt when the bytes stop) or 87 (reply null).
[[nodiscard]] std::uint32_t ExchangeFrameInPlace(Link& link, std::span<const std::uint8_t> head,
                                                 std::span<const std::uint8_t> body, std::uint32_t capacity,
                                                 std::span<const std::uint8_t>* reply);

// ExchangeFrameInPlace for payload, with the reply copied out. reply: out, room for *replyLength bytes.
// *replyLength: in, the largest reply accepted; out (on success only), the reply's length. reply is written on
// success only. Returns the codes of ExchangeFrameInPlace; 87 when replyLength is null.
[[nodiscard]] std::uint32_t ExchangeFrame(Link& link, std::span<const std::uint8_t> payload, std::uint8_t* reply,
                                          std::uint32_t* replyLength);

}  // namespace ryx
