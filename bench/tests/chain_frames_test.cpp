#include "chain_frames.h"

#include <gtest/gtest.h>

#include <vector>

namespace ryx::bench {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ChainFramesTest, OneBlockApduIsTheFrameTheReaderExpects) {
    // 00 A4 04 00 for slot 0 with sequence 0x10: 02 6F 04 00 00 00 00 10 00 00 00 00 A4 04 00 DB 03.
    const Bytes apdu = {0x00, 0xA4, 0x04, 0x00};
    const auto frames = XfrCommandFrames(apdu, 261, 0, 0x10);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (Bytes{0x02, 0x6F, 0x04, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0xA4, 0x04,
                                0x00, 0xDB, 0x03}));
}

TEST(ChainFramesTest, BlocksCarryTheirSizeSequenceAndLevel) {
    constexpr std::uint32_t kBlock = 261;
    const struct {
        std::size_t length;
        std::vector<std::size_t> sizes;
        std::vector<std::uint16_t> levels;
    } cases[] = {
        {0, {0}, {0x0000}},
        {kBlock, {kBlock}, {0x0000}},
        {kBlock + 1, {kBlock, 1}, {0x0001, 0x0002}},
        {2 * kBlock + 5, {kBlock, kBlock, 5}, {0x0001, 0x0003, 0x0002}},
    };
    for (const auto& c : cases) {
        Bytes apdu(c.length);
        for (std::size_t i = 0; i < apdu.size(); ++i) apdu[i] = static_cast<std::uint8_t>(i);
        const auto frames = XfrCommandFrames(apdu, kBlock, 2, 0xFF);
        ASSERT_EQ(frames.size(), c.sizes.size()) << "length " << c.length;
        std::size_t offset = 0;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const Bytes& f = frames[i];
            ASSERT_EQ(f.size(), c.sizes[i] + kEmptyMessageFrameSize);
            const std::uint32_t dwLength = f[2] | f[3] << 8 | f[4] << 16 | static_cast<std::uint32_t>(f[5]) << 24;
            EXPECT_EQ(dwLength, c.sizes[i]);
            EXPECT_EQ(f[6], 2);                                          // bSlot
            EXPECT_EQ(f[7], static_cast<std::uint8_t>(0xFF + i));        // bSeq wraps 0xFF -> 0x00
            EXPECT_EQ(f[9] | f[10] << 8, c.levels[i]) << "block " << i;  // wLevelParameter
            EXPECT_TRUE(std::equal(f.begin() + 11, f.end() - 2, apdu.begin() + static_cast<std::ptrdiff_t>(offset)));
            std::uint8_t check = 0;
            for (std::size_t k = 1; k + 2 < f.size(); ++k) check ^= f[k];
            EXPECT_EQ(f[f.size() - 2], check);
            EXPECT_EQ(f.back(), 0x03);
            offset += c.sizes[i];
        }
    }
}

TEST(ChainFramesTest, EmptyBlockAsksForMoreResponse) {
    const auto frame = EmptyBlockFrame(1, 0x22);
    // 6F ^ 01 ^ 22 ^ 10 = 5C.
    EXPECT_EQ(Bytes(frame.begin(), frame.end()),
              (Bytes{0x02, 0x6F, 0x00, 0x00, 0x00, 0x00, 0x01, 0x22, 0x00, 0x10, 0x00, 0x5C, 0x03}));
}

}  // namespace
}  // namespace ryx::bench
