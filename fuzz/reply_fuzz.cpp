// libFuzzer harness for reply checking and XfrBlock chaining: CheckReply on arbitrary replies against arbitrary
// expected type, slot and sequence number, and whole command/response chains driven by the replies' chain
// parameters.
//
// Input: byte 0 flags (bit 0: expect the type, slot and sequence number of the first reply itself), bytes 1-3 the
// expected type, slot and first sequence number, bytes 4-5 the block size (modulo 1100), bytes 6-7 the command
// length (modulo 4096), then replies, each a length byte and that many bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include <ryx.h>

#include "fuzz_input.h"
#include "link/messages.h"
#include "link/xfr_chaining.h"

namespace {

// CheckReply's rules, worked out here: only a mute card is told apart, by whether the reader sees a card.
std::uint32_t ExpectedResult(std::span<const std::uint8_t> reply, std::uint8_t type, std::uint8_t slot,
                             std::uint8_t seq) {
    if (reply.size() < 10) {
        return RYX_ERROR_GEN_FAILURE;
    }
    // The length field accounts for exactly the bytes after the header.
    const std::uint64_t dwLength = reply[1] | (reply[2] << 8) | (reply[3] << 16) | (std::uint64_t{reply[4]} << 24);
    if (dwLength != reply.size() - 10 || reply[0] != type || reply[5] != slot || reply[6] != seq) {
        return RYX_ERROR_GEN_FAILURE;
    }
    const int commandStatus = reply[7] >> 6;
    const int iccStatus = reply[7] & 3;
    if (commandStatus == 0) {
        return RYX_SUCCESS;
    }
    if (commandStatus == 1 && reply[8] == 0xFE && iccStatus == 1) {
        return RYX_ERROR_TIMEOUT;
    }
    if (commandStatus == 1 && reply[8] == 0xFE && iccStatus == 2) {
        return RYX_ERROR_NO_MEDIA_IN_DRIVE;
    }
    return RYX_ERROR_GEN_FAILURE;
}

// CheckReply on a heap copy of exactly the reply's bytes, so that AddressSanitizer sees any read past it.
std::uint32_t Check(std::span<const std::uint8_t> reply, std::uint8_t type, std::uint8_t slot, std::uint8_t seq) {
    const auto copy = std::make_unique<std::uint8_t[]>(reply.size());
    if (!reply.empty()) {
        std::memcpy(copy.get(), reply.data(), reply.size());
    }
    const std::uint32_t result =
        ryx::CheckReply(std::span<const std::uint8_t>(copy.get(), reply.size()), type, slot, seq);
    RYX_FUZZ_REQUIRE(result == RYX_SUCCESS || result == RYX_ERROR_GEN_FAILURE || result == RYX_ERROR_TIMEOUT ||
                     result == RYX_ERROR_NO_MEDIA_IN_DRIVE);
    RYX_FUZZ_REQUIRE(result == ExpectedResult(reply, type, slot, seq));
    return result;
}

bool AsksForMore(std::uint8_t chain) {
    return chain == ryx::kChainBegins || chain == ryx::kChainContinues || chain == ryx::kChainMoreCommand;
}

// One chaining decision, checked against the reply's chain parameter and the state of the command.
ryx::XfrChainStep Step(std::uint32_t length, std::uint32_t sent, std::uint32_t maxBlockSize, std::uint8_t chain) {
    const ryx::XfrChainStep step = ryx::NextXfrStep(length, sent, maxBlockSize, chain);
    if (chain == ryx::kChainBeginsAndEnds || chain == ryx::kChainEnds) {
        RYX_FUZZ_REQUIRE(step.action == ryx::XfrChainAction::kDone);
        return step;
    }
    if (!AsksForMore(chain)) {
        RYX_FUZZ_REQUIRE(step.action == ryx::XfrChainAction::kFail);
        return step;
    }
    RYX_FUZZ_REQUIRE(step.action == ryx::XfrChainAction::kSendNext);
    const ryx::XfrBlock& next = step.next;
    if (sent >= length) {
        // Nothing of the command is left: the empty block asks for the next part of the response.
        RYX_FUZZ_REQUIRE(next.size == 0 && next.levelParameter == ryx::kLevelEmpty && next.offset == length);
        return step;
    }
    // The next command bytes, in order, never more than a block holds, marked as ending the command exactly when
    // they do.
    RYX_FUZZ_REQUIRE(next.offset == sent);
    RYX_FUZZ_REQUIRE(next.size == std::min(length - sent, maxBlockSize) && next.size != 0);
    RYX_FUZZ_REQUIRE(next.levelParameter == (sent + next.size == length ? ryx::kLevelEnds : ryx::kLevelContinues));
    return step;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ryx::fuzz::FuzzInput input(data, size);
    const std::uint8_t flags = input.Byte();
    std::uint8_t type = input.Byte();
    std::uint8_t slot = input.Byte();
    std::uint8_t seq = input.Byte();
    // A block size of 0 never reaches the chaining: the transfer refuses a non-empty command first.
    const std::uint32_t maxBlockSize = input.U16() % 1100;
    const std::uint32_t length = maxBlockSize == 0 ? 0 : input.U16() % 4096;

    // Every reply once against the expected fields as given.
    const auto rest = input.Rest();
    ryx::fuzz::FuzzInput replies(rest.data(), rest.size());
    bool first = true;
    while (replies.Left() > 0) {
        const auto reply = replies.Take(replies.Byte());
        if (first && (flags & 0x01) != 0 && reply.size() >= 10) {
            type = reply[0];
            slot = reply[5];
            seq = reply[6];
        }
        first = false;
        (void)Check(reply, type, slot, seq);
        // The same reply cut short is refused below the header length, whatever it holds.
        if (reply.size() >= 1) {
            const auto shorter = reply.first(std::min<std::size_t>(reply.size() - 1, 9));
            RYX_FUZZ_REQUIRE(Check(shorter, type, slot, seq) == RYX_ERROR_GEN_FAILURE);
        }
    }

    // A whole chain: each reply answers the block just sent (its own sequence number, as the transfer numbers
    // them), its chain parameter decides what follows.
    const ryx::XfrBlock firstBlock = ryx::FirstXfrBlock(length, maxBlockSize);
    RYX_FUZZ_REQUIRE(firstBlock.offset == 0);
    RYX_FUZZ_REQUIRE(firstBlock.size == std::min(length, maxBlockSize));
    RYX_FUZZ_REQUIRE(firstBlock.levelParameter ==
                     (length > maxBlockSize ? ryx::kLevelBegins : ryx::kLevelBeginsAndEnds));
    ryx::XfrBlock block = firstBlock;
    std::uint32_t sent = block.size;
    std::uint8_t blockSeq = seq;
    std::uint64_t gathered = 0;
    replies = ryx::fuzz::FuzzInput(rest.data(), rest.size());
    while (replies.Left() > 0) {
        const auto reply = replies.Take(replies.Byte());
        const std::uint32_t result = Check(reply, ryx::kRdrToPcDataBlock, slot, blockSeq);
        if (result != RYX_SUCCESS) {
            break;
        }
        const std::size_t dataLength = reply.size() - ryx::kMessageHeaderSize;
        gathered += dataLength;
        const ryx::XfrChainStep step = Step(length, sent, maxBlockSize, reply[9]);
        if (step.action != ryx::XfrChainAction::kSendNext) {
            break;
        }
        if (block.levelParameter == ryx::kLevelEmpty && dataLength == 0) {
            break;  // the transfer ends a chain that would never end
        }
        block = step.next;
        RYX_FUZZ_REQUIRE(block.offset == std::min(sent, length));
        sent += block.size;
        RYX_FUZZ_REQUIRE(sent <= length && block.size <= maxBlockSize);
        ++blockSeq;
    }
    RYX_FUZZ_REQUIRE(gathered <= size);
    return 0;
}
