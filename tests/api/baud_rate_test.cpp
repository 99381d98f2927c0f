// Changing the line speed on both ends, against the simulator.
#include "reader_fixture.h"

namespace ryx::test {
namespace {

using BaudRateTest = ReaderTest;

std::uint32_t PortRate(RYX_HANDLE handle) {
    std::uint32_t rate = 0;
    EXPECT_EQ(RYX_GetBaudRate(handle, &rate), RYX_SUCCESS);
    return rate;
}

TEST_F(BaudRateTest, TheRateInForceIsKeptAndNothingIsSent) {
    StartReader();
    sim_->ClearRecords();
    EXPECT_EQ(RYX_SetBaudRate(handle_, 9600), RYX_SUCCESS);
    EXPECT_TRUE(sim_->ReceivedFrames().empty());
}

TEST_F(BaudRateTest, ARateOutsideTheTableIsRefusedWithoutSending) {
    StartReader();
    sim_->ClearRecords();
    for (std::uint32_t rate : {0u, 9601u, 1200u, 921600u, 0xFFFFFFFFu}) {
        EXPECT_EQ(RYX_SetBaudRate(handle_, rate), RYX_ERROR_INVALID_PARAMETER) << rate;
    }
    EXPECT_TRUE(sim_->ReceivedFrames().empty());
    EXPECT_EQ(PortRate(handle_), 9600u);
}

TEST_F(BaudRateTest, MovesReaderAndPortTogether) {
    StartReader();
    sim_->ClearRecords();
    ASSERT_EQ(RYX_SetBaudRate(handle_, 115200), RYX_SUCCESS);
    // The request went out at the old rate, addressed to slot 0, carrying 44 and the index of 115200.
    const auto frames = Commands();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].hostSpeed, 9600u);
    ASSERT_TRUE(frames[0].header.has_value());
    EXPECT_EQ(frames[0].header->type, 0x6B);
    EXPECT_EQ(frames[0].header->slot, 0);
    EXPECT_EQ(std::vector<std::uint8_t>(frames[0].bytes.begin() + 11, frames[0].bytes.end() - 2), Bytes({0x44, 0x04}));
    EXPECT_EQ(PortRate(handle_), 115200u);
    EXPECT_EQ(sim_->Rate(), 115200u);

    // Both ends now talk at the new rate; every rate of the table works the same way.
    for (std::uint32_t rate : {19200u, 38400u, 57600u, 128000u, 230400u, 250000u, 256000u, 500000u, 9600u}) {
        ASSERT_EQ(RYX_SetBaudRate(handle_, rate), RYX_SUCCESS) << rate;
        EXPECT_EQ(PortRate(handle_), rate);
        std::uint32_t status = 0;
        EXPECT_EQ(RYX_GetIccStatus(handle_, 0, &status), RYX_SUCCESS) << rate;
    }
}

TEST_F(BaudRateTest, AReaderThatDoesNotAnswerLeavesThePortAtTheOldRate) {
    StartReader();
    UseShortTimeouts();
    sim_->SetSilent(true);
    EXPECT_EQ(RYX_SetBaudRate(handle_, 57600), RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(PortRate(handle_), 9600u);
}

}  // namespace
}  // namespace ryx::test
