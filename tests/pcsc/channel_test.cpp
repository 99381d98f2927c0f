// Opening and closing channels: one per slot as pcscd does, several readers through the one driver.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "driver_fixture.h"

namespace ryx::pcsctest {
namespace {

using namespace std::chrono_literals;

class ChannelTest : public DriverTest {};

sim::Config ThreeSlots() {
    sim::Config c;
    c.model = sim::Model::KT4470RS_V3;
    return c;
}

TEST_F(ChannelTest, FirstSlotOpensTheReaderTheOthersShareIt) {
    sims_.push_back(std::make_unique<sim::Simulator>(ThreeSlots()));
    sim::Simulator& sim = *sims_.back();
    ASSERT_TRUE(sim.Start());
    ASSERT_EQ(OpenChannel(Lun(0, 0), sim.SlavePath()), IFD_SUCCESS);
    EXPECT_FALSE(Commands(sim).empty());  // identified the reader
    sim.ClearRecords();
    EXPECT_EQ(OpenChannel(Lun(0, 1), sim.SlavePath()), IFD_SUCCESS);
    EXPECT_EQ(OpenChannel(Lun(0, 2), sim.SlavePath()), IFD_SUCCESS);
    EXPECT_TRUE(Commands(sim).empty());
    EXPECT_EQ(Power(Lun(0, 0), IFD_POWER_UP), IFD_SUCCESS);
    EXPECT_TRUE(sim.Powered(0));
}

// A reader that is off when pcscd starts: the channel is taken at once, the slots read as unavailable, and the
// reader is found in the background within about two seconds of answering, not after the open's rate scan.
TEST_F(ChannelTest, SilentReaderIsTakenAtOnceAndFoundWhenItAnswers) {
    sims_.push_back(std::make_unique<sim::Simulator>());  // two slots, a card in slot 0
    sim::Simulator& sim = *sims_.back();
    ASSERT_TRUE(sim.Start());
    sim.SetSilent(true);
    const auto start = std::chrono::steady_clock::now();
    for (std::uint32_t slot = 0; slot < 3; ++slot) ASSERT_EQ(OpenChannel(Lun(0, slot), sim.SlavePath()), IFD_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);  // not the rate scan's ten seconds
    EXPECT_EQ(OpenChannel(Lun(0, 3), sim.SlavePath()), IFD_COMMUNICATION_ERROR);
    DWORD length = 1;
    UCHAR value = 0;
    EXPECT_EQ(IFDHGetCapabilities(Lun(0, 0), TAG_IFD_SLOTS_NUMBER, &length, &value), IFD_SUCCESS);
    EXPECT_EQ(value, 3);  // the most a reader may have: pcscd learns the count before the reader answers
    // pcscd drops a reader whose first presence check fails: that one reads as empty, later ones as unavailable.
    EXPECT_EQ(IFDHICCPresence(Lun(0, 0)), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(IFDHICCPresence(Lun(0, 0)), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHICCPresence(Lun(0, 1)), IFD_ICC_NOT_PRESENT);

    // The search asks for the firmware version at each rate of the table in turn; the reader comes on midway.
    sim.ClearRecords();
    ASSERT_TRUE(sim.WaitForFrames(3, 30s));
    const auto probes = sim.ReceivedFrames();
    const Bytes query = B({0x02, 0x6B, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0, 0, 0x18, 0, 0x96, 0x03});
    EXPECT_EQ(probes[0].bytes, query);
    const std::uint32_t rates[] = {9600, 19200, 38400, 57600, 115200, 128000, 230400, 250000, 256000, 500000};
    const auto* at = std::find(std::begin(rates), std::end(rates), probes[0].hostSpeed);
    ASSERT_NE(at, std::end(rates));
    EXPECT_EQ(probes[1].hostSpeed, at + 1 == std::end(rates) ? rates[0] : at[1]);
    sim.SetSilent(false);
    const auto on = std::chrono::steady_clock::now();
    const auto deadline = on + 90s;
    while (IFDHICCPresence(Lun(0, 0)) != IFD_ICC_PRESENT && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    const auto found = std::chrono::steady_clock::now() - on;
    std::printf("reader found %lld ms after it began to answer\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(found).count()));
    EXPECT_LT(found, 8s);  // about 2 s; loose for a loaded machine
    EXPECT_EQ(IFDHICCPresence(Lun(0, 0)), IFD_ICC_PRESENT);
    EXPECT_EQ(IFDHICCPresence(Lun(0, 1)), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(IFDHICCPresence(Lun(0, 2)), IFD_ICC_NOT_PRESENT);  // beyond the reader's two slots
    EXPECT_EQ(Power(Lun(0, 0), IFD_POWER_UP), IFD_SUCCESS);
}

TEST_F(ChannelTest, ClosingDuringTheSearchDoesNotWaitForIt) {
    sims_.push_back(std::make_unique<sim::Simulator>());
    sim::Simulator& sim = *sims_.back();
    ASSERT_TRUE(sim.Start());
    sim.SetSilent(true);
    ASSERT_EQ(OpenChannel(Lun(0, 0), sim.SlavePath()), IFD_SUCCESS);
    sim.ClearRecords();
    ASSERT_TRUE(sim.WaitForFrames(2, 30s));  // a search is on the line
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CloseChannel(Lun(0, 0)), IFD_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // well under what a rate scan takes
}

TEST_F(ChannelTest, ChannelNumberWithoutDeviceNameIsRefused) {
    EXPECT_EQ(IFDHCreateChannel(Lun(0, 0), 1), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHICCPresence(Lun(0, 0)), IFD_COMMUNICATION_ERROR);  // nothing was opened
}

TEST_F(ChannelTest, MissingDeviceIsNoSuchDevice) {
    EXPECT_EQ(OpenChannel(Lun(0, 0), "/tmp/ryx-pcsc-no-such-device"), IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(OpenChannel(Lun(0, 0), "/tmp/ryx-pcsc-no-such-device:escape"), IFD_NO_SUCH_DEVICE);
}

TEST_F(ChannelTest, BadOptionFailsWithoutTouchingTheReader) {
    sims_.push_back(std::make_unique<sim::Simulator>());
    sim::Simulator& sim = *sims_.back();
    ASSERT_TRUE(sim.Start());
    EXPECT_EQ(OpenChannel(Lun(0, 0), sim.SlavePath() + ":escpae"), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(OpenChannel(Lun(0, 0), sim.SlavePath() + ":"), IFD_COMMUNICATION_ERROR);
    EXPECT_TRUE(Commands(sim).empty());
    EXPECT_EQ(OpenChannel(Lun(0, 0), sim.SlavePath() + ":escape"), IFD_SUCCESS);
}

TEST_F(ChannelTest, SlotBeyondTheReaderFailsAndReleasesThePort) {
    sims_.push_back(std::make_unique<sim::Simulator>());  // two slots
    sim::Simulator& sim = *sims_.back();
    ASSERT_TRUE(sim.Start());
    EXPECT_EQ(OpenChannel(Lun(0, 2), sim.SlavePath()), IFD_COMMUNICATION_ERROR);
    ASSERT_EQ(OpenChannel(Lun(0, 0), sim.SlavePath()), IFD_SUCCESS);  // the failed open closed the port
    EXPECT_EQ(OpenChannel(Lun(0, 2), sim.SlavePath()), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHICCPresence(Lun(0, 2)), IFD_COMMUNICATION_ERROR);
}

TEST_F(ChannelTest, ReaderIndexTakenByAnotherDeviceIsRefused) {
    StartReader();
    sims_.push_back(std::make_unique<sim::Simulator>());
    ASSERT_TRUE(sims_.back()->Start());
    EXPECT_EQ(OpenChannel(Lun(0, 1), sims_.back()->SlavePath()), IFD_COMMUNICATION_ERROR);
    EXPECT_TRUE(Commands(*sims_.back()).empty());
}

TEST_F(ChannelTest, SeveralReadersThroughOneDriver) {
    sim::Simulator& a = StartReader({}, 0);
    sim::Simulator& b = StartReader(ThreeSlots(), 1);
    b.InsertCard(2, kBuiltInAtr);
    Bytes atr;
    EXPECT_EQ(Power(Lun(1, 2), IFD_POWER_UP, &atr), IFD_SUCCESS);
    EXPECT_EQ(atr, kBuiltInAtr);
    EXPECT_TRUE(b.Powered(2));
    EXPECT_TRUE(Commands(a).empty());
    DWORD length = 1;
    UCHAR value = 0;
    EXPECT_EQ(IFDHGetCapabilities(Lun(0, 0), TAG_IFD_SLOTS_NUMBER, &length, &value), IFD_SUCCESS);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(IFDHGetCapabilities(Lun(1, 0), TAG_IFD_SLOTS_NUMBER, &length, &value), IFD_SUCCESS);
    EXPECT_EQ(value, 3);
}

TEST_F(ChannelTest, ClosingPowersOffAndTheLastCloseReleasesTheReader) {
    sim::Simulator& sim = StartReader();
    sim.InsertCard(1, kBuiltInAtr);
    ASSERT_EQ(Power(Lun(0, 0), IFD_POWER_UP), IFD_SUCCESS);
    ASSERT_EQ(Power(Lun(0, 1), IFD_POWER_UP), IFD_SUCCESS);
    sim.ClearRecords();

    ASSERT_EQ(CloseChannel(Lun(0, 0)), IFD_SUCCESS);
    EXPECT_EQ(Commands(sim), (std::vector<Command>{{kIccPowerOff, 0}}));
    EXPECT_FALSE(sim.Powered(0));
    EXPECT_TRUE(sim.Powered(1));
    EXPECT_EQ(IFDHICCPresence(Lun(0, 1)), IFD_ICC_PRESENT);  // the reader is still open for slot 1
    sim.ClearRecords();

    ASSERT_EQ(CloseChannel(Lun(0, 1)), IFD_SUCCESS);
    EXPECT_EQ(Commands(sim), (std::vector<Command>{{kIccPowerOff, 0}, {kIccPowerOff, 1}}));
    EXPECT_FALSE(sim.Powered(1));
    EXPECT_EQ(IFDHICCPresence(Lun(0, 1)), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHCloseChannel(Lun(0, 1)), IFD_COMMUNICATION_ERROR);
    // The port is free again.
    EXPECT_EQ(OpenChannel(Lun(0, 0), sim.SlavePath()), IFD_SUCCESS);
}

}  // namespace
}  // namespace ryx::pcsctest
