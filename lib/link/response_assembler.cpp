#include "link/response_assembler.h"

#include <algorithm>
#include <cstring>

#include "link/frame.h"
#include "link/messages.h"

namespace ryx {

void ResponseAssembler::Reset() noexcept {
    header_ = {};
    received_ = 0;
    total_ = 0;
    totalKnown_ = false;
}

ResponseAssembler::Progress ResponseAssembler::Judge() const noexcept {
    // Only bytes actually received beyond the storage make a frame too long: one that merely announces more
    // stays incomplete until its bytes come (and overflow) or stop coming (a failed attempt). More received than
    // the limit is final: no later byte can make the frame fit again.
    if (received_ > limit_) {
        return Progress::kTooLong;
    }
    if (totalKnown_ && received_ >= total_) {
        return Progress::kComplete;
    }
    return Progress::kIncomplete;
}

ResponseAssembler::Progress ResponseAssembler::Feed(std::span<const std::uint8_t> chunk) noexcept {
    const Progress before = Judge();
    if (before != Progress::kIncomplete || chunk.empty()) {
        return before;
    }
    if (received_ < header_.size()) {
        const std::size_t take = std::min(chunk.size(), header_.size() - static_cast<std::size_t>(received_));
        std::memcpy(header_.data() + received_, chunk.data(), take);
    }
    // Until a chunk fails to fit, everything received is stored; afterwards nothing is, and Judge reports it. The
    // storage's own size only guards memory: whoever feeds keeps it long enough.
    const std::uint64_t end = received_ + chunk.size();
    if (end <= limit_ && end <= storage_.size() && chunk.data() != storage_.data() + received_) {
        std::memcpy(storage_.data() + received_, chunk.data(), chunk.size());
    }
    received_ += chunk.size();
    if (!totalKnown_ && received_ >= header_.size()) {
        // The message header follows the start byte; 64-bit sum, so that a dwLength near 0xFFFFFFFF cannot wrap.
        total_ = std::uint64_t{MessageDataLength(header_.data() + 1)} + kMessageHeaderSize + kFrameOverhead;
        totalKnown_ = true;
    }
    return Judge();
}

std::span<std::uint8_t> ResponseAssembler::Missing() noexcept {
    if (!totalKnown_ || Judge() != Progress::kIncomplete) {
        return {};
    }
    // A frame announced longer than the limit fills the room up to it; the chunk that overflows is then read
    // and counted by Feed.
    const std::uint64_t end = std::min<std::uint64_t>({total_, limit_, storage_.size()});
    if (end <= received_) {
        return {};
    }
    return storage_.subspan(static_cast<std::size_t>(received_), static_cast<std::size_t>(end - received_));
}

ResponseAssembler::Progress ResponseAssembler::FeedStored(std::size_t n) noexcept {
    const std::size_t room = Missing().size();
    received_ += n < room ? n : room;
    return Judge();
}

std::span<const std::uint8_t> ResponseAssembler::Frame() const noexcept {
    if (received_ > limit_ || received_ > storage_.size()) {
        return {};
    }
    return std::span<const std::uint8_t>(storage_.data(), static_cast<std::size_t>(received_));
}

}  // namespace ryx
