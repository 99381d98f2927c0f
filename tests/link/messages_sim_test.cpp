// The message set against the simulated reader over a real pseudo-terminal: real block sizes, response chaining
// of long answers, card states and the reader's faults.
#include <gtest/gtest.h>

#include <ryx.h>

#include <numeric>
#include <string>

#include "link/messages.h"
#include "link/test_link.h"
#include "serial/serial_port.h"
#include "sim/simulator.h"

namespace ryx {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A fault in its command-line form, default values included.
sim::Fault FaultFrom(const std::string& text) {
    std::string error;
    const auto fault = sim::ParseFault(text, &error);
    EXPECT_TRUE(fault.has_value()) << text << ": " << error;
    return fault.value_or(sim::Fault{});
}

class MessagesSimTest : public ::testing::Test {
protected:
    void Open(sim::Config config = {}) {
        reader = std::make_unique<sim::Simulator>(std::move(config));
        ASSERT_TRUE(reader->Start());
        ASSERT_NO_FATAL_FAILURE(test::OpenTestLink(link, reader->SlavePath(), 0, 100, 2000, 1));
        link.maxBlockSize = reader->BlockSize();
    }
    void TearDown() override {
        test::CloseTestLink(link);
        if (reader) {
            reader->Stop();
        }
    }
    // XfrBlock needs an active card.
    void PowerOn() {
        Bytes atr(64);
        std::uint32_t length = 64;
        ASSERT_EQ(SendIccPowerOn(link, atr.data(), &length), RYX_SUCCESS);
    }
    std::vector<sim::FrameRecord> Commands() const {
        std::vector<sim::FrameRecord> commands;
        for (const auto& f : reader->ReceivedFrames()) {
            if (f.kind == sim::FrameRecord::Kind::kCommand) {
                commands.push_back(f);
            }
        }
        return commands;
    }

    std::unique_ptr<sim::Simulator> reader;
    Link link;
};

TEST_F(MessagesSimTest, PowerOnReturnsTheCardsAtrAndPowerOffTheLiteralFrame) {
    Open();
    Bytes atr(64, 0xEE);
    std::uint32_t length = 64;
    ASSERT_EQ(SendIccPowerOn(link, atr.data(), &length), RYX_SUCCESS);
    EXPECT_EQ(Bytes(atr.begin(), atr.begin() + length), Bytes(sim::kDefaultAtr.begin(), sim::kDefaultAtr.end()));
    EXPECT_TRUE(reader->Powered(0));

    PrepareLink(link, 1);
    link.sequence = 7;
    EXPECT_EQ(SendIccPowerOff(link), RYX_SUCCESS);
    EXPECT_EQ(link.sequence, 8);
    const auto commands = Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[1].bytes, (Bytes{0x02, 0x63, 0x00, 0x00, 0x00, 0x00, 0x01, 0x07, 0x00, 0x00, 0x00, 0x65, 0x03}));
}

TEST_F(MessagesSimTest, CardStates) {
    sim::Config config;
    config.model = sim::Model::KT6630RS;
    config.cards[1] = sim::SlotCard{true, {0x3B, 0x00}, true};  // mute
    Open(std::move(config));
    std::uint8_t status = 0xEE;
    Bytes atr(64);
    std::uint32_t length = 64;

    PrepareLink(link, 1);
    EXPECT_EQ(SendIccPowerOn(link, atr.data(), &length), RYX_ERROR_TIMEOUT);
    EXPECT_EQ(length, 64u);

    PrepareLink(link, 2);  // empty slot
    EXPECT_EQ(SendIccPowerOn(link, atr.data(), &length), RYX_ERROR_NO_MEDIA_IN_DRIVE);
    EXPECT_EQ(SendGetSlotStatus(link, &status), RYX_SUCCESS);
    EXPECT_EQ(status, 2);

    PrepareLink(link, 0);
    EXPECT_EQ(SendGetSlotStatus(link, &status), RYX_SUCCESS);
    EXPECT_EQ(status, 1);
    ASSERT_EQ(SendIccPowerOn(link, atr.data(), &length), RYX_SUCCESS);
    EXPECT_EQ(SendGetSlotStatus(link, &status), RYX_SUCCESS);
    EXPECT_EQ(status, 0);
}

TEST_F(MessagesSimTest, EscapeReadsTheFirmwareVersion) {
    Open();
    Bytes reply(35, 0);
    std::uint32_t length = 35;
    ASSERT_EQ(SendEscape(link, Bytes{0xE0, 0x00, 0x00, 0x18, 0x00}, reply.data(), &length), RYX_SUCCESS);
    ASSERT_GT(length, 5u);
    const std::string text(reply.begin() + 5, reply.begin() + length);
    EXPECT_EQ(text.rfind("KT4470RS", 0), 0u) << text;
}

// Long commands and long answers, through both models' block sizes: an echo card returns the command's data.
TEST_F(MessagesSimTest, ChainingBothWaysAtTheModelsBlockSizes) {
    for (sim::Model model : {sim::Model::KT4470RS, sim::Model::KT6630RS}) {
        sim::Config config;
        config.model = model;
        Open(std::move(config));
        PowerOn();
        reader->SetApduHandler([](std::uint8_t, std::span<const std::uint8_t> apdu) {
            Bytes answer(apdu.begin(), apdu.end());
            answer.insert(answer.end(), {0x90, 0x00});
            return answer;
        });
        const std::uint32_t M = link.maxBlockSize;
        for (std::uint32_t L : {M, M + 1, 2 * M + 5, 4000u}) {
            Bytes apdu(L);
            std::iota(apdu.begin(), apdu.end(), std::uint8_t{0});
            reader->ClearRecords();
            Bytes response(L + 2, 0xEE);
            std::uint32_t length = L + 2;
            ASSERT_EQ(SendXfrBlock(link, apdu, response.data(), &length), RYX_SUCCESS) << M << '/' << L;
            ASSERT_EQ(length, L + 2);
            EXPECT_TRUE(std::equal(apdu.begin(), apdu.end(), response.begin())) << M << '/' << L;
            Bytes carried;
            for (const auto& c : Commands()) {
                ASSERT_TRUE(c.header.has_value());
                EXPECT_LE(c.header->dwLength, M);
                carried.insert(carried.end(), c.bytes.begin() + 11, c.bytes.end() - 2);
            }
            EXPECT_EQ(carried, apdu) << M << '/' << L;
        }
        SerialClose(link.port);
        link.port = kInvalidSerialHandle;
        reader->Stop();
    }
}

TEST_F(MessagesSimTest, LongestResponseAndOneByteTooFew) {
    Open();
    PowerOn();
    reader->SetApduHandler([](std::uint8_t, std::span<const std::uint8_t>) {
        Bytes answer(65536, 0x5A);
        answer.insert(answer.end(), {0x90, 0x00});
        return answer;
    });
    const Bytes apdu = {0x00, 0xB0, 0x00, 0x00, 0x00, 0x00, 0x00};
    Bytes response(65538, 0);
    std::uint32_t length = 65538;
    ASSERT_EQ(SendXfrBlock(link, apdu, response.data(), &length), RYX_SUCCESS);
    EXPECT_EQ(length, 65538u);
    EXPECT_EQ(response[65535], 0x5A);
    EXPECT_EQ(response[65536], 0x90);

    length = 65537;
    EXPECT_EQ(SendXfrBlock(link, apdu, response.data(), &length), RYX_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 65537u);
}

TEST_F(MessagesSimTest, TheLinkRidesOutTheReadersFaults) {
    Open();
    link.responseTimeout = 100;  // a truncated response costs one read pass
    struct Case {
        sim::FaultKind kind;
        std::size_t commandsSent;  // command frames the host sent, retries included
        std::size_t repeats;       // repeat requests
    };
    const Case cases[] = {
        {sim::FaultKind::kRefuseStatus, 2, 0},     {sim::FaultKind::kBadStatusCheck, 2, 0},
        {sim::FaultKind::kGarbage, 2, 0},          {sim::FaultKind::kDamageResponse, 1, 1},
        {sim::FaultKind::kTruncateResponse, 1, 1}, {sim::FaultKind::kChunkResponse, 1, 0},
    };
    for (const Case& c : cases) {
        reader->ClearRecords();
        reader->QueueFault(FaultFrom(std::string(sim::FaultKindName(c.kind))));
        std::uint8_t status = 0xEE;
        EXPECT_EQ(SendGetSlotStatus(link, &status), RYX_SUCCESS) << sim::FaultKindName(c.kind);
        EXPECT_EQ(status, 1) << sim::FaultKindName(c.kind);
        std::size_t commands = 0;
        std::size_t repeats = 0;
        for (const auto& f : reader->ReceivedFrames()) {
            commands += f.kind == sim::FrameRecord::Kind::kCommand;
            repeats += f.kind == sim::FrameRecord::Kind::kRepeatRequest;
        }
        EXPECT_EQ(commands, c.commandsSent) << sim::FaultKindName(c.kind);
        EXPECT_EQ(repeats, c.repeats) << sim::FaultKindName(c.kind);
    }
}

TEST_F(MessagesSimTest, WrongRepliesFail) {
    Open();
    for (sim::FaultKind kind :
         {sim::FaultKind::kWrongType, sim::FaultKind::kWrongSlot, sim::FaultKind::kWrongSequence}) {
        reader->QueueFault(FaultFrom(std::string(sim::FaultKindName(kind))));
        std::uint8_t status = 0xEE;
        EXPECT_EQ(SendGetSlotStatus(link, &status), RYX_ERROR_GEN_FAILURE) << sim::FaultKindName(kind);
        EXPECT_EQ(status, 0xEE);
    }
    reader->QueueFault(FaultFrom("status-error:1:42FE"));
    std::uint8_t status = 0xEE;
    EXPECT_EQ(SendGetSlotStatus(link, &status), RYX_ERROR_NO_MEDIA_IN_DRIVE);
    EXPECT_EQ(status, 2);
}

}  // namespace
}  // namespace ryx
