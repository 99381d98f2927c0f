// APDUs through IFDHTransmitToICC against the simulator's built-in card, short and extended.
#include "driver_fixture.h"

namespace ryx::pcsctest {
namespace {

const Bytes kOk = B({0x90, 0x00});
const Bytes kSelectApplication = B({0x00, 0xA4, 0x04, 0x00, 0x08, 0xA0, 0x00, 0x00, 0x05, 0x52, 0x59, 0x58, 0x01});

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class TransmitTest : public DriverTest {
protected:
    void SetUp() override {
        sim_ = &StartReader();
        ASSERT_EQ(Power(Lun(0, 0), IFD_POWER_UP), IFD_SUCCESS);
        ASSERT_EQ(IFDHSetProtocolParameters(Lun(0, 0), SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
    }
    sim::Simulator* sim_ = nullptr;
};

TEST_F(TransmitTest, ShortApdus) {
    Bytes response;
    ASSERT_EQ(Transmit(Lun(0, 0), kSelectApplication, response), IFD_SUCCESS);
    EXPECT_EQ(response, kOk);
    ASSERT_EQ(Transmit(Lun(0, 0), B({0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01}), response), IFD_SUCCESS);
    EXPECT_EQ(response, kOk);
    ASSERT_EQ(Transmit(Lun(0, 0), B({0x00, 0xB0, 0x00, 0x00, 0x10}), response), IFD_SUCCESS);
    const std::string text = "RYX SIM CARD 1.0";
    EXPECT_EQ(response, Cat(Bytes(text.begin(), text.end()), kOk));
    // A card's error status is a successful exchange.
    ASSERT_EQ(Transmit(Lun(0, 0), B({0x00, 0xA4, 0x00, 0x00, 0x02, 0x09, 0x09}), response), IFD_SUCCESS);
    EXPECT_EQ(response, B({0x6A, 0x82}));
}

TEST_F(TransmitTest, ExtendedApdusBothWays) {
    // PATTERN with extended Le 4096: far more than one block of the reader.
    Bytes response;
    ASSERT_EQ(Transmit(Lun(0, 0), B({0x80, 0x12, 0x00, 0x00, 0x00, 0x10, 0x00}), response), IFD_SUCCESS);
    ASSERT_EQ(response.size(), 4096u + 2);
    for (std::size_t i = 0; i < 4096; ++i) ASSERT_EQ(response[i], static_cast<std::uint8_t>(i)) << i;
    EXPECT_EQ(Bytes(response.end() - 2, response.end()), kOk);

    // ECHO with 1000 bytes of extended Lc.
    Bytes data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    Bytes echo = Cat(B({0x80, 0x10, 0x00, 0x00, 0x00, 0x03, 0xE8}), data);
    echo.push_back(0x00);
    echo.push_back(0x00);  // extended Le: any length
    ASSERT_EQ(Transmit(Lun(0, 0), echo, response), IFD_SUCCESS);
    EXPECT_EQ(response, Cat(data, kOk));
}

TEST_F(TransmitTest, FailuresReportNoResponse) {
    Bytes response;
    // The response does not fit.
    EXPECT_EQ(Transmit(Lun(0, 0), B({0x80, 0x12, 0x00, 0x00, 0x10}), response, 10), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(response.empty());
    // Arguments.
    EXPECT_EQ(Transmit(Lun(0, 0), {}, response), IFD_COMMUNICATION_ERROR);
    EXPECT_TRUE(response.empty());
    EXPECT_EQ(Transmit(Lun(0, 0), B({0x00, 0xB0, 0x00, 0x00, 0x10}), response, 0), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Transmit(Lun(4, 0), B({0x00, 0xB0, 0x00, 0x00, 0x10}), response), IFD_COMMUNICATION_ERROR);
    EXPECT_TRUE(response.empty());
    // The card was pulled.
    sim_->RemoveCard(0);
    EXPECT_EQ(Transmit(Lun(0, 0), kSelectApplication, response), IFD_ICC_NOT_PRESENT);
    EXPECT_TRUE(response.empty());
}

TEST_F(TransmitTest, ReportsTheProtocolInForce) {
    Bytes command = kSelectApplication;
    Bytes response(64);
    SCARD_IO_HEADER send{SCARD_PROTOCOL_T1, 0};
    SCARD_IO_HEADER recv{0, 0};
    DWORD length = response.size();
    ASSERT_EQ(IFDHTransmitToICC(Lun(0, 0), send, command.data(), command.size(), response.data(), &length, &recv),
              IFD_SUCCESS);
    EXPECT_EQ(recv.Protocol, DWORD{SCARD_PROTOCOL_T0});
    length = response.size();
    EXPECT_EQ(IFDHTransmitToICC(Lun(0, 0), send, command.data(), command.size(), response.data(), &length, nullptr),
              IFD_SUCCESS);
}

}  // namespace
}  // namespace ryx::pcsctest
