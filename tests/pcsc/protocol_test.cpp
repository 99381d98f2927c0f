// Protocol selection through IFDHSetProtocolParameters.
#include "driver_fixture.h"

namespace ryx::pcsctest {
namespace {

class ProtocolTest : public DriverTest {
protected:
    RESPONSECODE Select(DWORD protocol) { return IFDHSetProtocolParameters(Lun(0, 0), protocol, 0, 0, 0, 0); }
    // Powers the card with this ATR up in slot 0.
    void PowerUpCard(const Bytes& atr) {
        sim_->InsertCard(0, atr);
        ASSERT_EQ(Power(Lun(0, 0), IFD_POWER_UP), IFD_SUCCESS);
        sim_->ClearRecords();
    }
    void SetUp() override { sim_ = &StartReader(); }
    sim::Simulator* sim_ = nullptr;
};

TEST_F(ProtocolTest, OfferedProtocolIsSelected) {
    PowerUpCard(kBuiltInAtr);  // T=0, TA1 0x96
    ASSERT_EQ(Select(SCARD_PROTOCOL_T0), IFD_SUCCESS);
    auto sent = sim_->SetParametersMessages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].protocolNum, 0);
    EXPECT_EQ(sent[0].body.at(0), 0x96);  // Fi/Di from the ATR, not from the (zero) PTS bytes

    Bytes t1 = B({0x3B, 0x80, 0x01, 0x81});  // T=1 only
    PowerUpCard(t1);
    ASSERT_EQ(Select(SCARD_PROTOCOL_T1), IFD_SUCCESS);
    sent = sim_->SetParametersMessages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].protocolNum, 1);
}

TEST_F(ProtocolTest, ProtocolTheCardDoesNotOfferIsNotSupported) {
    PowerUpCard(kBuiltInAtr);
    EXPECT_EQ(Select(SCARD_PROTOCOL_T1), IFD_PROTOCOL_NOT_SUPPORTED);
    EXPECT_EQ(Select(SCARD_PROTOCOL_RAW), IFD_PROTOCOL_NOT_SUPPORTED);
    EXPECT_EQ(Select(SCARD_PROTOCOL_T15), IFD_PROTOCOL_NOT_SUPPORTED);
    EXPECT_TRUE(Commands(*sim_).empty());
}

TEST_F(ProtocolTest, OtherFailuresArePtsFailures) {
    // Not powered.
    EXPECT_EQ(Select(SCARD_PROTOCOL_T0), IFD_ERROR_PTS_FAILURE);
    EXPECT_TRUE(Commands(*sim_).empty());

    // Unusable ATR (T=1 with a wrong check byte).
    PowerUpCard(B({0x3B, 0x80, 0x01, 0x80}));
    EXPECT_EQ(Select(SCARD_PROTOCOL_T1), IFD_ERROR_PTS_FAILURE);

    // The reader refuses the parameters, also after the library's power cycle.
    PowerUpCard(kBuiltInAtr);
    sim::Fault refuse;
    refuse.kind = sim::FaultKind::kRefuseSetParameters;
    refuse.count = 2;
    sim_->QueueFault(refuse);
    EXPECT_EQ(Select(SCARD_PROTOCOL_T0), IFD_ERROR_PTS_FAILURE);
    EXPECT_EQ(sim_->SetParametersMessages().size(), 2u);

    // Card gone.
    PowerUpCard(kBuiltInAtr);
    sim_->RemoveCard(0);
    EXPECT_EQ(Select(SCARD_PROTOCOL_T0), IFD_ERROR_PTS_FAILURE);
    EXPECT_EQ(IFDHSetProtocolParameters(Lun(2, 0), SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_COMMUNICATION_ERROR);
}

}  // namespace
}  // namespace ryx::pcsctest
