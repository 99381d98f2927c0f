// XfrBlock chaining decisions, without I/O.
#include <gtest/gtest.h>

#include <vector>

#include "link/xfr_chaining.h"

namespace ryx {
namespace {

constexpr std::uint32_t M = 261;

TEST(XfrChaining, FirstBlock) {
    struct Case {
        std::uint32_t length;
        std::uint32_t size;
        std::uint16_t level;
    };
    const Case cases[] = {{0, 0, 0x0000}, {4, 4, 0x0000}, {M, M, 0x0000}, {M + 1, M, 0x0001}, {2 * M + 5, M, 0x0001}};
    for (const Case& c : cases) {
        const XfrBlock b = FirstXfrBlock(c.length, M);
        EXPECT_EQ(b.offset, 0u) << c.length;
        EXPECT_EQ(b.size, c.size) << c.length;
        EXPECT_EQ(b.levelParameter, c.level) << c.length;
    }
}

TEST(XfrChaining, NextStep) {
    struct Case {
        std::uint32_t length;
        std::uint32_t sent;
        std::uint8_t chain;
        XfrChainAction action;
        XfrBlock next;
    };
    const Case cases[] = {
        {10, 10, 0x00, XfrChainAction::kDone, {}},
        {10, 10, 0x02, XfrChainAction::kDone, {}},
        {2 * M, M, 0x00, XfrChainAction::kDone, {}},  // the reader ended it although command bytes remain
        {10, 10, 0x01, XfrChainAction::kSendNext, {10, 0, 0x0010}},
        {10, 10, 0x03, XfrChainAction::kSendNext, {10, 0, 0x0010}},
        {10, 10, 0x10, XfrChainAction::kSendNext, {10, 0, 0x0010}},
        {M + 1, M, 0x10, XfrChainAction::kSendNext, {M, 1, 0x0002}},
        {M + 1, M, 0x01, XfrChainAction::kSendNext, {M, 1, 0x0002}},
        {2 * M + 5, M, 0x10, XfrChainAction::kSendNext, {M, M, 0x0003}},
        {2 * M + 5, 2 * M, 0x10, XfrChainAction::kSendNext, {2 * M, 5, 0x0002}},
        {2 * M, M, 0x10, XfrChainAction::kSendNext, {M, M, 0x0002}},
        {10, 10, 0x04, XfrChainAction::kFail, {}},
        {10, 10, 0x11, XfrChainAction::kFail, {}},
        {10, 10, 0xFF, XfrChainAction::kFail, {}},
    };
    for (const Case& c : cases) {
        const XfrChainStep s = NextXfrStep(c.length, c.sent, M, c.chain);
        EXPECT_EQ(s.action, c.action) << c.length << '/' << c.sent << '/' << int(c.chain);
        if (c.action == XfrChainAction::kSendNext) {
            EXPECT_EQ(s.next.offset, c.next.offset) << c.length << '/' << c.sent;
            EXPECT_EQ(s.next.size, c.next.size) << c.length << '/' << c.sent;
            EXPECT_EQ(s.next.levelParameter, c.next.levelParameter) << c.length << '/' << c.sent;
        }
    }
}

// A reader that asks for more command data until it has all, then ends the response: the blocks cover the
// command exactly once, none longer than M.
TEST(XfrChaining, ChainsCoverTheCommandExactly) {
    for (std::uint32_t length : {0u, 1u, M - 1, M, M + 1, 2 * M, 2 * M + 5, 7 * M + 3}) {
        std::vector<XfrBlock> blocks{FirstXfrBlock(length, M)};
        for (;;) {
            const std::uint32_t sent = blocks.back().offset + blocks.back().size;
            const XfrChainStep s = NextXfrStep(length, sent, M, sent < length ? 0x10 : 0x02);
            if (s.action != XfrChainAction::kSendNext) {
                EXPECT_EQ(s.action, XfrChainAction::kDone);
                break;
            }
            blocks.push_back(s.next);
        }
        std::uint32_t expectedOffset = 0;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            EXPECT_EQ(blocks[i].offset, expectedOffset) << length;
            EXPECT_LE(blocks[i].size, M) << length;
            expectedOffset += blocks[i].size;
            const bool first = i == 0;
            const bool last = i + 1 == blocks.size();
            const std::uint16_t level = first && last ? 0x0000 : first ? 0x0001 : last ? 0x0002 : 0x0003;
            EXPECT_EQ(blocks[i].levelParameter, level) << length << " block " << i;
        }
        EXPECT_EQ(expectedOffset, length);
    }
}

}  // namespace
}  // namespace ryx
