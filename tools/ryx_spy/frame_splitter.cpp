#include "tools/ryx_spy/frame_splitter.h"

#include <algorithm>

namespace ryx::spy {

namespace {

constexpr std::uint8_t kStart = 0x02;
constexpr std::uint8_t kEnd = 0x03;
constexpr std::size_t kHeader = 10;
constexpr std::size_t kOverhead = 3;  // start, check and end byte
constexpr std::uint8_t kFirstReplyType = 0x80;

}  // namespace

void FrameSplitter::Feed(std::span<const std::uint8_t> bytes, double time, std::vector<Piece>* out) {
    for (std::uint8_t b : bytes) Take(b, time, out);
}

std::size_t FrameSplitter::FrameLength() const noexcept {
    if (direction_ == Direction::kToHost && held_.size() >= 2 && held_[1] < kFirstReplyType) return 4;
    if (held_.size() < 1 + kHeader) return 0;
    const std::uint32_t dwLength = static_cast<std::uint32_t>(held_[2]) | static_cast<std::uint32_t>(held_[3]) << 8 |
                                   static_cast<std::uint32_t>(held_[4]) << 16 |
                                   static_cast<std::uint32_t>(held_[5]) << 24;
    return dwLength + kHeader + kOverhead;
}

void FrameSplitter::Take(std::uint8_t byte, double time, std::vector<Piece>* out) {
    if (!inFrame_) {
        if (byte == kStart) {
            Emit(Piece::Kind::kNoFrame, out);  // the stray bytes before it, if any
            inFrame_ = true;
        }
        if (held_.empty()) heldSince_ = time;
        held_.push_back(byte);
        return;
    }
    held_.push_back(byte);
    if (held_.size() == 1 + kHeader) {
        const std::size_t length = FrameLength();
        if (length > kLongestData + kHeader + kOverhead) {
            inFrame_ = false;  // not a frame: the bytes so far are stray, and stay held with those that follow
            return;
        }
    }
    const std::size_t length = FrameLength();
    if (length == 0 || held_.size() < length) return;
    Piece::Kind kind = direction_ == Direction::kToReader ? Piece::Kind::kCommand : Piece::Kind::kResponse;
    std::uint8_t check = 0;
    for (std::size_t i = 1; i + 2 < held_.size(); ++i) check ^= held_[i];
    if (length == 4 && direction_ == Direction::kToHost) {
        kind = Piece::Kind::kStatus;
    } else if (held_.back() != kEnd || check != held_[held_.size() - 2]) {
        kind = Piece::Kind::kDamaged;
    } else if (direction_ == Direction::kToReader && length == kHeader + kOverhead &&
               std::all_of(held_.begin() + 1, held_.end() - 1, [](std::uint8_t b) { return b == 0; })) {
        kind = Piece::Kind::kRepeatRequest;
    }
    Emit(kind, out);
}

void FrameSplitter::Silence(std::vector<Piece>* out) {
    Emit(inFrame_ ? Piece::Kind::kIncomplete : Piece::Kind::kNoFrame, out);
}

void FrameSplitter::Emit(Piece::Kind kind, std::vector<Piece>* out) {
    inFrame_ = false;
    if (held_.empty()) return;
    out->push_back({direction_, kind, heldSince_, std::move(held_)});
    held_.clear();
}

}  // namespace ryx::spy
