// Protocol selection end to end: the parameter message on the wire, the choice of protocol and the one retry
// after a power cycle.
#include "api/reader_context.h"
#include "api/registry.h"
#include "reader_fixture.h"
#include "support/sim_faults.h"

namespace ryx::test {
namespace {

std::uint8_t Tck(std::vector<std::uint8_t> atr) {
    std::uint8_t x = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) x ^= atr[i];
    return x;
}

// T=1 only, inverse convention, TA3 = IFSC 0x20, TB3 = BWI 4 / CWI 5, TC3 = CRC.
std::vector<std::uint8_t> InverseT1CrcAtr() {
    auto atr = Bytes({0x3F, 0x80, 0x81, 0x71, 0x20, 0x45, 0x01});
    atr.push_back(Tck(atr));
    return atr;
}

// T=0 and T=1 (TD1 T=0, TD2 T=1 with TA3 = IFSC 0xFE, TB3 = 0x45), TA1 0x11: negotiable.
std::vector<std::uint8_t> DualAtr() {
    auto atr = Bytes({0x3B, 0x80, 0x80, 0x31, 0xFE, 0x45});
    atr.push_back(Tck(atr));
    return atr;
}

// TA2 present naming T=0: specific mode.
const std::vector<std::uint8_t> kSpecificT0Atr = Bytes({0x3B, 0x90, 0x11, 0x10, 0x00});

class SetProtocolTest : public ReaderTest {
protected:
    void PowerOnCard(std::vector<std::uint8_t> atr, std::uint32_t slot = 0) {
        sim_->InsertCard(slot, atr);
        EXPECT_EQ(PowerOn(slot), atr);
        sim_->ClearRecords();
    }
    std::vector<sim::FrameRecord> SetParameterFrames() {
        std::vector<sim::FrameRecord> out;
        for (auto& f : Commands()) {
            if (f.header && f.header->type == 0x61) out.push_back(f);
        }
        return out;
    }
    // The reader refuses the next `count` SetParameters commands.
    void RefuseSetParameters(unsigned count = 1) {
        sim::Fault refuse;
        refuse.kind = sim::FaultKind::kRefuseSetParameters;
        refuse.count = count;
        sim_->QueueFault(refuse);
    }
    std::vector<std::uint8_t> MessageTypes() {
        std::vector<std::uint8_t> out;
        for (auto& f : Commands()) out.push_back(f.header ? f.header->type : 0);
        return out;
    }
};

TEST_F(SetProtocolTest, T0CardAtItsOwnSpeed) {
    StartReader();
    PowerOn();  // the built-in card: TA1 0x96, T=0
    sim_->ClearRecords();
    const std::uint8_t seq = RegistryFind(handle_)->link.sequence;
    std::uint32_t active = 99;
    ASSERT_EQ(RYX_SetProtocol(handle_, 0, RYX_PROTOCOL_T0, &active), RYX_SUCCESS);
    EXPECT_EQ(active, RYX_PROTOCOL_T0);
    const auto frames = SetParameterFrames();
    ASSERT_EQ(frames.size(), 1u);
    // The message in the frame, exactly: Fi 9 / Di 6, direct convention, no guard time, WI 10.
    const std::vector<std::uint8_t> message(frames[0].bytes.begin() + 1, frames[0].bytes.end() - 2);
    EXPECT_EQ(message,
              Bytes({0x61, 0x05, 0x00, 0x00, 0x00, 0x00, seq, 0x00, 0x00, 0x00, 0x96, 0x00, 0x00, 0x0A, 0x00}));
    const auto& card = RegistryFind(handle_)->slots[0];
    EXPECT_EQ(card.descriptor.cardMode, 5u);
    EXPECT_EQ(card.card.atrFiIndex, 9);
    EXPECT_EQ(card.card.atrDiIndex, 6);

    // The card keeps answering APDUs afterwards.
    std::uint8_t apdu[] = {0x00, 0xFF, 0x00, 0x00};
    std::uint8_t response[4];
    std::uint32_t length = sizeof response;
    EXPECT_EQ(RYX_ExchangeApdu(handle_, 0, apdu, sizeof apdu, response, &length), RYX_SUCCESS);
}

TEST_F(SetProtocolTest, InverseT1CardWithCrc) {
    StartReader();
    PowerOnCard(InverseT1CrcAtr());
    std::uint32_t active = 0;
    ASSERT_EQ(RYX_SetProtocol(handle_, 0, RYX_PROTOCOL_T0 | RYX_PROTOCOL_T1, &active), RYX_SUCCESS);
    EXPECT_EQ(active, RYX_PROTOCOL_T1);
    const auto records = sim_->SetParametersMessages();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].protocolNum, 1);
    EXPECT_EQ(records[0].body, Bytes({0x11, 0x13, 0x00, 0x45, 0x00, 0x20, 0x00}));
}

TEST_F(SetProtocolTest, BothAcceptableOnADualCardGivesT1) {
    StartReader();
    PowerOnCard(DualAtr());
    std::uint32_t active = 0;
    ASSERT_EQ(RYX_SetProtocol(handle_, 0, 3, &active), RYX_SUCCESS);
    EXPECT_EQ(active, RYX_PROTOCOL_T1);
    ASSERT_EQ(sim_->SetParametersMessages().size(), 1u);
    EXPECT_EQ(sim_->SetParametersMessages()[0].body, Bytes({0x11, 0x10, 0x00, 0x45, 0x00, 0xFE, 0x00}));

    ASSERT_EQ(RYX_SetProtocol(handle_, 0, 1, &active), RYX_SUCCESS);
    EXPECT_EQ(active, RYX_PROTOCOL_T0);
    ASSERT_EQ(sim_->SetParametersMessages().size(), 2u);
    EXPECT_EQ(sim_->SetParametersMessages()[1].protocolNum, 0);
}

TEST_F(SetProtocolTest, ProtocolsTheCardDoesNotOfferSendNothing) {
    StartReader();
    PowerOnCard(InverseT1CrcAtr());  // specific mode, T=1
    std::uint32_t active = 99;
    EXPECT_EQ(RYX_SetProtocol(handle_, 0, RYX_PROTOCOL_T0, &active), RYX_E_PROTO_MISMATCH);
    EXPECT_EQ(active, 0u);
    PowerOnCard(std::vector<std::uint8_t>(sim::kDefaultAtr.begin(), sim::kDefaultAtr.end()));  // negotiable, T=0
    active = 99;
    EXPECT_EQ(RYX_SetProtocol(handle_, 0, RYX_PROTOCOL_T1, &active), RYX_E_PROTO_MISMATCH);
    EXPECT_EQ(active, 0u);
    PowerOnCard(kSpecificT0Atr);
    EXPECT_EQ(RYX_SetProtocol(handle_, 0, RYX_PROTOCOL_T1, &active), RYX_E_PROTO_MISMATCH);
    EXPECT_TRUE(Commands().empty());
    ASSERT_EQ(RYX_SetProtocol(handle_, 0, 3, &active), RYX_SUCCESS);
    EXPECT_EQ(active, RYX_PROTOCOL_T0);
    EXPECT_EQ(sim_->SetParametersMessages().at(0).body, Bytes({0x11, 0x00, 0x00, 0x0A, 0x00}));
}

TEST_F(SetProtocolTest, DefaultSpeedSendsFi1Di1AndNeverPowerCycles) {
    StartReader();
    PowerOn();
    sim_->ClearRecords();
    RefuseSetParameters();
    std::uint32_t active = 99;
    EXPECT_EQ(RYX_SetProtocol(handle_, 0, RYX_PROTOCOL_T0 | RYX_PROTOCOL_DEFAULT_SPEED, &active),
              RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(active, 0u);
    EXPECT_EQ(MessageTypes(), Bytes({0x61}));
    ASSERT_EQ(RYX_SetProtocol(handle_, 0, RYX_PROTOCOL_T0 | RYX_PROTOCOL_DEFAULT_SPEED, &active), RYX_SUCCESS);
    const auto records = sim_->SetParametersMessages();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].body[0], 0x11);
    EXPECT_EQ(records[1].body[0], 0x11);
}

TEST_F(SetProtocolTest, OneRefusalPowerCyclesTheCardAndSendsTheSameBlockAgain) {
    StartReader();
    PowerOn();
    sim_->ClearRecords();
    RefuseSetParameters();
    std::uint32_t active = 0;
    ASSERT_EQ(RYX_SetProtocol(handle_, 0, RYX_PROTOCOL_T0, &active), RYX_SUCCESS);
    EXPECT_EQ(active, RYX_PROTOCOL_T0);
    EXPECT_EQ(MessageTypes(), Bytes({0x61, 0x63, 0x62, 0x61}));
    const auto frames = SetParameterFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].header->seq, static_cast<std::uint8_t>(frames[0].header->seq + 3));
    // Byte for byte the same parameter block, in a message with the next free sequence number.
    EXPECT_EQ(std::vector<std::uint8_t>(frames[0].bytes.begin() + 11, frames[0].bytes.end() - 2),
              std::vector<std::uint8_t>(frames[1].bytes.begin() + 11, frames[1].bytes.end() - 2));
    const auto records = sim_->SetParametersMessages();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[0].refused);
    EXPECT_EQ(records[0].body, records[1].body);
    EXPECT_EQ(records[1].body[0], 0x96);
    EXPECT_TRUE(sim_->Powered(0));
}

TEST_F(SetProtocolTest, TwoRefusalsFailWithNoActiveProtocol) {
    StartReader();
    PowerOn();
    RefuseSetParameters(2);
    std::uint32_t active = 99;
    EXPECT_EQ(RYX_SetProtocol(handle_, 0, RYX_PROTOCOL_T0, &active), RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(active, 0u);
    EXPECT_EQ(RegistryFind(handle_)->slots[0].card.protocol, 0u);
    // The retry's power-on left the card powered.
    EXPECT_NE(RegistryFind(handle_)->slots[0].card.atrLength, 0);
}

TEST_F(SetProtocolTest, UnpoweredAndUnusableCards) {
    StartReader();
    std::uint32_t active = 99;
    EXPECT_EQ(RYX_SetProtocol(handle_, 0, 1, &active), RYX_W_UNPOWERED_CARD);
    EXPECT_EQ(active, 0u);
    PowerOn();
    ASSERT_EQ(RYX_PowerOffIcc(handle_, 0), RYX_SUCCESS);
    EXPECT_EQ(RYX_SetProtocol(handle_, 0, 1, &active), RYX_W_UNPOWERED_CARD);

    // A malformed ATR (T=1 indicated, wrong check byte) and an unsupported Fi index.
    PowerOnCard(Bytes({0x3B, 0x80, 0x01, 0x80}));
    active = 99;
    EXPECT_EQ(RYX_SetProtocol(handle_, 0, 3, &active), RYX_W_UNSUPPORTED_CARD);
    EXPECT_EQ(active, 0u);
    PowerOnCard(Bytes({0x3B, 0x10, 0x71}));
    EXPECT_EQ(RYX_SetProtocol(handle_, 0, 3, &active), RYX_W_UNSUPPORTED_CARD);
    EXPECT_TRUE(Commands().empty());
}

TEST_F(SetProtocolTest, AFailedRetryPowerOnIsReported) {
    StartReader();
    PowerOn();
    RefuseSetParameters();
    // The power-off passes; the power-on of the retry finds a mute card.
    sim_->QueueFault(test::FaultOf(sim::FaultKind::kPass));
    sim_->QueueFault(test::StatusFault(0x41));
    std::uint32_t active = 99;
    EXPECT_EQ(RYX_SetProtocol(handle_, 0, RYX_PROTOCOL_T0, &active), RYX_W_UNRESPONSIVE_CARD);
    EXPECT_EQ(active, 0u);
}

}  // namespace
}  // namespace ryx::test
