// Framing without I/O: command frames, the repeat request, status frames, response-frame validation.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "link/frame.h"

namespace ryx {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(CommandFrame, CheckByteCoversThePayloadOnly) {
    const Bytes payload = {0x62, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
    Bytes frame(payload.size() + kFrameOverhead);
    BuildCommandFrame(payload, 0x02, 0x03, frame.data());
    EXPECT_EQ(frame, (Bytes{0x02, 0x62, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x67, 0x03}));
}

TEST(CommandFrame, EmptyPayloadAndOtherDelimiters) {
    Bytes frame(kFrameOverhead);
    BuildCommandFrame({}, 0xA5, 0x5A, frame.data());
    EXPECT_EQ(frame, (Bytes{0xA5, 0x00, 0x5A}));
}

// Every length around the eight-byte steps of the check byte, cut anywhere into a head and a body.
TEST(CommandFrame, HeadAndBodyFrameAsTheJoinedPayload) {
    for (std::size_t length = 0; length <= 25; ++length) {
        Bytes payload(length);
        std::uint8_t check = 0;
        for (std::size_t i = 0; i < length; ++i) {
            payload[i] = static_cast<std::uint8_t>(0x80 >> (i % 8) | i << 5);
            check ^= payload[i];
        }
        Bytes expected = {0x02};
        expected.insert(expected.end(), payload.begin(), payload.end());
        expected.insert(expected.end(), {check, 0x03});
        for (std::size_t cut = 0; cut <= length; ++cut) {
            Bytes frame(length + kFrameOverhead);
            BuildCommandFrame(std::span(payload).first(cut), std::span(payload).subspan(cut), 0x02, 0x03, frame.data());
            EXPECT_EQ(frame, expected) << length << ' ' << cut;
        }
    }
}

TEST(RepeatRequest, StartElevenZerosEnd) {
    std::array<std::uint8_t, kRepeatRequestSize> frame;
    frame.fill(0xEE);
    BuildRepeatRequest(0x02, 0x03, frame.data());
    EXPECT_EQ(Bytes(frame.begin(), frame.end()),
              (Bytes{0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03}));
}

TEST(StatusFrame, OnlyTheAcceptingFrameIsAccepted) {
    struct Case {
        std::array<std::uint8_t, 4> bytes;
        bool accepted;
    };
    const Case cases[] = {
        {{0x02, 0x00, 0x00, 0x03}, true},  {{0x02, 0x01, 0x01, 0x03}, false},  // refused, check byte right
        {{0x02, 0x00, 0x01, 0x03}, false},                                     // wrong check byte
        {{0x03, 0x00, 0x00, 0x03}, false},                                     // wrong start
        {{0x02, 0x00, 0x00, 0x02}, false},                                     // wrong end
        {{0x02, 0xFF, 0xFF, 0x03}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsAcceptedStatusFrame(c.bytes, 0x02, 0x03), c.accepted)
            << int(c.bytes[0]) << ' ' << int(c.bytes[1]) << ' ' << int(c.bytes[2]) << ' ' << int(c.bytes[3]);
    }
}

TEST(ResponseFrame, Validation) {
    struct Case {
        const char* what;
        Bytes frame;
        bool valid;
    };
    const Case cases[] = {
        {"the example response", {0x02, 0x80, 0x02, 0, 0, 0, 0, 0x10, 0, 0, 0, 0x90, 0x00, 0x02, 0x03}, true},
        {"header only", {0x02, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x81, 0x03}, true},
        {"check byte wrong", {0x02, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x03}, false},
        {"start wrong", {0x03, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x81, 0x03}, false},
        {"end wrong", {0x02, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x81, 0x02}, false},
        {"shortest valid", {0x02, 0x07, 0x07, 0x03}, true},
        {"three bytes", {0x02, 0x00, 0x03}, false},
        {"empty", {}, false},
        // Trailing bytes belong to the frame: the check byte is the last but one, over everything between.
        {"trailing bytes, consistent", {0x02, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x81, 0x03, 0x44, 0x47, 0x03}, true},
        {"trailing bytes, inconsistent", {0x02, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x81, 0x03, 0xAA}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsValidFrame(c.frame, 0x02, 0x03), c.valid) << c.what;
    }
}

}  // namespace
}  // namespace ryx
