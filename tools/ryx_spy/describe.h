// What ryx_spy prints for each piece of the line: one text line, or one JSON object, per piece. Pure.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "tools/ryx_spy/frame_splitter.h"

namespace ryx::spy {

enum class Format : std::uint8_t { kText, kJson };

// Describes pieces in the order they pass, remembering which command each bSeq was so that a reply's data can be
// named (the ATR of a power-on, the SW of an APDU).
class Describer {
public:
    explicit Describer(Format format) : format_(format) {}

    // One line (no newline): time, direction, kind and the decoded message.
    [[nodiscard]] std::string Piece(const ryx::spy::Piece& piece);
    // The program set the line to `rate` bit/s, and the real port follows.
    [[nodiscard]] std::string Rate(double time, std::uint32_t rate) const;
    // A chunk as one read() returned it (--raw).
    [[nodiscard]] std::string Chunk(Direction direction, double time, std::span<const std::uint8_t> bytes) const;

private:
    // A command or response message, decoded.
    [[nodiscard]] std::string Message(const ryx::spy::Piece& piece);

    Format format_;
    std::uint8_t commandOfSeq_[256] = {};  // message type of the last command sent with each bSeq
};

// The name of a message type ("PC_to_RDR_XfrBlock"); "unknown type 0xNN" for others.
[[nodiscard]] std::string MessageName(std::uint8_t type);
// bStatus by meaning ("processed, card active").
[[nodiscard]] std::string StatusMeaning(std::uint8_t bStatus);
// bError by meaning ("card mute"), as reported with a failed command.
[[nodiscard]] std::string ErrorMeaning(std::uint8_t bError);

}  // namespace ryx::spy
