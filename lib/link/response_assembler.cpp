#include "link/response_assembler.h"

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
    // the storage is final: no later byte can make the frame fit again.
    if (received_ > storage_.size()) {
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
    for (std::size_t i = 0; i < chunk.size() && received_ + i < header_.size(); ++i) {
        header_[received_ + i] = chunk[i];
    }
    // Until a chunk fails to fit, everything received is stored; afterwards nothing is, and Judge reports it.
    if (received_ + chunk.size() <= storage_.size()) {
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
    // A frame announced longer than the storage fills what is left of it; the chunk that overflows is then read
    // and counted by Feed.
    const std::uint64_t end = total_ < storage_.size() ? total_ : storage_.size();
    return storage_.subspan(static_cast<std::size_t>(received_), static_cast<std::size_t>(end - received_));
}

ResponseAssembler::Progress ResponseAssembler::FeedStored(std::size_t n) noexcept {
    const std::size_t room = Missing().size();
    received_ += n < room ? n : room;
    return Judge();
}

std::span<const std::uint8_t> ResponseAssembler::Frame() const noexcept {
    if (received_ > storage_.size()) {
        return {};
    }
    return std::span<const std::uint8_t>(storage_.data(), static_cast<std::size_t>(received_));
}

}  // namespace ryx
