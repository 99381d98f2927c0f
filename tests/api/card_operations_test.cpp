// Power on/off, card status, APDU exchange and escape commands through the exported API, against the simulator.
#include <array>
#include <mutex>

#include "api/reader_context.h"
#include "api/registry.h"
#include "reader_fixture.h"
#include "response_pattern.h"
#include "support/sim_faults.h"

namespace ryx::test {
namespace {

const std::vector<std::uint8_t> kDefaultAtr(sim::kDefaultAtr.begin(), sim::kDefaultAtr.end());

std::uint8_t StoredAtrLength(RYX_HANDLE handle, std::uint32_t slot) {
    return RegistryFind(handle)->slots[slot].card.atrLength;
}

using PowerOnTest = ReaderTest;

TEST_F(PowerOnTest, ReturnsAndKeepsTheAtr) {
    StartReader();
    std::array<std::uint8_t, 64> atr{};
    std::uint32_t length = 64;
    ASSERT_EQ(RYX_PowerOnIcc(handle_, 0, atr.data(), &length), RYX_SUCCESS);
    ASSERT_EQ(length, kDefaultAtr.size());
    EXPECT_TRUE(std::equal(kDefaultAtr.begin(), kDefaultAtr.end(), atr.begin()));
    EXPECT_EQ(atr[length], 0);  // nothing written past the ATR
    EXPECT_EQ(StoredAtrLength(handle_, 0), kDefaultAtr.size());
    EXPECT_TRUE(sim_->Powered(0));
    // The power-on message: type 0x62, no data, slot 0, bPowerSelect 0.
    const auto frames = Commands();
    ASSERT_TRUE(frames.back().header.has_value());
    EXPECT_EQ(frames.back().header->type, 0x62);
    EXPECT_EQ(frames.back().header->dwLength, 0u);
    EXPECT_EQ(frames.back().header->b7, 0x00);
}

TEST_F(PowerOnTest, ABufferTooSmallReportsTheSizeAndLeavesTheCardPowered) {
    StartReader();
    std::uint32_t length = 0;
    EXPECT_EQ(RYX_PowerOnIcc(handle_, 0, nullptr, &length), RYX_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, kDefaultAtr.size());
    EXPECT_EQ(StoredAtrLength(handle_, 0), kDefaultAtr.size());
    EXPECT_TRUE(sim_->Powered(0));

    std::vector<std::uint8_t> atr(length + 4, 0xEE);
    std::uint32_t small = length - 1;
    EXPECT_EQ(RYX_PowerOnIcc(handle_, 0, atr.data(), &small), RYX_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small, kDefaultAtr.size());
    EXPECT_EQ(atr[0], 0xEE);  // nothing copied

    ASSERT_EQ(RYX_PowerOnIcc(handle_, 0, atr.data(), &length), RYX_SUCCESS);
    EXPECT_TRUE(std::equal(kDefaultAtr.begin(), kDefaultAtr.end(), atr.begin()));
    EXPECT_EQ(atr[length], 0xEE);

    std::uint32_t room = 64;
    EXPECT_EQ(RYX_PowerOnIcc(handle_, 0, nullptr, &room), RYX_SUCCESS);  // only the length is reported
    EXPECT_EQ(room, kDefaultAtr.size());
}

struct PowerOnFailure {
    const char* what;
    std::vector<std::uint8_t> atr;  // empty: see mute/absent flags
    bool present;
    bool mute;
    std::uint32_t status;
    std::uint32_t length;
    bool powered;
};

class PowerOnOutcome : public ReaderTest, public ::testing::WithParamInterface<PowerOnFailure> {};

TEST_P(PowerOnOutcome, StatusLengthAndPoweredState) {
    const PowerOnFailure& c = GetParam();
    StartReader();
    UseShortTimeouts();
    if (c.present) {
        sim_->InsertCard(1, c.atr);
        sim_->SetMute(1, c.mute);
    } else {
        sim_->RemoveCard(1);
    }
    std::uint32_t length = 64;
    std::array<std::uint8_t, 64> atr{};
    EXPECT_EQ(RYX_PowerOnIcc(handle_, 1, atr.data(), &length), c.status) << c.what;
    EXPECT_EQ(length, c.length) << c.what;
    EXPECT_EQ(StoredAtrLength(handle_, 1) != 0, c.powered) << c.what;
    // The slot's powered state decides protocol selection.
    if (!c.powered) {
        EXPECT_EQ(RYX_SetProtocol(handle_, 1, 3, nullptr), RYX_W_UNPOWERED_CARD) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, PowerOnOutcome,
                         ::testing::Values(PowerOnFailure{"zero-byte ATR", {}, true, false, RYX_SUCCESS, 0, false},
                                           PowerOnFailure{"mute card", Bytes({0x3B, 0x00}), true, true,
                                                          RYX_W_UNRESPONSIVE_CARD, 0, false},
                                           PowerOnFailure{"no card", {}, false, false, RYX_W_REMOVED_CARD, 0, false},
                                           PowerOnFailure{"64-byte ATR", std::vector<std::uint8_t>(64, 0x3B), true,
                                                          false, RYX_SUCCESS, 64, true},
                                           PowerOnFailure{"65-byte ATR", std::vector<std::uint8_t>(65, 0x3B), true,
                                                          false, RYX_ERROR_INSUFFICIENT_BUFFER, 0, false}));

TEST_F(PowerOnTest, PowerOffEndsThePoweredStateEvenWhenTheReaderFails) {
    StartReader();
    PowerOn();
    ASSERT_EQ(RYX_PowerOffIcc(handle_, 0), RYX_SUCCESS);
    EXPECT_EQ(StoredAtrLength(handle_, 0), 0);
    EXPECT_FALSE(sim_->Powered(0));

    PowerOn();
    UseShortTimeouts();
    sim_->SetSilent(true);
    EXPECT_EQ(RYX_PowerOffIcc(handle_, 0), RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(StoredAtrLength(handle_, 0), 0);
}

using IccStatusTest = ReaderTest;

TEST_F(IccStatusTest, NamesEveryStateAndAnAbsentCardEndsThePoweredState) {
    StartReader();
    std::uint32_t status = 99;
    ASSERT_EQ(RYX_GetIccStatus(handle_, 0, &status), RYX_SUCCESS);
    EXPECT_EQ(status, RYX_ICC_PRESENT);
    PowerOn();
    ASSERT_EQ(RYX_GetIccStatus(handle_, 0, &status), RYX_SUCCESS);
    EXPECT_EQ(status, RYX_ICC_POWERED);
    ASSERT_EQ(RYX_GetIccStatus(handle_, 1, &status), RYX_SUCCESS);
    EXPECT_EQ(status, RYX_ICC_ABSENT);

    // The card is pulled: the slot no longer counts as powered.
    sim_->RemoveCard(0);
    ASSERT_EQ(RYX_GetIccStatus(handle_, 0, &status), RYX_SUCCESS);
    EXPECT_EQ(status, RYX_ICC_ABSENT);
    EXPECT_EQ(StoredAtrLength(handle_, 0), 0);
    EXPECT_EQ(RYX_SetProtocol(handle_, 0, 1, nullptr), RYX_W_UNPOWERED_CARD);

    // A present-but-inactive report leaves the powered state alone.
    sim_->InsertCard(1, kDefaultAtr);
    PowerOn(1);
    sim_->SetMute(1, true);  // the card drops its power
    ASSERT_EQ(RYX_GetIccStatus(handle_, 1, &status), RYX_SUCCESS);
    EXPECT_EQ(status, RYX_ICC_PRESENT);
    EXPECT_NE(StoredAtrLength(handle_, 1), 0);

    // No answer at all: the status is not determined.
    UseShortTimeouts();
    sim_->SetSilent(true);
    status = 99;
    EXPECT_EQ(RYX_GetIccStatus(handle_, 0, &status), RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(status, RYX_ICC_UNKNOWN);
}

TEST_F(IccStatusTest, CardFailuresAreTranslatedExceptByControl) {
    StartReader();
    const sim::Fault absent = test::StatusFault(0x42);
    const sim::Fault mute = test::StatusFault(0x41);

    std::uint8_t apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x02};
    std::uint8_t response[16];
    std::uint32_t length = sizeof response;
    sim_->QueueFault(absent);
    EXPECT_EQ(RYX_ExchangeApdu(handle_, 0, apdu, sizeof apdu, response, &length), RYX_W_REMOVED_CARD);
    EXPECT_EQ(length, sizeof response);
    sim_->QueueFault(mute);
    EXPECT_EQ(RYX_ExchangeApdu(handle_, 0, apdu, sizeof apdu, response, &length), RYX_ERROR_TIMEOUT);

    std::uint8_t escape[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
    std::uint32_t returned = 99;
    sim_->QueueFault(absent);
    EXPECT_EQ(RYX_Control(handle_, 0, RYX_CONTROL_ESCAPE, escape, 5, response, sizeof response, &returned),
              RYX_ERROR_NO_MEDIA_IN_DRIVE);
    EXPECT_EQ(returned, 0u);
    returned = 99;
    sim_->QueueFault(mute);
    EXPECT_EQ(RYX_Control(handle_, 0, RYX_CONTROL_ESCAPE, escape, 5, response, sizeof response, &returned),
              RYX_ERROR_TIMEOUT);
    EXPECT_EQ(returned, 0u);

    std::uint32_t status = 99;
    sim_->QueueFault(absent);
    EXPECT_EQ(RYX_GetIccStatus(handle_, 0, &status), RYX_W_REMOVED_CARD);
    EXPECT_EQ(status, RYX_ICC_UNKNOWN);
    sim_->QueueFault(absent);
    EXPECT_EQ(RYX_PowerOffIcc(handle_, 0), RYX_W_REMOVED_CARD);
}

using ControlTest = ReaderTest;

TEST_F(ControlTest, PassesTheEscapeAndReportsTheReplyLength) {
    StartReader();
    std::uint8_t escape[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
    std::uint8_t reply[35] = {};
    std::uint32_t returned = 0;
    ASSERT_EQ(RYX_Control(handle_, 0, RYX_CONTROL_ESCAPE, escape, 5, reply, sizeof reply, &returned), RYX_SUCCESS);
    const std::string text = sim::DefaultFirmware(sim::Model::KT4470RS);
    ASSERT_EQ(returned, 5 + text.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply) + 5, text.size()), text);
    EXPECT_EQ(RYX_Control(handle_, 0, RYX_CONTROL_ESCAPE, escape, 5, reply, sizeof reply, nullptr), RYX_SUCCESS);

    // A reply longer than the buffer.
    returned = 99;
    EXPECT_EQ(RYX_Control(handle_, 0, RYX_CONTROL_ESCAPE, escape, 5, reply, 6, &returned),
              RYX_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(returned, 0u);

    // The line-speed escape is refused before anything is sent.
    sim_->ClearRecords();
    std::uint8_t baud[] = {0x44, 0x04};
    returned = 99;
    EXPECT_EQ(RYX_Control(handle_, 0, RYX_CONTROL_ESCAPE, baud, 2, reply, sizeof reply, &returned),
              RYX_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(RYX_Control(handle_, 0, 3501, escape, 5, reply, sizeof reply, &returned), RYX_ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(Commands().empty());
}

// Exchanges of every interesting size on every model: the response depends on the whole command, so a lost,
// doubled or reordered block shows.
struct ExchangeCase {
    sim::Model model;
    std::uint32_t commandLength;
    std::uint32_t responseLength;
};

class ExchangeTest : public ReaderTest, public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(ExchangeTest, CommandAndResponseArriveIntact) {
    const ExchangeCase& c = GetParam();
    sim::Config config;
    config.model = c.model;
    StartReader(config);
    PowerOn();
    std::mutex receivedLock;  // written on the simulator's thread
    std::vector<std::uint8_t> received;
    sim_->SetApduHandler([&](std::uint8_t, std::span<const std::uint8_t> apdu) {
        std::lock_guard guard(receivedLock);
        received.assign(apdu.begin(), apdu.end());
        return ResponseFor(apdu, c.responseLength);
    });
    std::vector<std::uint8_t> command(c.commandLength);
    for (std::uint32_t i = 0; i < c.commandLength; ++i) command[i] = static_cast<std::uint8_t>(i * 13 + (i >> 9));
    std::vector<std::uint8_t> response(65538 + 8, 0xEE);
    std::uint32_t length = 65538;
    ASSERT_EQ(RYX_ExchangeApdu(handle_, 0, command.data(), c.commandLength, response.data(), &length), RYX_SUCCESS);
    {
        std::lock_guard guard(receivedLock);
        EXPECT_EQ(received, command);
    }
    ASSERT_EQ(length, c.responseLength);
    const auto expected = ResponseFor(command, c.responseLength);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), response.begin()));
    EXPECT_EQ(response[length], 0xEE);
    // No block carries more than the model's block size.
    const std::uint32_t blockSize = sim::ModelBlockSize(c.model);
    for (const auto& f : Commands()) {
        if (f.header && f.header->type == 0x6F) {
            EXPECT_LE(f.header->dwLength, blockSize);
        }
    }
}

std::vector<ExchangeCase> ExchangeCases() {
    std::vector<ExchangeCase> cases;
    for (auto model : {sim::Model::KT4470RS, sim::Model::KT4470RS_V3, sim::Model::KT6630RS}) {
        for (std::uint32_t length : {1u, 261u, 262u, 506u, 507u, 1000u, 65544u}) {
            cases.push_back({model, length, length == 65544u ? 65538u : 2u});
        }
        for (std::uint32_t response : {0u, 260u, 261u, 262u, 506u, 507u, 65536u, 65538u}) {
            cases.push_back({model, 5, response});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Sizes, ExchangeTest, ::testing::ValuesIn(ExchangeCases()));

using ExchangeLimits = ReaderTest;

TEST_F(ExchangeLimits, AResponseLargerThanTheBufferIsRefusedAndNothingReported) {
    StartReader();
    PowerOn();
    sim_->SetApduHandler([](std::uint8_t, std::span<const std::uint8_t>) { return std::vector<std::uint8_t>(300, 1); });
    std::uint8_t apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    std::vector<std::uint8_t> response(299, 0xEE);
    std::uint32_t length = 299;
    EXPECT_EQ(RYX_ExchangeApdu(handle_, 0, apdu, sizeof apdu, response.data(), &length), RYX_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 299u);
    // The reader works on afterwards.
    length = 300;
    std::vector<std::uint8_t> enough(300);
    EXPECT_EQ(RYX_ExchangeApdu(handle_, 0, apdu, sizeof apdu, enough.data(), &length), RYX_SUCCESS);
    EXPECT_EQ(length, 300u);
}

TEST_F(ExchangeLimits, TheBuiltInCardAnswersWithoutPowerBookkeeping) {
    StartReader();
    PowerOn();
    // SELECT of an unknown instruction class gives a status word, not a library error.
    std::uint8_t unknownIns[] = {0x00, 0xFF, 0x00, 0x00};
    std::uint8_t response[8];
    std::uint32_t length = sizeof response;
    ASSERT_EQ(RYX_ExchangeApdu(handle_, 0, unknownIns, sizeof unknownIns, response, &length), RYX_SUCCESS);
    ASSERT_EQ(length, 2u);
    EXPECT_EQ(response[0], 0x6D);
    EXPECT_EQ(response[1], 0x00);
}

}  // namespace
}  // namespace ryx::test
