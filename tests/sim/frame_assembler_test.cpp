// The reader's receiver: how the host's byte stream is cut into frames.
#include "sim/frame_assembler.h"

#include <gtest/gtest.h>

#include "raw_client.h"

namespace ryx::sim {
namespace {

using simtest::Bytes;
using simtest::Frame;
using simtest::Hex;
using Kind = FrameAssembler::Event::Kind;

std::vector<FrameAssembler::Event> FeedAll(FrameAssembler& a, const Bytes& bytes, std::uint32_t speed = 9600) {
    std::vector<FrameAssembler::Event> events;
    a.Feed(bytes, speed, FrameAssembler::Clock::now(), &events);
    return events;
}

const Bytes kPowerOff = Frame(Hex("63 00 00 00 00 01 07 00 00 00"));

TEST(FrameAssembler, CutsFramesAndJudgesThem) {
    struct Case {
        const char* name;
        Bytes input;
        std::vector<Kind> kinds;
    };
    Bytes badCheck = kPowerOff;
    badCheck[badCheck.size() - 2] ^= 0xFF;
    Bytes badEnd = kPowerOff;
    badEnd.back() = 0x04;
    const Bytes tooLong = Hex("02 6F 01 04 00 00 00 00 00 00 00");  // dwLength 1025
    Bytes tooLongWhole = tooLong;
    tooLongWhole.resize(1025 + 13, 0xAA);
    const std::vector<Case> cases = {
        {"valid", kPowerOff, {Kind::kFrame}},
        {"noise before the start byte is skipped",
         [] {
             Bytes b = Hex("FF 00 55 03");
             b.insert(b.end(), kPowerOff.begin(), kPowerOff.end());
             return b;
         }(),
         {Kind::kFrame}},
        {"wrong check byte", badCheck, {Kind::kBadCheck}},
        {"wrong end byte", badEnd, {Kind::kBadEnd}},
        {"two frames in one read",
         [] {
             Bytes b = kPowerOff;
             b.insert(b.end(), kPowerOff.begin(), kPowerOff.end());
             return b;
         }(),
         {Kind::kFrame, Kind::kFrame}},
        {"a frame too long for the buffer is skipped whole, then refused", tooLongWhole, {Kind::kTooLong}},
        {"repeat request", Hex("02 00 00 00 00 00 00 00 00 00 00 00 03"), {Kind::kFrame}},
    };
    for (const auto& c : cases) {
        FrameAssembler a(1024);
        auto events = FeedAll(a, c.input);
        ASSERT_EQ(events.size(), c.kinds.size()) << c.name;
        for (std::size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i].kind, c.kinds[i]) << c.name;
        EXPECT_FALSE(a.Partial()) << c.name;
    }
}

TEST(FrameAssembler, AssemblesAcrossReadsAndKeepsTheBytes) {
    FrameAssembler a(1024);
    const Bytes frame = Frame(Hex("6F 04 00 00 00 00 10 00 00 00 00 A4 04 00"));
    EXPECT_TRUE(FeedAll(a, Bytes(frame.begin(), frame.begin() + 5)).empty());
    EXPECT_TRUE(a.Partial());
    EXPECT_TRUE(FeedAll(a, Bytes(frame.begin() + 5, frame.begin() + 13)).empty());
    auto events = FeedAll(a, Bytes(frame.begin() + 13, frame.end()));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].bytes, frame);
    EXPECT_EQ(events[0].bytes, Hex("02 6F 04 00 00 00 00 10 00 00 00 00 A4 04 00 DB 03"));
}

TEST(FrameAssembler, SilenceDropsAPartialFrameAndTheNextStartByteBeginsAfresh) {
    FrameAssembler a(1024);
    EXPECT_TRUE(FeedAll(a, Hex("02 63 00 00")).empty());
    EXPECT_FALSE(a.Silence().has_value());
    EXPECT_FALSE(a.Partial());
    auto events = FeedAll(a, kPowerOff);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::kFrame);
}

TEST(FrameAssembler, SilenceWhileSkippingATooLongFrameRefusesIt) {
    FrameAssembler a(261);
    // dwLength 0xFFFFFFFF: a damaged length would otherwise swallow the line for ever.
    EXPECT_TRUE(FeedAll(a, Hex("02 6F FF FF FF FF 00 00 00 00 00 01 02")).empty());
    auto event = a.Silence();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->kind, Kind::kTooLong);
    EXPECT_EQ(event->bytes.size(), 11u);
    EXPECT_EQ(FeedAll(a, kPowerOff).size(), 1u);
}

TEST(FrameAssembler, LimitIsOnDataLength) {
    FrameAssembler a(4);
    Bytes four = Frame(Hex("6B 04 00 00 00 00 00 00 00 00 01 02 03 04"));
    Bytes five = Frame(Hex("6B 05 00 00 00 00 00 00 00 00 01 02 03 04 05"));
    EXPECT_EQ(FeedAll(a, four).at(0).kind, Kind::kFrame);
    EXPECT_EQ(FeedAll(a, five).at(0).kind, Kind::kTooLong);
}

TEST(FrameAssembler, NotesTheHostSpeedOfTheStartByteAndAnyChange) {
    FrameAssembler a(1024);
    std::vector<FrameAssembler::Event> events;
    const auto now = FrameAssembler::Clock::now();
    a.Feed(kPowerOff, 19200, now, &events);
    a.Feed(Bytes(kPowerOff.begin(), kPowerOff.begin() + 6), 9600, now, &events);
    a.Feed(Bytes(kPowerOff.begin() + 6, kPowerOff.end()), 115200, now, &events);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].hostSpeed, 19200u);
    EXPECT_FALSE(events[0].mixedSpeed);
    EXPECT_EQ(events[1].hostSpeed, 9600u);
    EXPECT_TRUE(events[1].mixedSpeed);
}

}  // namespace
}  // namespace ryx::sim
