#include "sim/frame_assembler.h"

#include "sim/frame.h"

namespace ryx::sim {

void FrameAssembler::Feed(std::span<const std::uint8_t> bytes, std::uint32_t hostSpeed, Clock::time_point now,
                          std::vector<Event>* events) {
    for (std::uint8_t b : bytes) {
        switch (state_) {
            case State::kIdle:
                // Noise between frames is ignored: only a start byte begins a frame.
                if (b != kStartByte) break;
                frame_.assign(1, b);
                hostSpeed_ = hostSpeed;
                mixedSpeed_ = false;
                firstByte_ = now;
                state_ = State::kHeader;
                break;
            case State::kHeader:
                frame_.push_back(b);
                mixedSpeed_ = mixedSpeed_ || hostSpeed != hostSpeed_;
                if (frame_.size() == 1 + kHeaderSize) {
                    const std::uint32_t dwLength = DecodeHeader(std::span(frame_).subspan(1)).dwLength;
                    if (dwLength > maxData_) {
                        // The receive buffer cannot hold it: skip its bytes without storing them.
                        total_ = static_cast<std::size_t>(dwLength) + kHeaderSize + kFrameOverhead;
                        skipped_ = frame_.size();
                        state_ = State::kSkipping;
                    } else {
                        total_ = dwLength + kHeaderSize + kFrameOverhead;
                        frame_.reserve(total_);
                        state_ = State::kBody;
                    }
                }
                break;
            case State::kBody:
                frame_.push_back(b);
                mixedSpeed_ = mixedSpeed_ || hostSpeed != hostSpeed_;
                if (frame_.size() == total_) Finish(events);
                break;
            case State::kSkipping:
                mixedSpeed_ = mixedSpeed_ || hostSpeed != hostSpeed_;
                if (++skipped_ == total_) {
                    events->push_back({Event::Kind::kTooLong, std::move(frame_), hostSpeed_, mixedSpeed_, firstByte_});
                    frame_.clear();
                    state_ = State::kIdle;
                }
                break;
        }
    }
}

void FrameAssembler::Finish(std::vector<Event>* events) {
    Event event{Event::Kind::kFrame, std::move(frame_), hostSpeed_, mixedSpeed_, firstByte_};
    frame_.clear();
    state_ = State::kIdle;
    const auto& f = event.bytes;
    if (f.back() != kEndByte) {
        event.kind = Event::Kind::kBadEnd;
    } else if (XorOf(std::span(f).subspan(1, f.size() - kFrameOverhead)) != f[f.size() - 2]) {
        event.kind = Event::Kind::kBadCheck;
    }
    events->push_back(std::move(event));
}

std::optional<FrameAssembler::Event> FrameAssembler::Silence() {
    std::optional<Event> event;
    if (state_ == State::kSkipping)
        event = Event{Event::Kind::kTooLong, std::move(frame_), hostSpeed_, mixedSpeed_, firstByte_};
    frame_.clear();
    state_ = State::kIdle;
    return event;
}

}  // namespace ryx::sim
