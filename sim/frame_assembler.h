// Cuts the byte stream from the host into frames, as the reader's receiver does: bytes before a start byte are
// skipped, the length comes from the header's dwLength, a frame longer than the receive buffer is skipped and
// refused, and a frame cut short by silence is dropped. Pure: the caller reads the line and keeps the time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ryx::sim {

class FrameAssembler {
public:
    using Clock = std::chrono::steady_clock;

    struct Event {
        enum class Kind : std::uint8_t {
            kFrame,     // a complete, valid frame (start byte to end byte)
            kBadCheck,  // complete, but its check byte is wrong
            kBadEnd,    // complete, but its last byte is not the end byte
            kTooLong,   // dwLength beyond the receive buffer (bytes holds the start byte and header only)
        };
        Kind kind = Kind::kFrame;
        std::vector<std::uint8_t> bytes;
        std::uint32_t hostSpeed = 0;    // the host's speed when its start byte arrived
        bool mixedSpeed = false;        // the host's speed changed while the frame was arriving
        Clock::time_point firstByte{};  // when its start byte arrived
    };

    // maxData: the most data bytes (dwLength) a frame may carry.
    explicit FrameAssembler(std::size_t maxData) : maxData_(maxData) {}
    void SetMaxData(std::size_t maxData) { maxData_ = maxData; }

    // Feeds bytes that arrived together at `now`, while the host's port ran at hostSpeed. Every frame completed by
    // them is appended to *events, in order.
    void Feed(std::span<const std::uint8_t> bytes, std::uint32_t hostSpeed, Clock::time_point now,
              std::vector<Event>* events);

    // The line has been quiet long enough: a partial frame is dropped (nullopt), a too-long frame being skipped is
    // reported as kTooLong. Afterwards the next start byte begins a new frame.
    [[nodiscard]] std::optional<Event> Silence();

    // True while a frame has begun and not ended.
    [[nodiscard]] bool Partial() const noexcept { return state_ != State::kIdle; }

private:
    enum class State : std::uint8_t { kIdle, kHeader, kBody, kSkipping };
    void Finish(std::vector<Event>* events);

    std::size_t maxData_;
    State state_ = State::kIdle;
    std::vector<std::uint8_t> frame_;
    std::size_t total_ = 0;    // whole frame length once the header is in
    std::size_t skipped_ = 0;  // bytes of a too-long frame seen so far
    std::uint32_t hostSpeed_ = 0;
    bool mixedSpeed_ = false;
    Clock::time_point firstByte_{};
};

}  // namespace ryx::sim
