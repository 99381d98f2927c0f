// One command/status/response transaction with the reader, with its retries.
#include <ryx.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "link/frame.h"
#include "link/link.h"
#include "link/response_assembler.h"
#include "link/working_buffer.h"
#include "serial/serial_port.h"

namespace ryx {
namespace {

constexpr std::uint32_t kResponseChunkSize = 64;

// Reads the 4 status bytes, asking only for the ones still missing so that whatever the reader sends after
// them stays queued for the response phase.
bool ReadStatusFrame(const Link& link, std::array<std::uint8_t, kStatusFrameSize>& status) {
    std::uint32_t got = 0;
    while (got < kStatusFrameSize) {
        std::uint32_t n = 0;
        if (!SerialRead(link.port, status.data() + got, static_cast<std::uint32_t>(kStatusFrameSize) - got, &n,
                        link.statusTimeout) ||
            n == 0) {
            return false;
        }
        got += n;
    }
    return true;
}

// Command phase: purge, send the frame, read the status; the same bytes again after a failure.
bool SendCommandFrame(const Link& link, const std::uint8_t* frame, std::uint32_t frameSize) {
    // 64-bit count: retries of 0xFFFFFFFF must still mean one attempt more, not none.
    const std::uint64_t attempts = std::uint64_t{link.statusRetries} + 1;
    for (std::uint64_t attempt = 0; attempt < attempts; ++attempt) {
        (void)SerialPurge(link.port);
        std::uint32_t written = 0;
        if (!SerialWrite(link.port, frame, frameSize, &written)) {
            continue;
        }
        std::array<std::uint8_t, kStatusFrameSize> status{};
        if (ReadStatusFrame(link, status) && IsAcceptedStatusFrame(status, link.rxStart, link.rxEnd)) {
            return true;
        }
    }
    return false;
}

// How much of what the frame still lacks can be read straight into the receive buffer: the whole 64-byte chunks
// that end before the frame does. Those reads bring exactly the bytes that chunk after chunk would, in one call
// and without a copy; the chunk that reaches the frame's end is still read as a 64-byte chunk, so bytes the
// reader sends after the frame count as part of it just as before.
std::size_t DirectReadSize(std::size_t missing) noexcept {
    return missing == 0 ? 0 : (missing - 1) / kResponseChunkSize * kResponseChunkSize;
}

// Reads chunks until the frame is complete, a read brings nothing, or the frame proves too long.
ResponseAssembler::Progress ReadResponseFrame(const Link& link, ResponseAssembler& assembler) {
    assembler.Reset();
    for (;;) {
        const std::span<std::uint8_t> missing = assembler.Missing();
        if (const std::size_t direct = std::min<std::size_t>(DirectReadSize(missing.size()), UINT32_MAX); direct != 0) {
            std::uint32_t n = 0;
            if (!SerialRead(link.port, missing.data(), static_cast<std::uint32_t>(direct), &n, link.responseTimeout) ||
                n == 0) {
                return ResponseAssembler::Progress::kIncomplete;
            }
            const auto progress = assembler.FeedStored(std::min<std::size_t>(n, direct));
            if (progress != ResponseAssembler::Progress::kIncomplete) {
                return progress;
            }
            continue;
        }
        std::array<std::uint8_t, kResponseChunkSize> chunk;
        std::uint32_t n = 0;
        if (!SerialRead(link.port, chunk.data(), kResponseChunkSize, &n, link.responseTimeout) || n == 0) {
            return ResponseAssembler::Progress::kIncomplete;
        }
        const auto progress =
            assembler.Feed(std::span<const std::uint8_t>(chunk.data(), std::min(n, kResponseChunkSize)));
        if (progress != ResponseAssembler::Progress::kIncomplete) {
            return progress;
        }
    }
}

}  // namespace

std::uint32_t ExchangeFrame(Link& link, std::span<const std::uint8_t> payload, std::uint8_t* reply,
                            std::uint32_t* replyLength) {
    if (replyLength == nullptr) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    const std::uint64_t frameSize = std::uint64_t{payload.size()} + kFrameOverhead;
    if (frameSize > UINT32_MAX) {
        return RYX_ERROR_NOT_ENOUGH_MEMORY;  // the port cannot take a frame this long in one write
    }
    const std::uint64_t receiveSize = std::uint64_t{*replyLength} + kFrameOverhead;
    WorkingBuffer transmit = AllocateWorkingBuffer(frameSize);
    WorkingBuffer receive = AllocateWorkingBuffer(receiveSize);
    if (!transmit || !receive) {
        return RYX_ERROR_NOT_ENOUGH_MEMORY;
    }
    BuildCommandFrame(payload, link.txStart, link.txEnd, transmit.get());
    std::array<std::uint8_t, kRepeatRequestSize> repeatRequest;
    BuildRepeatRequest(link.txStart, link.txEnd, repeatRequest.data());

    if (!SendCommandFrame(link, transmit.get(), static_cast<std::uint32_t>(frameSize))) {
        return RYX_ERROR_GEN_FAILURE;
    }

    // From here on the command frame is not sent again: a damaged response is asked for once more.
    ResponseAssembler assembler(std::span<std::uint8_t>(receive.get(), static_cast<std::size_t>(receiveSize)));
    const std::uint64_t attempts = std::uint64_t{link.responseRetries} + 1;
    for (std::uint64_t attempt = 0; attempt < attempts; ++attempt) {
        const auto progress = ReadResponseFrame(link, assembler);
        if (progress == ResponseAssembler::Progress::kTooLong) {
            return RYX_ERROR_INSUFFICIENT_BUFFER;  // asking again would bring the same oversized frame
        }
        if (progress == ResponseAssembler::Progress::kComplete) {
            const auto frame = assembler.Frame();
            if (IsValidFrame(frame, link.rxStart, link.rxEnd)) {
                const std::size_t length = frame.size() - kFrameOverhead;
                std::memcpy(reply, frame.data() + 1, length);
                *replyLength = static_cast<std::uint32_t>(length);
                return RYX_SUCCESS;
            }
        }
        // Every failed attempt is followed by a repeat request, the last one included.
        std::uint32_t written = 0;
        (void)SerialWrite(link.port, repeatRequest.data(), kRepeatRequestSize, &written);
    }
    return RYX_ERROR_GEN_FAILURE;
}

}  // namespace ryx
