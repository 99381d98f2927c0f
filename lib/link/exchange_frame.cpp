// One command/status/response transaction with the reader, with its retries.
#include <ryx.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <utility>

#include "link/frame.h"
#include "link/link.h"
#include "link/response_assembler.h"
#include "link/working_buffer.h"
#include "serial/serial_port.h"

namespace ryx {

// The rule against late answers. A reader answers every frame it takes, however late: the status and response
// to a command frame whose status read timed out, the response to a repeat request sent after the last response
// attempt, the answer to the first copy of a command frame that went out twice. Such an answer must never be
// taken for the reply to a later frame, so the host lets the line fall quiet before a frame goes out whenever one
// may still be on its way:
//   - an exchange that ends while an answer may still come (a status read timed out, a status or response came
//     incomplete, the last response attempt failed and its repeat request went out, or the response proved too
//     long) leaves the link unsettled, and the next exchange drains the line before its purge and command frame;
//   - a status read that brings bytes which are not a status frame (the start of a late response, say) drains the
//     line before the command frame goes out again;
//   - while an answer may still come within an exchange (a command frame sent again after silence, a repeat
//     request after a response that stopped short), the response is read up to its announced end and no
//     further, so that an answer behind it is left to the drain (bytes already read ahead of the response are the
//     line's, and the drain counts them with the rest);
//   - a reply the message layer refuses (another bSeq, a length that does not add up) leaves the link unsettled;
//   - so does a command frame whose write failed: part of it may have gone out, and the reader may answer that.
// Draining reads and discards until nothing has arrived for as long as the reader's longest frame takes at the
// current rate, within a firm limit; a drain that reached the limit first leaves the link unsettled. An exchange on a
// settled line whose first attempts succeed waits for nothing more than its own frames.
namespace {

constexpr std::uint32_t kResponseChunkSize = 64;
// The longest frame a reader sends before its block size is known carries the 35-byte firmware reply.
constexpr std::uint32_t kLongestDataBeforeIdentification = 64;
// Ten bits a byte on the line (start, 8 data, stop).
constexpr std::uint64_t kBitsPerByte = 10;
constexpr std::uint64_t kReplyHeaderSize = 10;
// A quiet line is one that stayed silent this long at least (the scheduler's grain on a loaded host), at most
// kDrainLimitMs; and no drain takes longer than kDrainLimitMs, whatever the reader keeps sending.
constexpr std::uint32_t kQuietFloorMs = 50;
constexpr std::uint32_t kDrainLimitMs = 1000;

// The reader's longest frame: a message of its block size, or of the longest reply it sends before that is known.
std::uint64_t LongestFrame(const Link& link) noexcept {
    return std::uint64_t{std::max(link.maxBlockSize, kLongestDataBeforeIdentification)} + kReplyHeaderSize +
           kFrameOverhead;
}

// The time the reader's longest frame takes at the port's current rate.
std::uint32_t QuietTimeMs(const Link& link) noexcept {
    std::uint32_t rate = 0;
    if (!SerialGetBaudRate(link.port, &rate) || rate == 0) {
        rate = 9600;  // the slowest rate a reader runs at
    }
    const std::uint64_t longest = LongestFrame(link);
    const std::uint64_t ms = (longest * kBitsPerByte * 1000 + rate - 1) / rate;
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(ms, kQuietFloorMs, kDrainLimitMs));
}

// Reads and discards until the line has been quiet for QuietTimeMs, and settles the link only if it did: a reader
// still sending when the limit ended the drain leaves it unsettled, so that the next exchange drains again.
// foreignBytes: bytes already taken that no frame asked for; they make this drain count as a late answer even when
// nothing more arrives.
void DrainLine(Link& link, std::uint32_t foreignBytes) noexcept {
    std::uint32_t discarded = 0;
    bool wentQuiet = false;
    // A dead port fails what follows.
    (void)SerialDrain(link.port, QuietTimeMs(link), kDrainLimitMs, &discarded, &wentQuiet);
    // Bytes read ahead of the last response are bytes the drain would have found.
    discarded += std::exchange(link.readAhead, 0);
    link.unsettled = !wentQuiet;
    ++link.counters.drains;
    link.counters.discardedBytes += discarded;
    if (discarded + foreignBytes != 0) ++link.counters.lateAnswers;
}

// Read-ahead bytes lie in the receive buffer right after those already handed out (from bytes in): moves them to its
// start, where the next response attempt begins.
void MoveReadAheadToStart(Link& link, std::size_t from) noexcept {
    if (link.readAhead != 0 && from != 0) {
        std::memmove(link.receive.data(), link.receive.data() + from, link.readAhead);
    }
}

// Reads the 4 status bytes. What a read brings after them is the start of the response (or, when the status is not
// one, bytes for the drain): it is read ahead, at the start of the receive buffer, as the line's queue would have
// kept it. The first read follows the command frame: the purge emptied the line, so it waits before it reads.
// Returns how many status bytes arrived.
std::uint32_t ReadStatusFrame(Link& link, std::array<std::uint8_t, kStatusFrameSize>& status) {
    std::uint8_t* const buffer = link.receive.data();  // PrepareBuffers made it longer than a status frame
    const auto room = static_cast<std::uint32_t>(std::min<std::size_t>(link.receive.size(), UINT32_MAX));
    std::uint32_t got = 0;
    while (got < kStatusFrameSize) {
        std::uint32_t n = 0;
        const auto read = got == 0 ? SerialReadAfterWrite : SerialRead;
        if (!read(link.port, buffer + got, room - got, &n, link.statusTimeout) || n == 0) {
            break;
        }
        got += n;
    }
    const std::uint32_t taken = std::min<std::uint32_t>(got, kStatusFrameSize);
    std::memcpy(status.data(), buffer, taken);
    link.readAhead = got - taken;
    MoveReadAheadToStart(link, taken);
    return taken;
}

// True when status is a whole status frame, accepting or not: the reader's own answer to the command frame.
bool IsStatusFrame(const std::array<std::uint8_t, kStatusFrameSize>& status, const Link& link) noexcept {
    return status[0] == link.rxStart && status[3] == link.rxEnd && status[2] == status[1];
}

// Command phase: purge, send the frame, read the status; the same bytes again after a failure.
bool SendCommandFrame(Link& link, const std::uint8_t* frame, std::uint32_t frameSize) {
    // 64-bit count: retries of 0xFFFFFFFF must still mean one attempt more, not none.
    const std::uint64_t attempts = std::uint64_t{link.statusRetries} + 1;
    for (std::uint64_t attempt = 0; attempt < attempts; ++attempt) {
        (void)SerialPurge(link.port);
        link.readAhead = 0;
        std::uint32_t written = 0;
        if (!SerialWrite(link.port, frame, frameSize, &written)) {
            link.unsettled = true;  // part of the frame may have gone out, and the reader may answer it
            continue;
        }
        std::array<std::uint8_t, kStatusFrameSize> status{};
        const std::uint32_t got = ReadStatusFrame(link, status);
        if (got == kStatusFrameSize && IsAcceptedStatusFrame(status, link.rxStart, link.rxEnd)) {
            return true;
        }
        if (got == 0) {
            // Silence: the reader may still answer this copy, after the host has sent the next one or given up.
            link.unsettled = true;
        } else if (got != kStatusFrameSize || !IsStatusFrame(status, link)) {
            // Part of a frame, or bytes of another frame: the rest of it would meet the copy sent next. Once the
            // line is quiet, every copy sent so far has had its answer. After the last attempt the next exchange
            // drains instead.
            if (attempt + 1 < attempts) {
                DrainLine(link, got);
            } else {
                link.unsettled = true;
            }
        }
        // A well-formed refusal: the reader did not take the frame and sends nothing more for it.
    }
    return false;
}

// Gives the link its buffers for the reader's longest frame: the receive buffer has room for the 64-byte chunk
// that may end such a frame, too. They are allocated again only when the block size changed, or when the last
// exchange grew the receive buffer for a longer frame. False when memory runs out.
bool PrepareBuffers(Link& link) noexcept {
    const std::uint64_t longest = LongestFrame(link);
    const std::uint64_t room = longest + kResponseChunkSize - 1;
    return (link.transmit.size() == longest || link.transmit.Resize(longest, 0)) &&
           (link.receive.size() == room || link.receive.Resize(room, 0));
}

// Makes the receive buffer hold at least bytes, or as many as the frame may bring if fewer, keeping what the
// assembler stored. A frame longer than the buffer was made for grows it to its announced length and one chunk
// more (so that one growth serves the frame), up to the next exchange. False when memory runs out.
bool MakeRoom(Link& link, ResponseAssembler& assembler, std::uint64_t bytes) noexcept {
    const std::uint64_t limit = assembler.Limit();
    if (std::min(bytes, limit) <= link.receive.size()) {
        return true;
    }
    if (!link.receive.Resize(std::min(bytes + kResponseChunkSize, limit), assembler.Frame().size() + link.readAhead)) {
        return false;
    }
    assembler.Relocate(link.receive.span());
    return true;
}

// How much of what the frame still lacks (missing bytes, once its length is known) one read takes straight into the
// receive buffer, in place of the 64-byte chunks that would bring it one after another. Such a read brings exactly
// the bytes those chunks would:
//   - normally the whole chunks that cover the frame's end, so that bytes the reader sends after the frame, up to
//     the last chunk's end, count as part of it just as before;
//   - when those would pass the limit, only the chunks that end before the frame does: the last one is read as a
//     chunk of its own, which Feed judges too long;
//   - when no byte past the frame's end may be taken (exact), just what is missing.
std::uint64_t DirectReadSize(const ResponseAssembler& assembler, std::uint64_t missing, bool exact) noexcept {
    if (missing == 0 || exact) {
        return missing;
    }
    const std::uint64_t run = (missing + kResponseChunkSize - 1) / kResponseChunkSize * kResponseChunkSize;
    if (assembler.Received() + run <= assembler.Limit()) {
        return run;
    }
    return (missing - 1) / kResponseChunkSize * kResponseChunkSize;
}

// How many bytes the next read may ask for when it must not take any beyond the frame's end: the rest of the
// header first, then what the announced length still lacks, 64 at most.
std::uint32_t ExactChunkSize(const ResponseAssembler& assembler) noexcept {
    if (!assembler.TotalKnown()) {
        return static_cast<std::uint32_t>(kResponseLengthKnownAfter - assembler.Received());
    }
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(kResponseChunkSize, assembler.Total() - assembler.Received()));
}

// The next read of the response: want bytes at most, into `into`, the bytes read ahead first, as the line's queue
// would have handed them out. A read that may take bytes past the frame's end, straight into the receive buffer, asks
// for all the room the buffer has: what it brings beyond want is read ahead and waits, right after the bytes taken,
// for the reads that follow. That spares the call that would fetch the rest of a frame already queued. Read-ahead
// bytes are the line's: the next purge discards them and the next drain counts them. False when the line brought
// nothing.
bool ReadResponseBytes(Link& link, const ResponseAssembler& assembler, std::uint8_t* into, std::uint64_t want,
                       bool exact, std::uint32_t* n) {
    std::uint8_t* const next = link.receive.data() + assembler.Received();
    if (link.readAhead != 0) {
        *n = static_cast<std::uint32_t>(std::min<std::uint64_t>(want, link.readAhead));
        if (into != next) std::memmove(into, next, *n);
        link.readAhead -= *n;
        return true;
    }
    const std::uint64_t room = into == next && !exact ? link.receive.size() - assembler.Received() : 0;
    const auto ask = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::max(want, room), UINT32_MAX));
    std::uint32_t got = 0;
    if (!SerialRead(link.port, into, ask, &got, link.responseTimeout) || got == 0) {
        return false;
    }
    *n = static_cast<std::uint32_t>(std::min<std::uint64_t>(got, want));
    link.readAhead = got - *n;
    return true;
}

// Reads chunks until the frame is complete, a read brings nothing, or the frame proves too long; nothing when the
// receive buffer cannot grow for a long frame. exact: no read asks for bytes past the announced end, so that a
// second answer right behind the frame is left to the drain.
std::optional<ResponseAssembler::Progress> ReadResponseFrame(Link& link, ResponseAssembler& assembler, bool exact) {
    // The bytes read ahead by the last attempt are the first of this one.
    MoveReadAheadToStart(link, assembler.Received());
    assembler.Reset();
    for (;;) {
        if (assembler.TotalKnown() && !MakeRoom(link, assembler, assembler.Total())) {
            return std::nullopt;
        }
        std::uint64_t want = DirectReadSize(assembler, assembler.Missing().size(), exact);
        if (want == 0) {
            want = exact ? ExactChunkSize(assembler) : kResponseChunkSize;
        }
        if (!MakeRoom(link, assembler, assembler.Received() + want)) {
            return std::nullopt;
        }
        // Straight into the receive buffer when the whole read may be stored (MakeRoom made room for it); Feed then
        // copies nothing. A chunk that would pass the limit goes through chunk, and Feed judges it too long.
        std::array<std::uint8_t, kResponseChunkSize> chunk;
        std::uint8_t* into = assembler.Received() + want <= assembler.Limit()
                                 ? link.receive.data() + assembler.Received()
                                 : chunk.data();
        std::uint32_t n = 0;
        if (!ReadResponseBytes(link, assembler, into, want, exact, &n)) {
            return ResponseAssembler::Progress::kIncomplete;
        }
        const auto progress = assembler.Feed(std::span<const std::uint8_t>(into, n));
        if (progress != ResponseAssembler::Progress::kIncomplete) {
            return progress;
        }
    }
}

// Response phase: from here on the command frame is not sent again; a damaged response is asked for once more.
std::uint32_t ReceiveResponse(Link& link, std::uint32_t capacity, std::span<const std::uint8_t>* reply) {
    ResponseAssembler assembler(link.receive.span(), std::uint64_t{capacity} + kFrameOverhead);
    const std::uint64_t attempts = std::uint64_t{link.responseRetries} + 1;
    for (std::uint64_t attempt = 0; attempt < attempts; ++attempt) {
        // Once something went out twice, two answers may come back to back: the frame ends where its length says.
        const auto progress = ReadResponseFrame(link, assembler, link.unsettled);
        if (!progress) {
            link.unsettled = true;  // the rest of the frame is still on its way
            return RYX_ERROR_NOT_ENOUGH_MEMORY;
        }
        if (*progress == ResponseAssembler::Progress::kTooLong) {
            link.unsettled = true;                 // the rest of the oversized frame is still on its way
            return RYX_ERROR_INSUFFICIENT_BUFFER;  // asking again would bring the same oversized frame
        }
        if (*progress == ResponseAssembler::Progress::kComplete) {
            const auto frame = assembler.Frame();
            if (IsValidFrame(frame, link.rxStart, link.rxEnd)) {
                *reply = frame.subspan(1, frame.size() - kFrameOverhead);
                return RYX_SUCCESS;
            }
        }
        // Every failed attempt is followed by a repeat request, the last one included. The rest of a frame that
        // stopped short may still come in front of the answer to it, and the answer to the last one after the
        // exchange has given up.
        std::array<std::uint8_t, kRepeatRequestSize> repeatRequest;
        BuildRepeatRequest(link.txStart, link.txEnd, repeatRequest.data());
        std::uint32_t written = 0;
        (void)SerialWrite(link.port, repeatRequest.data(), kRepeatRequestSize, &written);
        if (*progress != ResponseAssembler::Progress::kComplete || attempt + 1 == attempts) link.unsettled = true;
    }
    return RYX_ERROR_GEN_FAILURE;
}

}  // namespace

std::uint32_t ExchangeFrameInPlace(Link& link, std::span<const std::uint8_t> head, std::span<const std::uint8_t> body,
                                   std::uint32_t capacity, std::span<const std::uint8_t>* reply) {
    if (reply == nullptr) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    // More than UINT32_MAX bytes cannot be written at once nor described by dwLength.
    const std::uint64_t frameSize = std::uint64_t{head.size()} + body.size() + kFrameOverhead;
    if (frameSize > UINT32_MAX || !PrepareBuffers(link)) {
        return RYX_ERROR_NOT_ENOUGH_MEMORY;
    }
    // A frame longer than the reader's longest (an escape with much data, say) has a buffer of its own.
    WorkingBuffer ownTransmit;
    std::uint8_t* transmit = link.transmit.data();
    if (frameSize > link.transmit.size()) {
        ownTransmit = AllocateWorkingBuffer(frameSize);
        if (!ownTransmit) {
            return RYX_ERROR_NOT_ENOUGH_MEMORY;
        }
        transmit = ownTransmit.get();
    }
    BuildCommandFrame(head, body, link.txStart, link.txEnd, transmit);

    if (link.unsettled) {
        DrainLine(link, 0);
    }
    if (!SendCommandFrame(link, transmit, static_cast<std::uint32_t>(frameSize))) {
        return RYX_ERROR_GEN_FAILURE;
    }
    return ReceiveResponse(link, capacity, reply);
}

std::uint32_t ExchangeFrame(Link& link, std::span<const std::uint8_t> payload, std::uint8_t* reply,
                            std::uint32_t* replyLength) {
    if (replyLength == nullptr) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    std::span<const std::uint8_t> received;
    const std::uint32_t result = ExchangeFrameInPlace(link, payload, {}, *replyLength, &received);
    if (result == RYX_SUCCESS) {
        std::memcpy(reply, received.data(), received.size());
        *replyLength = static_cast<std::uint32_t>(received.size());
    }
    return result;
}

}  // namespace ryx
