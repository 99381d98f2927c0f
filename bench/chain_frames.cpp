#include "chain_frames.h"

#include <algorithm>

#include "sim/frame.h"

namespace ryx::bench {
namespace {

constexpr std::uint8_t kXfrBlock = 0x6F;

// A PC_to_RDR_XfrBlock header: bBWI 0, then wLevelParameter little-endian.
sim::MessageHeader XfrHeader(std::uint8_t slot, std::uint8_t seq, std::uint16_t level) {
    return {kXfrBlock, 0, slot, seq, 0x00, static_cast<std::uint8_t>(level), static_cast<std::uint8_t>(level >> 8)};
}

}  // namespace

Frame CommandFrame(std::span<const std::uint8_t> message) {
    return sim::BuildFrame(message);
}

std::vector<Frame> XfrCommandFrames(std::span<const std::uint8_t> apdu, std::uint32_t blockSize, std::uint8_t slot,
                                    std::uint8_t firstSeq) {
    std::vector<Frame> frames;
    const std::size_t block = std::max<std::uint32_t>(blockSize, 1);
    std::size_t sent = 0;
    std::uint8_t seq = firstSeq;
    do {
        const std::size_t size = std::min(block, apdu.size() - sent);
        const bool first = sent == 0;
        const bool last = sent + size == apdu.size();
        const std::uint16_t level = first ? (last ? 0x0000 : 0x0001) : (last ? 0x0002 : 0x0003);
        frames.push_back(CommandFrame(sim::BuildMessage(XfrHeader(slot, seq++, level), apdu.subspan(sent, size))));
        sent += size;
    } while (sent < apdu.size());
    return frames;
}

std::array<std::uint8_t, kEmptyMessageFrameSize> EmptyBlockFrame(std::uint8_t slot, std::uint8_t seq) {
    const Frame built = CommandFrame(sim::BuildMessage(XfrHeader(slot, seq, 0x0010), {}));
    std::array<std::uint8_t, kEmptyMessageFrameSize> frame{};
    std::copy_n(built.begin(), frame.size(), frame.begin());
    return frame;
}

}  // namespace ryx::bench
