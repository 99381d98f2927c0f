#include "chain_frames.h"

#include <algorithm>

namespace ryx::bench {
namespace {

constexpr std::uint8_t kXfrBlock = 0x6F;
constexpr std::size_t kHeaderSize = 10;

void PutHeader(std::uint8_t* out, std::uint32_t dwLength, std::uint8_t slot, std::uint8_t seq, std::uint16_t level) {
    out[0] = kXfrBlock;
    for (int i = 0; i < 4; ++i) out[1 + i] = static_cast<std::uint8_t>(dwLength >> (8 * i));
    out[5] = slot;
    out[6] = seq;
    out[7] = 0x00;  // bBWI
    out[8] = static_cast<std::uint8_t>(level);
    out[9] = static_cast<std::uint8_t>(level >> 8);
}

}  // namespace

Frame CommandFrame(std::span<const std::uint8_t> message) {
    Frame frame;
    frame.reserve(message.size() + 3);
    frame.push_back(0x02);
    std::uint8_t check = 0;
    for (std::uint8_t byte : message) {
        frame.push_back(byte);
        check ^= byte;
    }
    frame.push_back(check);
    frame.push_back(0x03);
    return frame;
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
        std::vector<std::uint8_t> message(kHeaderSize + size);
        PutHeader(message.data(), static_cast<std::uint32_t>(size), slot, seq++, level);
        std::copy_n(apdu.begin() + static_cast<std::ptrdiff_t>(sent), size, message.begin() + kHeaderSize);
        frames.push_back(CommandFrame(message));
        sent += size;
    } while (sent < apdu.size());
    return frames;
}

std::array<std::uint8_t, kEmptyMessageFrameSize> EmptyBlockFrame(std::uint8_t slot, std::uint8_t seq) {
    std::array<std::uint8_t, kEmptyMessageFrameSize> frame{};
    frame[0] = 0x02;
    PutHeader(frame.data() + 1, 0, slot, seq, 0x0010);
    std::uint8_t check = 0;
    for (std::size_t i = 1; i <= kHeaderSize; ++i) check ^= frame[i];
    frame[kHeaderSize + 1] = check;
    frame[kHeaderSize + 2] = 0x03;
    return frame;
}

}  // namespace ryx::bench
