#include "bench_card.h"

namespace ryx::bench {
namespace {

std::vector<std::uint8_t> Pattern(std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    if (length >= 2) {
        bytes[length - 2] = 0x90;
        bytes[length - 1] = 0x00;
    }
    return bytes;
}

}  // namespace

std::vector<std::uint8_t> BenchCardResponse(std::span<const std::uint8_t> command) {
    // Built once: the reader's thread only copies them.
    static const std::vector<std::uint8_t> line = Pattern(kLineResponseLength);
    static const std::vector<std::uint8_t> large = Pattern(kLargeResponseLength);
    switch (command.size()) {
        case kLineCommandLength:
            return line;
        case kLargeCommandLength:
            return large;
        default:
            return {0x90, 0x00};
    }
}

std::vector<std::uint8_t> BenchCommand(std::size_t length) {
    std::vector<std::uint8_t> command(length);
    const std::uint8_t header[] = {0x80, 0x10, 0x00, 0x00, 0x00};
    for (std::size_t i = 0; i < length; ++i) {
        command[i] = i < sizeof header ? header[i] : static_cast<std::uint8_t>(i);
    }
    return command;
}

}  // namespace ryx::bench
