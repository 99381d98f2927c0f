// Cuts the bytes of one direction of the reader's line into what a person reads: frames (0x02, payload, XOR of the
// payload, 0x03) and the bytes between them that make no frame. Pure: the caller reads the line and keeps the time.
//
// From the host come command frames (a 10-byte message header, dwLength in its bytes 1..4, then the data) and the
// RepeatRequest (02, eleven 00, 03). From the reader come 4-byte status frames (02 s s 03) and response frames laid
// out as command frames, whose message type is always 0x80 or above.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ryx::spy {

enum class Direction : std::uint8_t { kToReader, kToHost };

struct Piece {
    enum class Kind : std::uint8_t {
        kCommand,        // a valid command frame
        kRepeatRequest,  // the host asks for the last response again
        kStatus,         // a 4-byte status frame, valid or not (the describer tells)
        kResponse,       // a valid response frame
        kDamaged,        // a whole frame with a wrong check or end byte
        kIncomplete,     // a frame cut short by silence
        kNoFrame,        // bytes outside any frame
    };
    Direction direction = Direction::kToReader;
    Kind kind = Kind::kNoFrame;
    double time = 0;  // when its first byte arrived, in seconds from the caller's start
    std::vector<std::uint8_t> bytes;
};

class FrameSplitter {
public:
    // A dwLength beyond this cannot be a frame of this line: its start byte counts as a stray byte.
    static constexpr std::uint32_t kLongestData = 70000;

    explicit FrameSplitter(Direction direction) : direction_(direction) {}

    // Feeds bytes that arrived together at `time`; appends every piece they complete to *out, in order.
    void Feed(std::span<const std::uint8_t> bytes, double time, std::vector<Piece>* out);

    // The line has been quiet: a frame begun is reported as incomplete, stray bytes as such.
    void Silence(std::vector<Piece>* out);

    // True while bytes are held back (a frame begun, or stray bytes not yet reported).
    [[nodiscard]] bool Holding() const noexcept { return !held_.empty(); }

private:
    void Take(std::uint8_t byte, double time, std::vector<Piece>* out);
    void Emit(Piece::Kind kind, std::vector<Piece>* out);
    [[nodiscard]] std::size_t FrameLength() const noexcept;  // 0 while not yet known

    Direction direction_;
    bool inFrame_ = false;
    std::vector<std::uint8_t> held_;
    double heldSince_ = 0;
};

}  // namespace ryx::spy
